#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

namespace Engine {
class Lightmapper;
}

namespace App {

// The first triangle with a position, normal, texture or lightmap coordinate that is not a
// finite number (no output may carry one), or -1.
int32_t FirstNonFiniteTriangle(const Engine::Lightmapper& lightmapper);

// Writes the lines of WriteMeshFile into `file`, which the caller opened and closes. False with
// the system's reason in `error` when a write fails, or when the lightmapper's build has been
// cancelled meanwhile (a stop request during the writes).
bool WriteMeshLines(const Engine::Lightmapper& lightmapper, std::FILE* file, std::string& error);

// Writes three lines per triangle (position, normal, uv, lightmap uv, page, group, object
// name). False when the file could not be created or not every byte reached the disk; the
// caller reports it.
bool WriteMeshFile(const Engine::Lightmapper& lightmapper, const std::string& path);

}  // namespace App
