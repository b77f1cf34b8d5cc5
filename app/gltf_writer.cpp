#include "app/gltf_writer.h"

#include <algorithm>
#include <bit>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <limits>

#include "core/hash_map.h"
#include "core/stream.h"
#include "engine/lightmapper/lightmapper.h"

namespace App {
namespace {

// The one interleaved vertex layout of every primitive; also the welding key, so it must have
// no padding: equal corners are equal byte for byte.
struct GlbVertex {
    float position[3];
    float normal[3];
    float uv[2];
    float lightmapUv[2];
};
static_assert(sizeof(GlbVertex) == 40, "GlbVertex is ten packed floats");
// Vertices and indices go to the file as they lie in memory; the format is little-endian.
static_assert(std::endian::native == std::endian::little, "the binary chunk is written from memory as it is");

// Numbers the glTF format fixes.
constexpr uint32_t glbMagic = 0x46546C67;      // "glTF"
constexpr uint32_t glbVersion = 2;
constexpr uint32_t jsonChunkType = 0x4E4F534A; // "JSON"
constexpr uint32_t binChunkType = 0x004E4942;  // "BIN\0"
constexpr uint64_t glbHeaderBytes = 12;
constexpr uint64_t chunkHeaderBytes = 8;
constexpr int componentFloat = 5126;
constexpr int componentUnsignedShort = 5123;
constexpr int componentUnsignedInt = 5125;
constexpr int targetArrayBuffer = 34962;
constexpr int targetElementArrayBuffer = 34963;
constexpr int filterLinear = 9729;
constexpr int wrapClampToEdge = 33071;
// Unsigned 16-bit indices may not use 65535 (it restarts strips on some APIs), so a primitive
// with more vertices than this takes 32-bit indices.
constexpr uint32_t maxShortIndexedVertices = 65535;

struct Primitive {
    int32_t page = -1;
    std::vector<GlbVertex> vertices;
    std::vector<uint32_t> indices;
    float minimum[3] = {0, 0, 0};
    float maximum[3] = {0, 0, 0};
    // Byte offsets in the binary chunk, filled in by the layout.
    uint64_t vertexOffset = 0, indexOffset = 0, pngOffset = 0;

