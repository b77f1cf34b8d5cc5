#pragma once

#include <cstdio>
#include <string>

namespace App {

// printf onto standard output; no newline is added.
void Print(const char* format, ...) __attribute__((format(printf, 1, 2)));
// printf onto the given stream (standard error for every front-end error, the mesh file).
// False when the stream did not take every byte.
bool PrintTo(std::FILE* stream, const char* format, ...) __attribute__((format(printf, 2, 3)));

// The Lightmapper's progress callback: a non-empty title starts a new line block, and each
// whole percentage is printed once ("%d%% "). The value is not used. Safe from any thread.
void ConsoleProgress(float percent, float value, const std::string& title);

// Forgets the last percentage shown, as at process start. For tests.
void ResetConsoleProgress();

}  // namespace App
