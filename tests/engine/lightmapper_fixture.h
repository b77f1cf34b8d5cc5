#pragma once

#include <string>
#include <vector>

#include "core/log.h"
#include "engine/lightmapper/lightmapper.h"

namespace LightmapperTest {

// What the stage tests start from: the ambient-occlusion mode (one basis, rays 3 units long), one
// sample point per texel, everything else at the record's defaults.
inline Engine::LightmapperSettings AoSettings(float texelSize = 0.25f)
{
    Engine::LightmapperSettings settings;
    settings.basisCount = 1;
    settings.superSampling = false;
    settings.aoDistance = 3.0f;
    settings.texelSize = texelSize;
    return settings;
}

inline Engine::InputTriangle Tri(Geom::Vec3 a, Geom::Vec3 b, Geom::Vec3 c, int32_t modelId = 0)
{
    Engine::InputTriangle t;
    t.positions[0] = a;
    t.positions[1] = b;
    t.positions[2] = c;
    t.modelId = modelId;
    return t;
}

// Collects log lines without their time prefix while alive.
class LogCapture {
public:
    LogCapture()
    {
        id = Core::AddLogListener([this](const std::string& line) {
            size_t gap = line.find("  ");
            lines.push_back(gap == std::string::npos ? line : line.substr(gap + 2));
        });
    }
    ~LogCapture() { Core::RemoveLogListener(id); }
    std::vector<std::string> lines;

private:
    int id;
};

}  // namespace LightmapperTest
