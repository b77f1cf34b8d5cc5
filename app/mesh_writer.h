#pragma once

#include <string>

namespace Engine {
class Lightmapper;
}

namespace App {

// Writes three lines per triangle (position, normal, uv, lightmap uv, page, group, object
// name). False when the file could not be created or not every byte reached the disk; the
// caller reports it.
bool WriteMeshFile(const Engine::Lightmapper& lightmapper, const std::string& path);

}  // namespace App
