// Shared by the fuzz targets: a failed property stops the run with a message, so libFuzzer
// keeps the input that broke it.
#pragma once

#include <cstdio>
#include <cstdlib>

#define FUZZ_CHECK(condition)                                                                      \
    do {                                                                                           \
        if (!(condition)) {                                                                        \
            std::fprintf(stderr, "fuzz property failed: %s (%s:%d)\n", #condition, __FILE__, __LINE__); \
            std::abort();                                                                          \
        }                                                                                          \
    } while (0)

namespace Fuzz {

// Where the parsers' error messages go: they are part of what runs, but printing them for
// millions of inputs would cost more than the parse.
inline std::FILE* MessageSink()
{
    static std::FILE* sink = std::fopen("/dev/null", "w");
    return sink;
}

}  // namespace Fuzz
