// Reading mesh files back for ketra-gltf: what the mesh writer writes comes back as the values
// it printed, line ends and blanks other than its own are accepted, and every kind of damaged
// line is refused with its line number.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "app/mesh_reader.h"
#include "app/mesh_writer.h"
#include "engine/lightmapper/lightmapper.h"
#include "run_process_fixture.h"

namespace {

// "%0.6f" of the float, read back as a float: what the mesh file can carry.
float Printed(float value)
{
    char text[64];
    std::snprintf(text, sizeof text, "%0.6f", double(value));
    return std::strtof(text, nullptr);
}

TEST(MeshReader, ReadsBackWhatTheMeshWriterWrote)
{
    Engine::Lightmapper lm{Engine::LightmapperSettings{}};
    lm.Mesh().objects.resize(2);
    lm.Mesh().objects[1].name = "crate #2 with spaces";
    for (int t = 0; t < 4; t++) {
        Engine::LmTriangle triangle{};
        for (int k = 0; k < 3; k++) {
            const float f = float(t * 3 + k);
            lm.Mesh().positions.push_back({f * 1.1234567f, -f, 1e5f + f});
            lm.Mesh().normals.push_back({0.6f, -0.8f, f * 1e-7f});
            lm.Mesh().uvs.push_back({f / 7, 1 - f / 9});
            triangle.pos[k] = triangle.nrm[k] = triangle.uv[k] = t * 3 + k;
            triangle.lmUv[k] = {(f + 0.5f) / 2048, (f + 0.5f) / 512};
        }
        triangle.page = t % 3;
        triangle.group = t * 1000;
        triangle.object = t % 2;
        lm.Mesh().triangles.push_back(triangle);
    }
    const std::string path = TestSupport::MakeTempDirectory() + "/mesh.txt";
    ASSERT_TRUE(App::WriteMeshFile(lm, path));

    App::BakedMesh mesh;
    std::string error;
    ASSERT_EQ(App::ReadMeshFile(path, mesh, error), App::MeshReadResult::Ok) << error;
    ASSERT_EQ(mesh.pages.size(), 4u);
    ASSERT_EQ(mesh.corners.size(), 12u);
    EXPECT_EQ(App::PageCountOf(mesh), 3);
    for (size_t t = 0; t < 4; t++) {
        EXPECT_EQ(mesh.pages[t], int32_t(t % 3));
        for (size_t k = 0; k < 3; k++) {
            const App::BakedCorner& c = mesh.corners[t * 3 + k];
            const Engine::LmTriangle& source = lm.Mesh().triangles[t];
            const Geom::Vec3 p = lm.Mesh().positions[size_t(source.pos[k])], n = lm.Mesh().normals[size_t(source.nrm[k])];
            const Geom::Vec2 uv = lm.Mesh().uvs[size_t(source.uv[k])], lmUv = source.lmUv[k];
            const float expected[10] = {p.x, p.y, p.z, n.x, n.y, n.z, uv.x, uv.y, lmUv.x, lmUv.y};
            const float read[10] = {c.position.x, c.position.y, c.position.z, c.normal.x, c.normal.y,
                                    c.normal.z,   c.uv.x,       c.uv.y,       c.lightmapUv.x, c.lightmapUv.y};
            for (int i = 0; i < 10; i++)
                EXPECT_EQ(read[i], Printed(expected[i])) << "triangle " << t << " corner " << k << " value " << i;
        }
    }
}

TEST(MeshReader, AcceptsOtherBlanksAndLineEnds)
{
    const std::string lines[] = {
        "1.0 2 3  0 0 1  0.5 0.5  0.25 0.75  1  7  name with spaces\r\n",
        "1\t2\t3\t0\t0\t1\t0.5\t0.5\t0.25\t0.75\t1\t7\n",
        "   -1e-3 2 3 0 0 1 0.5 0.5 0.25 0.75 1 7",  // last line without its line end
    };
    App::BakedMesh mesh;
    std::string error;
    ASSERT_TRUE(App::ParseMeshText(lines[0] + lines[1] + lines[2], mesh, error)) << error;
    ASSERT_EQ(mesh.pages.size(), 1u);
    EXPECT_EQ(mesh.pages[0], 1);
    EXPECT_EQ(mesh.corners[2].position.x, -1e-3f);
    EXPECT_EQ(mesh.corners[1].lightmapUv.y, 0.75f);

    ASSERT_TRUE(App::ParseMeshText("", mesh, error)) << "an empty mesh file is a mesh without triangles";
    EXPECT_EQ(mesh.pages.size(), 0u);
    EXPECT_EQ(App::PageCountOf(mesh), 0);
}

TEST(MeshReader, RefusesDamagedLinesNamingTheLine)
{
    const std::string good = "0 0 0  0 0 1  0 0  0.5 0.5  0  3  box\n";
    const struct {
        const char* damage;
        std::string text;
        const char* line;
    } cases[] = {
        {"a word for a number", good + "0 x 0  0 0 1  0 0  0.5 0.5  0  3\n" + good, "line 2:"},
        {"a number with a tail", good + good + "0 0 0  0 0 1  0 0  0.5 0.5x  0  3\n", "line 3:"},
        {"nine numbers", good + "0 0 0  0 0 1  0 0  0.5  0  3\n" + good, "line 2:"},
        {"no chart", good + good + "0 0 0  0 0 1  0 0  0.5 0.5  0\n", "line 3:"},
        {"infinity", "inf 0 0  0 0 1  0 0  0.5 0.5  0  3\n" + good + good, "line 1:"},
        {"not a number", good + "0 0 nan  0 0 1  0 0  0.5 0.5  0  3\n" + good, "line 2:"},
        {"fractional page", good + "0 0 0  0 0 1  0 0  0.5 0.5  1.5  3\n" + good, "line 2:"},
        {"negative page", "0 0 0  0 0 1  0 0  0.5 0.5  -1  3\n" + good + good, "line 1:"},
        {"page past the limit", good + good + "0 0 0  0 0 1  0 0  0.5 0.5  65536  3\n", "line 3:"},
        {"corners on two pages", good + "0 0 0  0 0 1  0 0  0.5 0.5  1  3\n" + good, "line 2:"},
        {"an empty line", good + "\n" + good + good, "line 2:"},
        {"a triangle cut short", good + good + good + good, "line 4:"},
    };
    for (const auto& c : cases) {
        App::BakedMesh mesh;
        std::string error;
        EXPECT_FALSE(App::ParseMeshText(c.text, mesh, error)) << c.damage;
        EXPECT_EQ(error.rfind(c.line, 0), 0u) << c.damage << ": " << error;
    }
}

TEST(MeshReader, TellsAMissingFileFromAMalformedOne)
{
    const std::string dir = TestSupport::MakeTempDirectory();
    App::BakedMesh mesh;
    std::string error;
    EXPECT_EQ(App::ReadMeshFile(dir + "/absent.txt", mesh, error), App::MeshReadResult::Missing);
    EXPECT_NE(error.find("absent.txt"), std::string::npos) << error;
    TestSupport::WriteFile(dir + "/bad.txt", "not a mesh\n");
    EXPECT_EQ(App::ReadMeshFile(dir + "/bad.txt", mesh, error), App::MeshReadResult::Malformed);
    EXPECT_NE(error.find("bad.txt line 1:"), std::string::npos) << error;
}

}  // namespace
