#pragma once

#include <cstdint>

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
    ExitParseFailed = 3,   // the flags file or the light file could not be read, the OBJ file not
                           // parsed, or it holds no triangle to bake
    ExitFlagsSyntax = 4,   // syntax error in the object flags file
    ExitLightsSyntax = 4,  // syntax error or a value out of range in the light file
    ExitAlphaMap = 5,      // an alpha map could not be opened or decoded
    ExitWriteFailed = 6,   // an output file could not be created or fully written
    ExitOutOfMemory = 7,   // the bake would need more memory than the machine has
    ExitLayoutFailed = 8,  // a chart could not be laid out: no output would hold finite numbers
    // Stopped by an interrupt or termination request: 128 + the signal (130, 143), as a shell
    // reports a process those signals end. Nothing was written.
    ExitCancelled = 130,
};

// What intake left out of the mesh, by cause.
struct DroppedTriangles {
    int32_t degenerate = 0;  // no area (coinciding corners, or a line)
    int32_t collinear = 0;   // fan triangles the OBJ reader found collinear
    int32_t nonFinite = 0;   // a corner or the area beyond the float range (after -i)
    int32_t shortFaces = 0;  // faces with fewer than 3 corners (no triangle at all)
};

// The whole run after a successful parse: input, build, outputs. Returns the exit code.
int RunDriver(const Options& options);

// Hands every triangle of a parsed, axis-converted OBJ file to the lightmapper, with the file's
// normals when every triangle has them and -n is not given; returns whether they were used
// (when not, the caller rebuilds vertex normals).
// Triangles of objects the flags table lists carry the entry's name, flag word and model id; all
// others the empty name, flags 0 and model id 0. Without a table, as if it were empty. `dropped`
// receives the counts of what was left out, the reader's included.
bool FeedTriangles(const Engine::ObjReader& reader, const Options& options, const ObjectFlagsTable& flagsTable,
                   Engine::Lightmapper& lightmapper, DroppedTriangles* dropped = nullptr);
bool FeedTriangles(const Engine::ObjReader& reader, const Options& options, Engine::Lightmapper& lightmapper);

}  // namespace App
