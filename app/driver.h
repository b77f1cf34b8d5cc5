#pragma once

#include "app/options.h"

namespace Engine {
class Lightmapper;
class ObjReader;
}  // namespace Engine

namespace App {

class ObjectFlagsTable;

// Process exit codes of a run.
enum ExitCode : int {
    ExitSuccess = 0,
    ExitUsage = 1,         // the command line was wrong
    ExitOpenFailed = 2,    // the object flags file, the light file or the OBJ file could not be opened
    ExitParseFailed = 3,   // the flags file or the light file could not be read, or the OBJ file not parsed
    ExitFlagsSyntax = 4,   // syntax error in the object flags file
    ExitLightsSyntax = 4,  // syntax error or a value out of range in the light file
    ExitAlphaMap = 5,      // an alpha map could not be opened or decoded
    ExitWriteFailed = 6,   // an output file could not be created or fully written
    ExitCancelled = 130,   // the build was cancelled before it finished: nothing was written
};

// The whole run after a successful parse: input, build, outputs. Returns the exit code.
int RunDriver(const Options& options);

// Hands every triangle of a parsed, axis-converted OBJ file to the lightmapper, with the file's
// normals when every triangle has them and -n is not given; returns whether they were used
// (when not, the caller rebuilds vertex normals).
// Triangles of objects the flags table lists carry the entry's name, flag word and model id; all
// others the empty name, flags 0 and model id 0. Without a table, as if it were empty.
bool FeedTriangles(const Engine::ObjReader& reader, const Options& options, const ObjectFlagsTable& flagsTable,
                   Engine::Lightmapper& lightmapper);
bool FeedTriangles(const Engine::ObjReader& reader, const Options& options, Engine::Lightmapper& lightmapper);

}  // namespace App
