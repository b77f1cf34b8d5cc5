#pragma once

#include "app/options.h"

namespace App {

// Process exit codes of a run.
enum ExitCode : int {
    ExitSuccess = 0,
    ExitUsage = 1,         // the command line was wrong
    ExitOpenFailed = 2,    // the object flags file or the OBJ file could not be opened
    ExitParseFailed = 3,   // the flags file could not be read, or the OBJ file not parsed
    ExitFlagsSyntax = 4,   // syntax error in the object flags file
    ExitAlphaMap = 5,      // an alpha map could not be opened or decoded
    ExitWriteFailed = 6,   // an output file could not be created or fully written
};

// The whole run after a successful parse: input, build, outputs. Returns the exit code.
int RunDriver(const Options& options);

}  // namespace App
