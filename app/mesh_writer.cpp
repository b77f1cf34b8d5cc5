#include "app/mesh_writer.h"

#include <charconv>
#include <cstdio>
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

// "%0.6f %0.6f %0.6f  %0.6f %0.6f %0.6f  %0.6f %0.6f  %0.6f %0.6f  %d  %d  %s", cut, and a line end.
void FormatCorner(std::string& line, const Engine::LmMesh& mesh, const Engine::LmTriangle& t, int k)
{
    const Geom::Vec3& p = mesh.positions[size_t(t.pos[k])];
    const Geom::Vec3& n = mesh.normals[size_t(t.nrm[k])];
    const Geom::Vec2& uv = mesh.uvs[size_t(t.uv[k])];
    const Geom::Vec2& lmUv = t.lmUv[k];
    const float values[10] = {p.x, p.y, p.z, n.x, n.y, n.z, uv.x, uv.y, lmUv.x, lmUv.y};
    // Two spaces set the groups apart: position, normal, uv, lightmap uv.
    static constexpr const char* separators[10] = {" ", " ", "  ", " ", " ", "  ", " ", "  ", " ", "  "};
    line.clear();
    for (int i = 0; i < 10; i++) {
        AppendFixed(line, values[i]);
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

bool WriteMeshFile(const Engine::Lightmapper& lightmapper, const std::string& path)
{
    std::FILE* file = std::fopen(path.c_str(), "wt");
    if (!file)
        return false;
    bool ok = true;
    std::string line;
    const Engine::LmMesh& mesh = lightmapper.Mesh();
    for (const Engine::LmTriangle& t : mesh.triangles) {
        for (int k = 0; k < 3 && ok; k++) {
            FormatCorner(line, mesh, t, k);
            ok = std::fwrite(line.data(), 1, line.size(), file) == line.size();
        }
        if (!ok)
            break;
    }
    // A full disk often shows only when the buffer is flushed or the file closed.
    ok = std::fflush(file) == 0 && ok;
    ok = std::fclose(file) == 0 && ok;
    return ok;
}

}  // namespace App
