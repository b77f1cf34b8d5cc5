#include "app/mesh_writer.h"

#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>

#include "engine/lightmapper/lightmapper.h"

namespace App {
namespace {

// A line is cut after this many characters (only an absurdly long object name can get there).
constexpr size_t lineLimit = 15999;

// "%0.6f" of the value widened to double. to_chars with a precision is specified to print
// exactly what printf prints, and is many times faster on a file of millions of numbers.
void AppendFixed(std::string& line, float value)
{
    char digits[64];  // a float's largest value needs 39 digits before the point
    const char* end = std::to_chars(digits, digits + sizeof digits, double(value), std::chars_format::fixed, 6).ptr;
    line.append(digits, size_t(end - digits));
}

void AppendInt(std::string& line, int32_t value)
{
    char digits[16];
    const char* end = std::to_chars(digits, digits + sizeof digits, value).ptr;
    line.append(digits, size_t(end - digits));
}

// Lines between two looks at the cancel flag.
constexpr size_t cancelCheckInterval = 4096;

// Position, normal, uv and lightmap uv of one corner, in the order they are written.
struct CornerValues {
    float v[10];
};

CornerValues ValuesOf(const Engine::LmMesh& mesh, const Engine::LmTriangle& t, int k)
{
    const Geom::Vec3& p = mesh.positions[size_t(t.pos[k])];
    const Geom::Vec3& n = mesh.normals[size_t(t.nrm[k])];
    const Geom::Vec2& uv = mesh.uvs[size_t(t.uv[k])];
    const Geom::Vec2& lmUv = t.lmUv[k];
    return {{p.x, p.y, p.z, n.x, n.y, n.z, uv.x, uv.y, lmUv.x, lmUv.y}};
}

// "%0.6f %0.6f %0.6f  %0.6f %0.6f %0.6f  %0.6f %0.6f  %0.6f %0.6f  %d  %d  %s", cut, and a line end.
void FormatCorner(std::string& line, const Engine::LmMesh& mesh, const Engine::LmTriangle& t, int k)
{
    const CornerValues values = ValuesOf(mesh, t, k);
    // Two spaces set the groups apart: position, normal, uv, lightmap uv.
    static constexpr const char* separators[10] = {" ", " ", "  ", " ", " ", "  ", " ", "  ", " ", "  "};
    line.clear();
    for (int i = 0; i < 10; i++) {
        AppendFixed(line, values.v[i]);
        line += separators[i];
    }
    AppendInt(line, t.page);
    line += "  ";
    AppendInt(line, t.group);
    line += "  ";
    line += mesh.objects[size_t(t.object)].name;
    if (line.size() > lineLimit)
        line.resize(lineLimit);
    line += '\n';
}

}  // namespace

int32_t FirstNonFiniteTriangle(const Engine::Lightmapper& lightmapper)
{
    const Engine::LmMesh& mesh = lightmapper.Mesh();
    for (int32_t i = 0; i < mesh.TriangleCount(); i++) {
        const Engine::LmTriangle& t = mesh.triangles[size_t(i)];
        for (int k = 0; k < 3; k++) {
            const CornerValues values = ValuesOf(mesh, t, k);
            for (float value : values.v) {
                if (!std::isfinite(value))
                    return i;
            }
        }
    }
    return -1;
}

bool WriteMeshLines(const Engine::Lightmapper& lightmapper, std::FILE* file, std::string& error)
{
    std::string line;
    const Engine::LmMesh& mesh = lightmapper.Mesh();
    for (size_t i = 0; i < mesh.triangles.size(); i++) {
        // A stop request should not wait for millions of lines.
        if (i % cancelCheckInterval == 0 && lightmapper.IsCancelled()) {
            error = "cancelled";
            return false;
        }
        for (int k = 0; k < 3; k++) {
            FormatCorner(line, mesh, mesh.triangles[i], k);
            errno = 0;
            if (std::fwrite(line.data(), 1, line.size(), file) != line.size()) {
                error = std::strerror(errno != 0 ? errno : EIO);
                return false;
            }
        }
    }
    return true;
}

bool WriteMeshFile(const Engine::Lightmapper& lightmapper, const std::string& path)
{
    std::FILE* file = std::fopen(path.c_str(), "wt");
    if (!file)
        return false;
    std::string error;
    bool ok = WriteMeshLines(lightmapper, file, error);
    // A full disk often shows only when the buffer is flushed or the file closed.
    ok = std::fflush(file) == 0 && ok;
    ok = std::fclose(file) == 0 && ok;
    return ok;
}

}  // namespace App
