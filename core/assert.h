#pragma once

#include <cstdio>
#include <cstdlib>

namespace Core {

// A broken invariant is a programmer mistake that must stop the program even in release builds:
// going on would write outputs built from a state the code assumes cannot happen.
[[noreturn]] inline void AssertionFailed(const char* text, int line, const char* file)
{
    std::fprintf(stderr, "Assertion failed: %s at line %d in file %s\n", text, line, file);
    std::fflush(stderr);
    std::abort();
}

}  // namespace Core

// Checked in every build; the condition's text names the failure.
#define KETRA_ASSERT(condition) \
    ((condition) ? static_cast<void>(0) : ::Core::AssertionFailed(#condition, __LINE__, __FILE__))
