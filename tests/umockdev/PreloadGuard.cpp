// Makes the test executable run under umockdev's preload library, which fakes sysfs and
// /dev/bus/usb for libusb. The library must be active from process start, so when it is
// missing the executable re-executes itself with LD_PRELOAD set, before main() and before
// any test. Under AddressSanitizer the sanitizer runtime has to stay first in the list.
// If the library still is not loaded after that (not installed, say), the executable
// fails at once instead of letting the tests pass against an empty bus.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

namespace {

constexpr const char* PRELOAD_LIBRARY = "libumockdev-preload.so.0";
constexpr const char* REEXEC_MARKER = "KVTOOL_UMOCKDEV_REEXEC";

// The path of the first mapped library whose path contains `name`, or "".
std::string mappedLibrary(const std::string& name) {
    std::ifstream maps("/proc/self/maps");
    std::string line;
    while (std::getline(maps, line)) {
        const std::string::size_type slash = line.find('/');
        if (slash != std::string::npos && line.find(name, slash) != std::string::npos) {
            return line.substr(slash);
        }
    }
    return std::string();
}

std::vector<std::string> commandLine() {
    std::ifstream file("/proc/self/cmdline", std::ios::binary);
    std::vector<std::string> arguments;
    std::string argument;
    while (std::getline(file, argument, '\0')) {
        arguments.push_back(argument);
    }
    return arguments;
}

[[noreturn]] void fail(const char* why) {
    std::fprintf(stderr, "umockdev tests: %s\n", why);
    std::_Exit(1);
}

struct PreloadGuard {
    PreloadGuard() {
        if (!mappedLibrary("libumockdev-preload.so").empty()) {
            return;
        }
        if (std::getenv(REEXEC_MARKER) != nullptr) {
            fail("libumockdev-preload.so.0 could not be preloaded (is umockdev installed?)");
        }
        std::string preload = PRELOAD_LIBRARY;
        const std::string sanitizer = mappedLibrary("libasan.so");
        if (!sanitizer.empty()) {
            preload = sanitizer + ':' + preload;
        }
        if (const char* existing = std::getenv("LD_PRELOAD"); existing && *existing) {
            preload += ':';
            preload += existing;
        }
        setenv("LD_PRELOAD", preload.c_str(), 1);
        setenv(REEXEC_MARKER, "1", 1);

        std::vector<std::string> arguments = commandLine();
        if (arguments.empty()) {
            fail("cannot read the command line to re-execute under umockdev");
        }
        std::vector<char*> argv;
        argv.reserve(arguments.size() + 1);
        for (std::string& argument : arguments) {
            argv.push_back(argument.data());
        }
        argv.push_back(nullptr);
        execv("/proc/self/exe", argv.data());
        fail("cannot re-execute under umockdev");
    }
};

// Runs at static initialisation on purpose: before main() and before any test.
const PreloadGuard guard;  // NOLINT(cert-err58-cpp)

}  // namespace
