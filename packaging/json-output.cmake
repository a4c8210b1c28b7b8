# Writes the "JSON output" section of the README (from its heading to the next heading) to
# OUTPUT, as the document of kvtool-cli's --json that the package installs: the README
# stays the one source of it.
#   cmake -DREADME=README.md -DOUTPUT=json-output.md -P json-output.cmake
file(READ "${README}" text)
string(FIND "${text}" "\n### JSON output\n" start)
if(start LESS 0)
    message(FATAL_ERROR "${README} has no section \"### JSON output\"")
endif()
math(EXPR start "${start} + 1")
string(SUBSTRING "${text}" ${start} -1 section)
# Past its own heading, the next heading of any level ends it.
string(SUBSTRING "${section}" 1 -1 body)
string(FIND "${body}" "\n#" end)
if(end GREATER_EQUAL 0)
    math(EXPR end "${end} + 2")
    string(SUBSTRING "${section}" 0 ${end} section)
endif()
file(WRITE "${OUTPUT}" "# kvtool-cli: JSON output\n\nThe keys of `kvtool-cli --json`, from the README of kvtool.\n\n${section}")
