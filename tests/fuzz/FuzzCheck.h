#pragma once

#include <cstdio>
#include <cstdlib>

// A property that a fuzz target asserts: when it does not hold, the target says which and
// aborts, which libFuzzer records as a crash (and the replay run as a failure).
#define FUZZ_CHECK(condition)                                                                  \
    do {                                                                                       \
        if (!(condition)) {                                                                    \
            std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #condition); \
            std::abort();                                                                      \
        }                                                                                      \
    } while (false)
