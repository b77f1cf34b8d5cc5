// ObjReader::Parse on arbitrary text, read through a stream over the input's bytes as a file
// would be. A failed parse says why; a successful one leaves welded lists and triangles sorted
// by name whose every index names an element, and survives the axis conversion.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <tuple>
#include <vector>

#include "engine/mesh/obj_reader.h"
#include "fuzz/fuzz_check.h"

namespace {

struct FileCloser {
    void operator()(std::FILE* file) const { std::fclose(file); }
};

bool IndexIn(int32_t index, size_t count) { return index >= 0 && size_t(index) < count; }

// Welding merges exactly equal values, so no two may be left equal.
template <class Vec, class Key>
void CheckDistinct(const std::vector<Vec>& values, Key key)
{
    using Tuple = decltype(key(values[0]));
    std::vector<Tuple> keys;
    keys.reserve(values.size());
    for (const Vec& v : values) {
        Tuple k = key(v);
        if (k != k)
            return;  // a NaN equals nothing, so it cannot have been merged
        keys.push_back(k);
    }
    std::sort(keys.begin(), keys.end());
    for (size_t i = 1; i < keys.size(); i++)
        FUZZ_CHECK(!(keys[i - 1] == keys[i]));
}

void CheckParsed(const Engine::ObjReader& reader)
{
    CheckDistinct(reader.positions, [](const Geom::Vec3& v) { return std::tuple(v.x, v.y, v.z); });
    CheckDistinct(reader.normals, [](const Geom::Vec3& v) { return std::tuple(v.x, v.y, v.z); });
    // Missing texture coordinates get one (0, 0) appended after welding, which may equal a
    // (0, 0) the file gave: the reader does exactly that, so that last entry is left out.
    std::vector<Geom::Vec2> uvs = reader.uvs;
    if (!uvs.empty() && uvs.back().x == 0 && uvs.back().y == 0)
        uvs.pop_back();
    CheckDistinct(uvs, [](const Geom::Vec2& v) { return std::tuple(v.x, v.y); });
    bool everyNormal = true;
    const std::string* previousName = nullptr;
    for (size_t t = 0; t < reader.triangles.size(); t++) {
        const Engine::ObjTriangle& triangle = reader.triangles[t];
        for (int k = 0; k < 3; k++) {
            FUZZ_CHECK(IndexIn(triangle.vertex[k], reader.positions.size()));
            FUZZ_CHECK(IndexIn(triangle.uv[k], reader.uvs.size()));
            FUZZ_CHECK(triangle.normal[k] == -1 || IndexIn(triangle.normal[k], reader.normals.size()));
            everyNormal = everyNormal && triangle.normal[k] != -1;
        }
        FUZZ_CHECK(triangle.part >= 0 && triangle.part < reader.partCount);
        FUZZ_CHECK(IndexIn(triangle.names, reader.nameSets.size()));
        const std::string& name = reader.NamesOf(triangle).name;
        FUZZ_CHECK(previousName == nullptr || *previousName <= name);
        previousName = &name;
    }
    FUZZ_CHECK(reader.hasNormals == everyNormal);
    for (size_t p = 0; p < reader.polygons.size(); p++) {
        const Engine::ObjPolygon& polygon = reader.polygons[p];
        FUZZ_CHECK(polygon.cornerCount >= 3 && polygon.firstCorner >= 0);
        FUZZ_CHECK(size_t(polygon.firstCorner) + size_t(polygon.cornerCount) <= reader.polygonCorners.size());
        for (int32_t c = 0; c < polygon.cornerCount; c++)
            FUZZ_CHECK(IndexIn(reader.polygonCorners[size_t(polygon.firstCorner + c)].vertex, reader.positions.size()));
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    // fmemopen refuses an empty buffer; an empty file is the same as one holding a comment.
    static const char emptyFile[] = "#";
    const void* bytes = size > 0 ? static_cast<const void*>(data) : emptyFile;
    std::unique_ptr<std::FILE, FileCloser> file(fmemopen(const_cast<void*>(bytes), size > 0 ? size : 1, "rb"));
    FUZZ_CHECK(file != nullptr);

    Engine::ObjReader reader;
    if (!reader.Parse(file.get(), "fuzz.obj", Geom::Vec3{1, 1, 1}, 0)) {
        FUZZ_CHECK(!reader.LastError().empty());
        return 0;
    }
    FUZZ_CHECK(reader.LastError().empty());
    CheckParsed(reader);
    reader.ConvertAxes();
    CheckParsed(reader);
    return 0;
}
