#pragma once

// What several benchmark programs share: loading a model the way the tool does, reading a ray
// file, and medians.

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <vector>

#include "app/driver.h"
#include "engine/lightmapper/lightmapper.h"
#include "engine/mesh/obj_reader.h"
#include "engine/spatial/kdtree3.h"

namespace Bench {

// The run driver's intake: read, scaled, turned to the engine's axes, handed over triangle by
// triangle, vertex normals rebuilt when the file's are incomplete.
inline bool LoadModel(const char* path, float scale, Engine::Lightmapper& lightmapper)
{
    std::FILE* file = std::fopen(path, "rb");
    if (!file)
        return false;
    Engine::ObjReader reader;
    const bool parsed = reader.Parse(file, path, Geom::Vec3{scale, scale, scale}, 0);
    std::fclose(file);
    if (!parsed) {
        std::fprintf(stderr, "%s\n", reader.LastError().c_str());
        return false;
    }
    reader.ConvertAxes();
    App::Options options;
    options.scale = scale;
    if (!App::FeedTriangles(reader, options, lightmapper))
        lightmapper.BuildVertexNormals(options.smoothingAngle);
    return true;
}

// A ray file of make_rays.py: "KRAY", version 1, count, maximum distance, then six floats a ray.
inline bool ReadRays(const char* path, std::vector<Engine::KdRay>& rays, float& maxDistance)
{
    std::FILE* file = std::fopen(path, "rb");
    if (!file)
        return false;
    unsigned char header[16];
    bool ok = std::fread(header, 1, 16, file) == 16 && std::memcmp(header, "KRAY", 4) == 0;
    uint32_t version = 0, count = 0;
    if (ok) {
        std::memcpy(&version, header + 4, 4);
        std::memcpy(&count, header + 8, 4);
        std::memcpy(&maxDistance, header + 12, 4);
        ok = version == 1 && count <= 100000000u;
    }
    if (ok) {
        rays.resize(count);
        ok = std::fread(rays.data(), sizeof(Engine::KdRay), count, file) == count;
    }
    std::fclose(file);
    return ok;
}

inline double Median(std::vector<double> values)
{
    if (values.empty())
        return 0;
    std::sort(values.begin(), values.end());
    const size_t half = values.size() / 2;
    return values.size() % 2 ? values[half] : (values[half - 1] + values[half]) / 2;
}

}  // namespace Bench
