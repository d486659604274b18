// Invariant checks for the fuzz targets: a failed check prints itself and
// aborts, which both libFuzzer and the bounded driver report as a crash.
#pragma once

#include <cstdio>
#include <cstdlib>

#define FUZZ_CHECK(condition)                                                                                 \
    do {                                                                                                      \
        if (!(condition)) {                                                                                   \
            std::fprintf(stderr, "invariant broken: %s (%s:%d)\n", #condition, __FILE__, __LINE__);         \
            std::abort();                                                                                     \
        }                                                                                                     \
    } while (0)
