// An invariant that must hold for every input: a failure stops the fuzzer with the reason.
#pragma once

#include <cstdio>
#include <cstdlib>

#define ZV_FUZZ_CHECK(condition)                                                                   \
    do {                                                                                           \
        if (!(condition)) {                                                                        \
            std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #condition);     \
            std::abort();                                                                          \
        }                                                                                          \
    } while (0)
