// The binary glTF writer, read back through an independent parser: the frame and its padding,
// one primitive per page with that page's PNG as occlusion texture on texCoord 1, welding of
// equal corners, the turn back to the OBJ file's axes and winding, unit normals, exact bounds,
// the widening of indices past 65535 vertices, and the refusals.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "app/driver.h"
#include "app/gltf_writer.h"
#include "core/stream.h"
#include "engine/lightmapper/lightmapper.h"
#include "engine/mesh/obj_reader.h"
#include "glb_fixture.h"
#include "image/bitmap/bitmap.h"
#include "image/png/png_write.h"
#include "run_process_fixture.h"

namespace {

using Geom::Vec2;
using Geom::Vec3;
using TestSupport::Glb;
using TestSupport::Json;

// A real PNG, different for every seed.
std::vector<uint8_t> TinyPng(int seed)
{
    Image::Bitmap bitmap(3 + seed, 2);
    for (int32_t y = 0; y < bitmap.Height(); y++) {
        for (int32_t x = 0; x < bitmap.Width(); x++)
            bitmap.RowPixels(y)[x] = 0xFF000000u | uint32_t(seed * 40 + x * 7 + y * 3) * 0x010101u;
    }
    Core::MemoryOutputStream out;
    EXPECT_TRUE(Image::PngWrite(Image::PngWriter{}, out, bitmap));
    return out.bytes;
}

App::BakedCorner Corner(Vec3 p, Vec3 n = {0, 0, 1}, Vec2 uv = {0, 0}, Vec2 lm = {0.5f, 0.5f})
{
    return {p, n, uv, lm};
}

void AddTriangle(App::BakedMesh& mesh, App::BakedCorner a, App::BakedCorner b, App::BakedCorner c, int32_t page)
{
    mesh.corners.insert(mesh.corners.end(), {a, b, c});
    mesh.pages.push_back(page);
}

Glb WriteAndRead(const App::BakedMesh& mesh)
{
    Core::MemoryOutputStream out;
    std::string error;
    EXPECT_TRUE(App::WriteGlb(mesh, out, error)) << error;
    Glb glb = TestSupport::ParseGlb(out.bytes);
    EXPECT_EQ(glb.problem, "");
    return glb;
}

struct Vertex {
    Vec3 position, normal;
    Vec2 uv, lightmapUv;
};

// The triangles of one primitive, three vertices each, in index order.
std::vector<Vertex> PrimitiveTriangles(const Glb& glb, size_t primitive)
{
    const Json& p = glb.json["meshes"][0]["primitives"][primitive];
    const Json& attributes = p["attributes"];
    std::string problem;
    std::vector<float> positions = TestSupport::AccessorFloats(glb, attributes["POSITION"].Int(), problem);
    std::vector<float> normals = TestSupport::AccessorFloats(glb, attributes["NORMAL"].Int(), problem);
    std::vector<float> uvs = TestSupport::AccessorFloats(glb, attributes["TEXCOORD_0"].Int(), problem);
    std::vector<float> lightmapUvs = TestSupport::AccessorFloats(glb, attributes["TEXCOORD_1"].Int(), problem);
    std::vector<uint32_t> indices = TestSupport::AccessorIndices(glb, p["indices"].Int(), problem);
    EXPECT_EQ(problem, "");
    EXPECT_EQ(p["mode"].Int(), 4);
    std::vector<Vertex> corners;
    for (uint32_t i : indices) {
        if (size_t(i) * 3 + 2 >= positions.size()) {
            ADD_FAILURE() << "index " << i << " past the vertices";
            return {};
        }
        corners.push_back({{positions[i * 3], positions[i * 3 + 1], positions[i * 3 + 2]},
                           {normals[i * 3], normals[i * 3 + 1], normals[i * 3 + 2]},
                           {uvs[i * 2], uvs[i * 2 + 1]},
                           {lightmapUvs[i * 2], lightmapUvs[i * 2 + 1]}});
    }
    return corners;
}

size_t VertexCount(const Glb& glb, size_t primitive)
{
    const Json& p = glb.json["meshes"][0]["primitives"][primitive];
    return size_t(glb.json["accessors"][size_t(p["attributes"]["POSITION"].Int())]["count"].number);
}

TEST(GltfWriter, EachPageIsOnePrimitiveWithItsPngAsOcclusionOnTexCoord1)
{
    // Triangles on pages 2 and 0 interleaved; page 1 has none and is left out.
    App::BakedMesh mesh;
    for (int i = 0; i < 5; i++) {
        float x = float(i);
        AddTriangle(mesh, Corner({x, 0, 0}), Corner({x + 1, 0, 0}), Corner({x, 1, 0}), i % 2 ? 0 : 2);
    }
    mesh.pagePngs = {TinyPng(0), TinyPng(1), TinyPng(2)};
    Glb glb = WriteAndRead(mesh);

    EXPECT_EQ(glb.json["asset"]["version"].text, "2.0");
    EXPECT_EQ(glb.json["scenes"][size_t(glb.json["scene"].Int())]["nodes"][0].Int(), 0);
    EXPECT_EQ(glb.json["nodes"][0]["mesh"].Int(), 0);
    const Json& primitives = glb.json["meshes"][0]["primitives"];
    ASSERT_EQ(primitives.Size(), 2u);
    const struct { int page; size_t triangles; } expected[] = {{0, 2}, {2, 3}};
    for (size_t i = 0; i < 2; i++) {
        EXPECT_EQ(PrimitiveTriangles(glb, i).size(), expected[i].triangles * 3) << "primitive " << i;
        const Json& material = glb.json["materials"][size_t(primitives[i]["material"].Int())];
        EXPECT_EQ(material["occlusionTexture"]["texCoord"].Int(), 1) << "primitive " << i;
        EXPECT_EQ(material["pbrMetallicRoughness"]["metallicFactor"].number, 0.0);
        const Json& texture = glb.json["textures"][size_t(material["occlusionTexture"]["index"].Int())];
        const Json& image = glb.json["images"][size_t(texture["source"].Int())];
        EXPECT_EQ(image["mimeType"].text, "image/png");
        EXPECT_EQ(image["name"].text, "Ketra_lightmap_" + std::to_string(expected[i].page));
        std::string problem;
        EXPECT_EQ(TestSupport::ViewBytes(glb, image["bufferView"].Int(), problem),
                  mesh.pagePngs[size_t(expected[i].page)])
            << "primitive " << i << " must carry its page's PNG exactly as given " << problem;
    }
    // Every view starts on a multiple of 4, and the bytes no view covers are zero padding.
    std::vector<bool> covered(glb.bin.size(), false);
    for (const Json& view : glb.json["bufferViews"].items) {
        const size_t offset = size_t(view["byteOffset"].number), length = size_t(view["byteLength"].number);
        EXPECT_EQ(offset % 4, 0u);
        ASSERT_LE(offset + length, glb.bin.size());
        for (size_t b = offset; b < offset + length; b++)
            covered[b] = true;
    }
    for (size_t b = 0; b < glb.bin.size(); b++) {
        if (!covered[b]) {
            EXPECT_EQ(glb.bin[b], 0) << "padding byte " << b;
        }
    }
}

TEST(GltfWriter, CornersEqualInEveryAttributeShareOneVertex)
{
    // Two triangles sharing an edge; one of triangle B's two shared corners is changed in one
    // attribute at a time. Equal values weld, -0 included; any real difference keeps two vertices.
    const struct {
        const char* change;
        App::BakedCorner corner;
        size_t vertices;
    } cases[] = {
        {"nothing", Corner({1, 0, 0}), 4},
        {"negative zero", Corner({1, -0.0f, -0.0f}), 4},
        {"position", Corner({1, 0, 1e-6f}), 5},
        {"normal", Corner({1, 0, 0}, {0, 1, 1}), 5},
        {"texture uv", Corner({1, 0, 0}, {0, 0, 1}, {0, 1e-6f}), 5},
        {"lightmap uv", Corner({1, 0, 0}, {0, 0, 1}, {0, 0}, {0.5f, 0.25f}), 5},
    };
    for (const auto& c : cases) {
        App::BakedMesh mesh;
        AddTriangle(mesh, Corner({0, 0, 0}), Corner({1, 0, 0}), Corner({0, 1, 0}), 0);
        AddTriangle(mesh, Corner({0, 1, 0}), c.corner, Corner({1, 1, 0}), 0);
        mesh.pagePngs = {TinyPng(0)};
        Glb glb = WriteAndRead(mesh);
        EXPECT_EQ(VertexCount(glb, 0), c.vertices) << "changed: " << c.change;
        // Welding must not lose a corner: the indices give back every corner of every triangle.
        std::vector<Vertex> corners = PrimitiveTriangles(glb, 0);
        ASSERT_EQ(corners.size(), 6u) << c.change;
        for (size_t t = 0; t < 2; t++) {
            for (int k = 0; k < 3; k++) {
                // Corner k of the glTF triangle is corner 2 - k of the engine's.
                const App::BakedCorner& source = mesh.corners[t * 3 + size_t(2 - k)];
                const Vertex& v = corners[t * 3 + size_t(k)];
                const Vec3 expected = {source.position.x, source.position.z, -source.position.y};
                EXPECT_EQ(v.position, expected) << c.change << " triangle " << t << " corner " << k;
                EXPECT_EQ(v.uv, source.uv) << c.change;
                EXPECT_EQ(v.lightmapUv, source.lightmapUv) << c.change;
            }
        }
    }
}

// The real intake: an OBJ file read, scaled and turned to the engine's axes as the driver does,
// written as glTF, comes back in the file's own axes (times the scale), with counter-clockwise
// fronts and texture v flipped for glTF's top-left origin.
TEST(GltfWriter, TheObjFilesAxesAndFrontFacesComeBack)
{
    const std::string dir = TestSupport::MakeTempDirectory();
    const std::string obj = dir + "/tilted.obj";
    // A tilted quad facing +x+y+z and a triangle facing -y, counter-clockwise from the front,
    // with the file's normals, which the engine keeps as they are (turned to its axes).
    TestSupport::WriteFile(obj,
                           "v 1 0 0\nv 0 1 0\nv 0 0 1\nv 1 1 -1\n"
                           "v 3 0 0\nv 4 0 0\nv 3 0 1\n"
                           "vt 0.25 0.75\nvt 0.5 0\nvt 1 1\nvt 0 0\n"
                           "vn 0.57735 0.57735 0.57735\nvn 0 -1 0\n"
                           "f 1/1/1 4/2/1 2/3/1 3/4/1\n"
                           "f 5/1/2 6/2/2 7/3/2\n");
    std::FILE* file = std::fopen(obj.c_str(), "rb");
    ASSERT_NE(file, nullptr);
    Engine::ObjReader reader;
    const float scale = 2;
    ASSERT_TRUE(reader.Parse(file, obj, {scale, scale, scale}, 0));
    std::fclose(file);
    reader.ConvertAxes();
    App::Options options;
    Engine::Lightmapper lightmapper{Engine::LightmapperSettings{}};
    ASSERT_TRUE(App::FeedTriangles(reader, options, lightmapper));
    ASSERT_EQ(lightmapper.Mesh().triangles.size(), 3u);
    for (Engine::LmTriangle& t : lightmapper.Mesh().triangles)
        t.page = 0;  // what the atlas stage would do
    App::BakedMesh mesh = App::CollectBakedMesh(lightmapper);
    mesh.pagePngs = {TinyPng(0)};
    Glb glb = WriteAndRead(mesh);
    std::vector<Vertex> corners = PrimitiveTriangles(glb, 0);
    ASSERT_EQ(corners.size(), 9u);

    const Vec3 filePositions[] = {{1, 0, 0}, {0, 1, 0}, {0, 0, 1}, {1, 1, -1}, {3, 0, 0}, {4, 0, 0}, {3, 0, 1}};
    for (const Vec3& p : filePositions) {
        bool found = false;
        for (const Vertex& v : corners)
            found = found || v.position == p * scale;
        EXPECT_TRUE(found) << "no vertex at " << p.x << " " << p.y << " " << p.z << " times " << scale;
    }
    for (size_t t = 0; t < 3; t++) {
        const Vertex* v = &corners[t * 3];
        const Vec3 front = Geom::Cross(v[1].position - v[0].position, v[2].position - v[0].position);
        for (int k = 0; k < 3; k++) {
            EXPECT_GT(Geom::Dot(front, v[k].normal), 0) << "triangle " << t << " corner " << k
                                                        << ": its front must be counter-clockwise";
            EXPECT_NEAR(Geom::Length(v[k].normal), 1.0f, 1e-6f);  // the file's normals were not quite unit
        }
    }
    // The file's (0.25, 0.75) is (0.25, 0.25) from the image's top-left corner.
    bool found = false;
    for (const Vertex& v : corners)
        found = found || (v.position == Vec3{2, 0, 0} && v.uv == Vec2{0.25f, 0.25f});
    EXPECT_TRUE(found);
}

TEST(GltfWriter, NormalsAreUnitAndAZeroNormalTakesItsFaceNormal)
{
    App::BakedMesh mesh;
    AddTriangle(mesh, Corner({0, 0, 0}, {0, 0, 3}), Corner({1, 0, 0}, {0, 0, 0}), Corner({0, 1, 0}, {3, 4, 0}), 0);
    mesh.pagePngs = {TinyPng(0)};
    std::vector<Vertex> corners = PrimitiveTriangles(WriteAndRead(mesh), 0);
    ASSERT_EQ(corners.size(), 3u);
    const Vec3 face = Geom::Normalized(
        Geom::Cross(corners[1].position - corners[0].position, corners[2].position - corners[0].position));
    // glTF corner 0 is engine corner 2, and so on.
    const Vec3 expected[3] = {{0.6f, 0, -0.8f}, face, {0, 1, 0}};
    for (int k = 0; k < 3; k++) {
        EXPECT_NEAR(corners[k].normal.x, expected[k].x, 1e-6f) << "corner " << k;
        EXPECT_NEAR(corners[k].normal.y, expected[k].y, 1e-6f) << "corner " << k;
        EXPECT_NEAR(corners[k].normal.z, expected[k].z, 1e-6f) << "corner " << k;
    }
    EXPECT_NEAR(Geom::Length(face), 1.0f, 1e-6f);
}

TEST(GltfWriter, PositionBoundsAreExactlyTheExtremesOfThePositions)
{
    const unsigned seed = 11;
    std::mt19937 random(seed);
    std::uniform_real_distribution<float> coordinate(-1000.0f, 1000.0f);
    App::BakedMesh mesh;
    for (int t = 0; t < 300; t++) {
        App::BakedCorner c[3];
        for (auto& corner : c)
            corner = Corner({coordinate(random) * 1e-3f, coordinate(random), coordinate(random) * 1e3f});
        AddTriangle(mesh, c[0], c[1], c[2], 0);
    }
    mesh.pagePngs = {TinyPng(0)};
    Glb glb = WriteAndRead(mesh);
    std::string problem;
    std::vector<float> positions = TestSupport::AccessorFloats(glb, 0, problem);
    ASSERT_EQ(positions.size(), 900u * 3) << problem;
    const Json& accessor = glb.json["accessors"][0];
    for (size_t axis = 0; axis < 3; axis++) {
        float low = positions[axis], high = positions[axis];
        for (size_t i = axis; i < positions.size(); i += 3) {
            low = std::min(low, positions[i]);
            high = std::max(high, positions[i]);
        }
        // Compared as doubles: the JSON text must name the float exactly, not approximately.
        EXPECT_EQ(accessor["min"][axis].number, double(low)) << "axis " << axis << " seed " << seed;
        EXPECT_EQ(accessor["max"][axis].number, double(high)) << "axis " << axis << " seed " << seed;
    }
}

TEST(GltfWriter, IndicesWidenToThirtyTwoBitsPastSixtyFiveThousandFiveHundredThirtyFiveVertices)
{
    // 65535 is the largest count that 16-bit indices can address without using 65535 itself.
    const struct { size_t vertices; int componentType; } cases[] = {{65535, 5123}, {65536, 5125}};
    for (const auto& c : cases) {
        App::BakedMesh mesh;
        auto corner = [](size_t i) { return Corner({float(i), float(i % 7), 0}); };
        size_t used = 0;
        for (; used + 3 <= c.vertices; used += 3)
            AddTriangle(mesh, corner(used), corner(used + 1), corner(used + 2), 0);
        if (used < c.vertices) {  // one more triangle with one new corner
            AddTriangle(mesh, corner(0), corner(1), corner(used), 0);
            used++;
        }
        mesh.pagePngs = {TinyPng(0)};
        Glb glb = WriteAndRead(mesh);
        ASSERT_EQ(VertexCount(glb, 0), c.vertices);
        const Json& p = glb.json["meshes"][0]["primitives"][0];
        EXPECT_EQ(glb.json["accessors"][size_t(p["indices"].Int())]["componentType"].Int(), c.componentType);
        std::vector<Vertex> corners = PrimitiveTriangles(glb, 0);
        ASSERT_EQ(corners.size(), mesh.corners.size());
        for (size_t i = 0; i < corners.size(); i++) {
            const Vec3 source = mesh.corners[i / 3 * 3 + (2 - i % 3)].position;
            ASSERT_EQ(corners[i].position, (Vec3{source.x, source.z, -source.y})) << c.vertices << " corner " << i;
        }
    }
}

TEST(GltfWriter, RefusesPagesWithoutImagesAndWritesAnEmptyMeshAsAnEmptyScene)
{
    const struct { const char* what; int32_t page; size_t pngs; } refused[] = {
        {"page past the images", 1, 1}, {"negative page", -1, 1}, {"no images at all", 0, 0}};
    for (const auto& c : refused) {
        App::BakedMesh mesh;
        AddTriangle(mesh, Corner({0, 0, 0}), Corner({1, 0, 0}), Corner({0, 1, 0}), c.page);
        for (size_t i = 0; i < c.pngs; i++)
            mesh.pagePngs.push_back(TinyPng(int(i)));
        Core::MemoryOutputStream out;
        std::string error;
        EXPECT_FALSE(App::WriteGlb(mesh, out, error)) << c.what;
        EXPECT_NE(error.find("page " + std::to_string(c.page)), std::string::npos) << c.what << ": " << error;
    }

    App::BakedMesh empty;
    empty.pagePngs = {TinyPng(0)};  // a page without triangles is left out
    Glb glb = WriteAndRead(empty);
    EXPECT_FALSE(glb.hasBinChunk);
    EXPECT_FALSE(glb.json.Has("meshes"));
    EXPECT_FALSE(glb.json.Has("buffers"));
    EXPECT_EQ(glb.json["scenes"].Size(), 1u);

    std::string error;
    const std::string nowhere = TestSupport::MakeTempDirectory() + "/missing/out.glb";
    EXPECT_FALSE(App::WriteGlbFile(empty, nowhere, error));
    EXPECT_NE(error, "");
}

TEST(GltfWriter, GlbPathsAreKnownByTheirExtensionInAnyCase)
{
    const struct { const char* path; bool glb; } cases[] = {
        {"room.glb", true}, {"ROOM.GLB", true}, {"out/x.Glb", true}, {".glb", true},
        {"glb", false},     {"room.glb.txt", false}, {"room.gltf", false}, {"room_glb", false}, {"", false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(App::IsGlbPath(c.path), c.glb) << c.path;
}

}  // namespace
