#include "app/mesh_writer.h"

#include <cstdio>

#include "app/console.h"
#include "engine/lightmapper/lightmapper.h"

namespace App {
namespace {

// A line is formatted into a buffer of this size, so it is cut after 15999 characters (only an
// absurdly long object name can get there).
constexpr int lineBufferSize = 16000;

bool WriteCorner(std::FILE* file, const Engine::Lightmapper& lm, const Engine::LmTriangle& t, int k)
{
    const Geom::Vec3& p = lm.positions[size_t(t.pos[k])];
    const Geom::Vec3& n = lm.normals[size_t(t.nrm[k])];
    const Geom::Vec2& uv = lm.uvs[size_t(t.uv[k])];
    const Geom::Vec2& lmUv = t.lmUv[k];
    const std::string& name = lm.objects[size_t(t.object)].name;
    char line[lineBufferSize];
    std::snprintf(line, sizeof line, "%0.6f %0.6f %0.6f  %0.6f %0.6f %0.6f  %0.6f %0.6f  %0.6f %0.6f  %d  %d  %s",
                  double(p.x), double(p.y), double(p.z), double(n.x), double(n.y), double(n.z), double(uv.x),
                  double(uv.y), double(lmUv.x), double(lmUv.y), t.page, t.group, name.c_str());
    return PrintTo(file, "%s\n", line);
}

}  // namespace

bool WriteMeshFile(const Engine::Lightmapper& lightmapper, const std::string& path)
{
    std::FILE* file = std::fopen(path.c_str(), "wt");
    if (!file)
        return false;
    bool ok = true;
    for (const Engine::LmTriangle& t : lightmapper.triangles) {
        for (int k = 0; k < 3 && ok; k++)
            ok = WriteCorner(file, lightmapper, t, k);
        if (!ok)
            break;
    }
    // A full disk often shows only when the buffer is flushed or the file closed.
    ok = std::fflush(file) == 0 && ok;
    ok = std::fclose(file) == 0 && ok;
    return ok;
}

}  // namespace App
