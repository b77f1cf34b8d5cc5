#include "app/console.h"

#include <cstdarg>
#include <mutex>

namespace App {
namespace {

// One lock for the check, the printing and the update, so lines from different threads never
// interleave and each percentage is shown once.
std::mutex progressLock;
int lastShownPercent = -1;

}  // namespace

void Print(const char* format, ...)
{
    va_list args;
    va_start(args, format);
    std::vprintf(format, args);
    va_end(args);
}

bool PrintTo(std::FILE* stream, const char* format, ...)
{
    va_list args;
    va_start(args, format);
    int written = std::vfprintf(stream, format, args);
    va_end(args);
    return written >= 0 && !std::ferror(stream);
}

void ConsoleProgress(float percent, float /*value*/, const std::string& title)
{
    std::lock_guard<std::mutex> guard(progressLock);
    if (!title.empty()) {
        Print("\n%s\n", title.c_str());
        lastShownPercent = -1;
    }
    // Truncation toward zero, so -0.5 shows as 0. Out-of-range floats (NaN, huge) show nothing.
    if (percent > -1.0f && percent < 2147483647.0f) {
        int whole = int(percent);
        if (whole >= 0 && whole != lastShownPercent) {
            Print("%d%% ", whole);
            lastShownPercent = whole;
        }
    }
    std::fflush(stdout);
}

void ResetConsoleProgress()
{
    std::lock_guard<std::mutex> guard(progressLock);
    lastShownPercent = -1;
}

}  // namespace App
