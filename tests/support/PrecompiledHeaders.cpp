// The translation unit of the targets that hold the precompiled headers every test
// executable reuses (tests/CMakeLists.txt); it adds nothing of its own.