    bool ShortIndices() const { return vertices.size() <= maxShortIndexedVertices; }
    uint64_t IndexBytes() const { return uint64_t(indices.size()) * (ShortIndices() ? 2 : 4); }
};

uint64_t PaddedTo4(uint64_t size) { return (size + 3) & ~uint64_t(3); }

// -0 and +0 are the same coordinate; making them one bit pattern lets such corners weld.
float Canonical(float value) { return value + 0.0f; }

// Engine axes back to the OBJ file's: engine (x, y, z) came from OBJ (x, -z, y).
Geom::Vec3 ToFileAxes(Geom::Vec3 v) { return {v.x, v.z, -v.y}; }

// Unit length in double precision; a zero or non-finite vector gives `fallback`.
Geom::Vec3 UnitOr(Geom::Vec3 v, Geom::Vec3 fallback)
{
    double x = v.x, y = v.y, z = v.z;
    double length = std::sqrt(x * x + y * y + z * z);
    if (!(length > 0) || !std::isfinite(length))
        return fallback;
    return {float(x / length), float(y / length), float(z / length)};
}

// The corners of one triangle in glTF order: the engine reversed the file's winding, so
// corner 0 and corner 2 trade places again.
void TriangleVertices(const BakedCorner* corners, GlbVertex out[3])
{
    Geom::Vec3 p[3];
    for (int k = 0; k < 3; k++)
        p[k] = ToFileAxes(corners[2 - k].position);
    // Any unit vector keeps the file valid for a triangle that has collapsed to a line.
    Geom::Vec3 faceNormal = UnitOr(Geom::Cross(p[1] - p[0], p[2] - p[0]), {0, 1, 0});
    for (int k = 0; k < 3; k++) {
        const BakedCorner& c = corners[2 - k];
        Geom::Vec3 n = UnitOr(ToFileAxes(c.normal), faceNormal);
        GlbVertex& v = out[k];
        v = GlbVertex{{Canonical(p[k].x), Canonical(p[k].y), Canonical(p[k].z)},
                      {Canonical(n.x), Canonical(n.y), Canonical(n.z)},
                      {Canonical(c.uv.x), Canonical(c.uv.y)},
                      {Canonical(c.lightmapUv.x), Canonical(c.lightmapUv.y)}};
    }
}

// Triangle indices grouped by page, each page's triangles in list order: counts, offsets, scatter.
struct TrianglesByPage {
    std::vector<int32_t> first;  // page p owns order[first[p] .. first[p + 1])
    std::vector<int32_t> order;
};

TrianglesByPage GroupByPage(const std::vector<int32_t>& pages, int32_t pageCount)
{
    TrianglesByPage byPage;
    byPage.first.assign(size_t(pageCount) + 1, 0);
    for (int32_t page : pages)
        byPage.first[size_t(page) + 1]++;
    for (size_t p = 0; p < size_t(pageCount); p++)
        byPage.first[p + 1] += byPage.first[p];
    byPage.order.resize(pages.size());
    std::vector<int32_t> next(byPage.first.begin(), byPage.first.end() - 1);
    for (size_t t = 0; t < pages.size(); t++)
        byPage.order[size_t(next[size_t(pages[t])]++)] = int32_t(t);
    return byPage;
}

void UpdateBounds(Primitive& primitive)
{
    for (int axis = 0; axis < 3; axis++) {
        primitive.minimum[axis] = std::numeric_limits<float>::infinity();
        primitive.maximum[axis] = -std::numeric_limits<float>::infinity();
    }
    for (const GlbVertex& v : primitive.vertices) {
        for (int axis = 0; axis < 3; axis++) {
            primitive.minimum[axis] = std::min(primitive.minimum[axis], v.position[axis]);
            primitive.maximum[axis] = std::max(primitive.maximum[axis], v.position[axis]);
        }
    }
}

// Welds the page's corners: vertices in order of first use, three indices per triangle.
void BuildPrimitive(const BakedMesh& mesh, const int32_t* triangles, int32_t triangleCount,
                    Core::HashMap<GlbVertex, uint8_t>& weld, Primitive& primitive)
{
    weld.Clear();
    weld.Reserve(triangleCount * 3);
    primitive.indices.resize(size_t(triangleCount) * 3);
    for (int32_t i = 0; i < triangleCount; i++) {
        GlbVertex corners[3];
        TriangleVertices(&mesh.corners[size_t(triangles[i]) * 3], corners);
        for (int k = 0; k < 3; k++)
            primitive.indices[size_t(i) * 3 + size_t(k)] = uint32_t(weld.FindOrAdd(corners[k], 0));
    }
    primitive.vertices.resize(size_t(weld.Count()));
    for (int32_t v = 0; v < weld.Count(); v++)
        primitive.vertices[size_t(v)] = weld[v].key;
    UpdateBounds(primitive);
}

bool CheckPages(const BakedMesh& mesh, std::string& error)
{
    if (mesh.corners.size() != mesh.pages.size() * 3) {
        error = "the mesh has " + std::to_string(mesh.corners.size()) + " corners for " +
                std::to_string(mesh.pages.size()) + " triangles";
        return false;
    }
    for (size_t t = 0; t < mesh.pages.size(); t++) {
        if (mesh.pages[t] < 0 || size_t(mesh.pages[t]) >= mesh.pagePngs.size()) {
            error = "triangle " + std::to_string(t) + " lies on page " + std::to_string(mesh.pages[t]) +
                    ", which has no lightmap image";
            return false;
        }
    }
    return true;
}

// One primitive per page that holds triangles, in page order.
std::vector<Primitive> BuildPrimitives(const BakedMesh& mesh)
{
    const int32_t pageCount = int32_t(mesh.pagePngs.size());
    TrianglesByPage byPage = GroupByPage(mesh.pages, pageCount);
    std::vector<Primitive> primitives;
    Core::HashMap<GlbVertex, uint8_t> weld;
    for (int32_t page = 0; page < pageCount; page++) {
        const int32_t first = byPage.first[size_t(page)];
        const int32_t count = byPage.first[size_t(page) + 1] - first;
        if (count == 0)
            continue;
        primitives.emplace_back();
        primitives.back().page = page;
        BuildPrimitive(mesh, byPage.order.data() + first, count, weld, primitives.back());
    }
    return primitives;
}

// Places every primitive's vertices, indices and page image in the binary chunk, each at a
// multiple of 4 bytes; returns the chunk's length.
uint64_t LayOut(std::vector<Primitive>& primitives, const BakedMesh& mesh)
{
    uint64_t at = 0;
    for (Primitive& p : primitives) {
        p.vertexOffset = at;
        at = PaddedTo4(at + uint64_t(p.vertices.size()) * sizeof(GlbVertex));
        p.indexOffset = at;
        at = PaddedTo4(at + p.IndexBytes());
        p.pngOffset = at;
        at = PaddedTo4(at + mesh.pagePngs[size_t(p.page)].size());
    }
    return at;
}

// --- JSON ---

void AppendNumber(std::string& json, double value)
{
    char digits[32];
    // Shortest text that reads back as the same double, so min and max match the data exactly.
    const char* end = std::to_chars(digits, digits + sizeof digits, value).ptr;
    json.append(digits, size_t(end - digits));
}

void AppendNumber(std::string& json, uint64_t value)
{
    char digits[24];
    const char* end = std::to_chars(digits, digits + sizeof digits, value).ptr;
    json.append(digits, size_t(end - digits));
}

void AppendVec3(std::string& json, const float v[3])
{
    json += '[';
    for (int axis = 0; axis < 3; axis++) {
        if (axis > 0)
            json += ',';
        AppendNumber(json, double(v[axis]));
    }
    json += ']';
}

std::string PageName(int32_t page) { return "Ketra_lightmap_" + std::to_string(page); }

// Separates the items of a JSON array being appended in a loop.
void Comma(std::string& json, size_t index)
{
    if (index > 0)
        json += ',';
}

// Accessor numbering: five per primitive (position, normal, uv, lightmap uv, indices).
// View numbering: three per primitive (vertices, indices, image).
void AppendAccessors(std::string& json, const std::vector<Primitive>& primitives)
{
    json += "\"accessors\":[";
    for (size_t i = 0; i < primitives.size(); i++) {
        const Primitive& p = primitives[i];
        const uint64_t vertexCount = p.vertices.size();
        const std::string view = std::to_string(i * 3);
        const std::string common = "\"bufferView\":" + view + ",\"componentType\":" + std::to_string(componentFloat) +
                                   ",\"count\":" + std::to_string(vertexCount);
        Comma(json, i);
        json += "{" + common + ",\"byteOffset\":0,\"type\":\"VEC3\",\"min\":";
        AppendVec3(json, p.minimum);
        json += ",\"max\":";
        AppendVec3(json, p.maximum);
        json += "},{" + common + ",\"byteOffset\":12,\"type\":\"VEC3\"}";
        json += ",{" + common + ",\"byteOffset\":24,\"type\":\"VEC2\"}";
        json += ",{" + common + ",\"byteOffset\":32,\"type\":\"VEC2\"}";
        json += ",{\"bufferView\":" + std::to_string(i * 3 + 1) + ",\"componentType\":" +
                std::to_string(p.ShortIndices() ? componentUnsignedShort : componentUnsignedInt) +
                ",\"count\":" + std::to_string(p.indices.size()) + ",\"type\":\"SCALAR\"}";
    }
    json += "]";
}

void AppendBufferViews(std::string& json, const std::vector<Primitive>& primitives, const BakedMesh& mesh)
{
    json += "\"bufferViews\":[";
    for (size_t i = 0; i < primitives.size(); i++) {
        const Primitive& p = primitives[i];
        Comma(json, i);
        json += "{\"buffer\":0,\"byteOffset\":";
        AppendNumber(json, p.vertexOffset);
        json += ",\"byteLength\":";
        AppendNumber(json, uint64_t(p.vertices.size()) * sizeof(GlbVertex));
        json += ",\"byteStride\":" + std::to_string(sizeof(GlbVertex)) + ",\"target\":" +
                std::to_string(targetArrayBuffer) + "}";
        json += ",{\"buffer\":0,\"byteOffset\":";
        AppendNumber(json, p.indexOffset);
        json += ",\"byteLength\":";
        AppendNumber(json, p.IndexBytes());
        json += ",\"target\":" + std::to_string(targetElementArrayBuffer) + "}";
        json += ",{\"buffer\":0,\"byteOffset\":";
        AppendNumber(json, p.pngOffset);
        json += ",\"byteLength\":";
        AppendNumber(json, uint64_t(mesh.pagePngs[size_t(p.page)].size()));
        json += "}";
    }
    json += "]";
}

// Materials, textures and images: one each per primitive, numbered like the primitives.
void AppendMaterials(std::string& json, const std::vector<Primitive>& primitives)
{
    std::string materials, textures, images;
    for (size_t i = 0; i < primitives.size(); i++) {
        const std::string name = PageName(primitives[i].page);
        const std::string index = std::to_string(i);
        Comma(materials, i);
        Comma(textures, i);
        Comma(images, i);
        // Matte and not metallic: what a surface lit only by its occlusion should look like in
        // any physically based viewer.
        materials += "{\"name\":\"" + name + "\",\"pbrMetallicRoughness\":{\"metallicFactor\":0,\"roughnessFactor\":1}" +
                     ",\"occlusionTexture\":{\"index\":" + index + ",\"texCoord\":1}}";
        textures += "{\"sampler\":0,\"source\":" + index + "}";
        images += "{\"name\":\"" + name + "\",\"bufferView\":" + std::to_string(i * 3 + 2) +
                  ",\"mimeType\":\"image/png\"}";
    }
    json += "\"materials\":[" + materials + "],\"textures\":[" + textures + "],\"images\":[" + images + "]";
    // Charts lie side by side on a page: mipmaps and repeating would blend in their neighbours.
    json += ",\"samplers\":[{\"magFilter\":" + std::to_string(filterLinear) + ",\"minFilter\":" +
            std::to_string(filterLinear) + ",\"wrapS\":" + std::to_string(wrapClampToEdge) + ",\"wrapT\":" +
            std::to_string(wrapClampToEdge) + "}]";
}

void AppendMesh(std::string& json, const std::vector<Primitive>& primitives)
{
    json += "\"nodes\":[{\"name\":\"lightmapped\",\"mesh\":0}],\"meshes\":[{\"name\":\"lightmapped\",\"primitives\":[";
    for (size_t i = 0; i < primitives.size(); i++) {
        const std::string a = std::to_string(i * 5);
        Comma(json, i);
        json += "{\"attributes\":{\"POSITION\":" + a + ",\"NORMAL\":" + std::to_string(i * 5 + 1) +
                ",\"TEXCOORD_0\":" + std::to_string(i * 5 + 2) + ",\"TEXCOORD_1\":" + std::to_string(i * 5 + 3) +
                "},\"indices\":" + std::to_string(i * 5 + 4) + ",\"material\":" + std::to_string(i) + ",\"mode\":4}";
    }
    json += "]}]";
}

// The whole JSON chunk text. A mesh without triangles gives a scene without nodes and no buffer,
// since a glTF buffer may not be empty.
std::string BuildJson(const std::vector<Primitive>& primitives, const BakedMesh& mesh, uint64_t binaryLength)
{
    std::string json = "{\"asset\":{\"version\":\"2.0\",\"generator\":\"Ketra\"},\"scene\":0,";
    if (primitives.empty())
        return json + "\"scenes\":[{}]}";
    json += "\"scenes\":[{\"nodes\":[0]}],";
    AppendMesh(json, primitives);
    json += ',';
    AppendMaterials(json, primitives);
    json += ',';
    AppendAccessors(json, primitives);
    json += ',';
    AppendBufferViews(json, primitives, mesh);
    json += ",\"buffers\":[{\"byteLength\":";
    AppendNumber(json, binaryLength);
    json += "}]}";
    return json;
}

// --- Binary framing ---

void PutLittleEndian32(uint8_t* out, uint32_t value)
{
    for (int i = 0; i < 4; i++)
        out[i] = uint8_t(value >> (8 * i));
}

bool WriteChunkHeader(Core::OutputStream& out, uint64_t length, uint32_t type)
{
    uint8_t header[8];
    PutLittleEndian32(header, uint32_t(length));
    PutLittleEndian32(header + 4, type);
    return out.Write(header, sizeof header);
}

bool WritePadded(Core::OutputStream& out, const void* data, uint64_t size)
{
    static const uint8_t zeros[4] = {0, 0, 0, 0};
    return out.Write(data, size_t(size)) && out.Write(zeros, size_t(PaddedTo4(size) - size));
}

bool WriteIndices(Core::OutputStream& out, const Primitive& p)
{
    if (!p.ShortIndices())
        return WritePadded(out, p.indices.data(), p.IndexBytes());
    std::vector<uint16_t> narrow(p.indices.begin(), p.indices.end());
    return WritePadded(out, narrow.data(), p.IndexBytes());
}

bool WriteBinaryChunk(Core::OutputStream& out, const std::vector<Primitive>& primitives, const BakedMesh& mesh,
                      uint64_t binaryLength)
{
    if (!WriteChunkHeader(out, binaryLength, binChunkType))
        return false;
    for (const Primitive& p : primitives) {
        const std::vector<uint8_t>& png = mesh.pagePngs[size_t(p.page)];
        if (!WritePadded(out, p.vertices.data(), uint64_t(p.vertices.size()) * sizeof(GlbVertex)) ||
            !WriteIndices(out, p) || !WritePadded(out, png.data(), png.size()))
            return false;
    }
    return true;
}

bool BoundsAreFinite(const std::vector<Primitive>& primitives)
{
    for (const Primitive& p : primitives) {
        for (int axis = 0; axis < 3; axis++) {
            if (!std::isfinite(p.minimum[axis]) || !std::isfinite(p.maximum[axis]))
                return false;
        }
    }
    return true;
}

}  // namespace

BakedMesh CollectBakedMesh(const Engine::Lightmapper& lightmapper)
{
    BakedMesh mesh;
    const Engine::LmMesh& source = lightmapper.Mesh();
    mesh.corners.reserve(source.triangles.size() * 3);
    mesh.pages.reserve(source.triangles.size());
    for (const Engine::LmTriangle& t : source.triangles) {
        for (int k = 0; k < 3; k++) {
            mesh.corners.push_back({source.positions[size_t(t.pos[k])], source.normals[size_t(t.nrm[k])],
                                    source.uvs[size_t(t.uv[k])], t.lmUv[k]});
        }
        mesh.pages.push_back(t.page);
    }
    return mesh;
}

bool IsGlbPath(const std::string& path)
{
    static const char extension[] = ".glb";
    const size_t length = sizeof extension - 1;
    if (path.size() < length)
        return false;
    for (size_t i = 0; i < length; i++) {
        char c = path[path.size() - length + i];
        if (c >= 'A' && c <= 'Z')
            c = char(c - 'A' + 'a');
        if (c != extension[i])
            return false;
    }
    return true;
}

bool WriteGlb(const BakedMesh& mesh, Core::OutputStream& out, std::string& error)
{
    if (!CheckPages(mesh, error))
        return false;
    std::vector<Primitive> primitives = BuildPrimitives(mesh);
    if (!BoundsAreFinite(primitives)) {
        error = "the mesh has positions that are not finite numbers";
        return false;
    }
    const uint64_t binaryLength = LayOut(primitives, mesh);
    std::string json = BuildJson(primitives, mesh, binaryLength);
    json.resize(PaddedTo4(json.size()), ' ');  // the format pads its JSON chunk with spaces
    uint64_t total = glbHeaderBytes + chunkHeaderBytes + json.size();
    if (binaryLength > 0)
        total += chunkHeaderBytes + binaryLength;
    if (total > std::numeric_limits<uint32_t>::max()) {
        error = "the scene needs " + std::to_string(total) + " bytes, more than a .glb file can hold (4 GiB)";
        return false;
    }
    uint8_t header[12];
    PutLittleEndian32(header, glbMagic);
    PutLittleEndian32(header + 4, glbVersion);
    PutLittleEndian32(header + 8, uint32_t(total));
    bool ok = out.Write(header, sizeof header) && WriteChunkHeader(out, json.size(), jsonChunkType) &&
              out.Write(json.data(), json.size());
    if (ok && binaryLength > 0)
        ok = WriteBinaryChunk(out, primitives, mesh, binaryLength);
    if (!ok)
        error = "not every byte could be written";
    return ok;
}

bool WriteGlbFile(const BakedMesh& mesh, const std::string& path, std::string& error)
{
    std::FILE* file = std::fopen(path.c_str(), "wb");
    if (!file) {
        error = "cannot create the file";
        return false;
    }
    Core::FileOutputStream stream(file);
    bool ok = WriteGlb(mesh, stream, error);
    // A full disk often shows only when the buffer is flushed or the file closed.
    if (std::fflush(file) != 0 && ok) {
        error = "not every byte could be written";
        ok = false;
    }
    if (std::fclose(file) != 0 && ok) {
        error = "not every byte could be written";
        ok = false;
    }
    // A cut-off .glb is worse than none: a viewer would fail on it far from the cause. Only a
    // plain file is ours to remove; a device or pipe named as the output stays.
    std::error_code ignored;
    if (!ok && std::filesystem::is_regular_file(path, ignored))
        std::remove(path.c_str());
    return ok;
}

}  // namespace App
