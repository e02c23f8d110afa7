#pragma once

#include <cstdio>
#include <cstdlib>

// A property every input must keep; a broken one ends the run like a crash,
// so the fuzzer saves the input.
#define FUZZ_CHECK(condition)                                                              \
    do {                                                                                   \
        if (!(condition)) {                                                                \
            std::fprintf(stderr, "%s:%d: property broken: %s\n", __FILE__, __LINE__, #condition); \
            std::abort();                                                                  \
        }                                                                                  \
    } while (false)
