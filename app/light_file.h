#pragma once

#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "engine/lightmapper/records.h"
#include "geom/vec.h"

namespace Engine {
class Lightmapper;
}

namespace App {

// An object's colours as the light file gives them; a colour it does not give keeps the
// lightmapper's default (no emission, full reflectance).
struct LightFileObject {
    std::string name;
    bool hasEmissive = false;
    Geom::Vec3 emissive{0, 0, 0};
    bool hasReflectance = false;
    Geom::Vec3 reflectance{1, 1, 1};
};

// The light file (option -L): lights in file order, already in the engine's axes and scale, and
// the objects it names in the order they first appear.
struct LightFile {
    std::vector<Engine::LightRecord> lights;
    std::vector<LightFileObject> objects;
};

// Loads the light file at `path`. Positions are scaled by `scale` and, like directions, turned
// into the engine's axes as the OBJ reader turns the mesh; ranges and attenuation keep their
// meaning in the file's units. Returns 0, or the exit code after writing the message to
// `errors`; on failure `lights` is left as it was.
int LoadLightFile(const std::string& path, float scale, LightFile& lights, std::FILE* errors);

// The same for text in memory; `sourceName` stands for the path in messages.
int ParseLightFile(std::string_view text, const std::string& sourceName, float scale, LightFile& lights,
                   std::FILE* errors);

// Registers the file's objects with the lightmapper (so triangles of those objects carry their
// names) and hands it the lights and colours.
void ApplyLightFile(const LightFile& lights, Engine::Lightmapper& lightmapper);

}  // namespace App
