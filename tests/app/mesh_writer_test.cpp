// The mesh file's numbers must read exactly as the C library's "%0.6f" and "%d" print them,
// whatever the value: halves at the sixth decimal, tiny and huge magnitudes, negative zero.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <fstream>
#include <random>
#include <sstream>
#include <string>

#include "app/mesh_writer.h"
#include "engine/lightmapper/lightmapper.h"
#include "tests/app/run_process_fixture.h"

namespace {

std::string Expected(const float v[10], int page, int group, const std::string& name)
{
    char line[1024];
    std::snprintf(line, sizeof line, "%0.6f %0.6f %0.6f  %0.6f %0.6f %0.6f  %0.6f %0.6f  %0.6f %0.6f  %d  %d  %s\n",
                  double(v[0]), double(v[1]), double(v[2]), double(v[3]), double(v[4]), double(v[5]), double(v[6]),
                  double(v[7]), double(v[8]), double(v[9]), page, group, name.c_str());
    return line;
}

std::string ReadFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

TEST(MeshWriter, NumbersReadAsTheCLibraryPrintsThem)
{
    std::vector<float> values = {0.0f, -0.0f, 0.5f, -0.5f, 1e-7f, -1e-7f, 4.9999997e-7f, 5e-7f, 1.5e-6f, 2.5e-6f,
                                 0.1234565f, 123456.7890625f, -98765.4296875f, 3.4028235e38f, -3.4028235e38f,
                                 1.17549435e-38f, 16777216.0f, 0.999999f, 0.9999995f, 1.0000005f};
    std::mt19937 random(3);
    std::uniform_real_distribution<float> unit(-1.0f, 1.0f);
    std::uniform_int_distribution<int> exponent(-30, 30);
    while (values.size() % 10 != 0 || values.size() < 2000)
        values.push_back(unit(random) * std::ldexp(1.0f, exponent(random)));

    Engine::Lightmapper lm{Engine::LightmapperSettings{}};
    lm.Mesh().objects.push_back({});
    lm.Mesh().objects.back().name = "crate #2 with spaces";
    std::string expected;
    for (size_t first = 0; first + 10 <= values.size(); first += 10) {
        const float* v = &values[first];
        Engine::LmTriangle t{};
        const int32_t corner = int32_t(lm.Mesh().positions.size());
        lm.Mesh().positions.push_back({v[0], v[1], v[2]});
        lm.Mesh().normals.push_back({v[3], v[4], v[5]});
        lm.Mesh().uvs.push_back({v[6], v[7]});
        for (int k = 0; k < 3; k++) {
            t.pos[k] = t.nrm[k] = t.uv[k] = corner;
            t.lmUv[k] = {v[8], v[9]};
        }
        t.page = int32_t(first) - 1000;
        t.group = int32_t(first) * 7919;
        t.object = 0;
        lm.Mesh().triangles.push_back(t);
        for (int k = 0; k < 3; k++)
            expected += Expected(v, t.page, t.group, lm.Mesh().objects[0].name);
    }
    const std::string path = TestSupport::MakeTempDirectory() + "/mesh.txt";
    ASSERT_TRUE(App::WriteMeshFile(lm, path));
    const std::string written = ReadFile(path);
    ASSERT_EQ(written.size(), expected.size());
    for (size_t at = 0, line = 1; at < written.size(); line++) {
        const size_t end = expected.find('\n', at) + 1;
        ASSERT_EQ(written.substr(at, end - at), expected.substr(at, end - at)) << "line " << line;
        at = end;
    }
}

TEST(MeshWriter, OverlongLineIsCutAfter15999Characters)
{
    Engine::Lightmapper lm{Engine::LightmapperSettings{}};
    lm.Mesh().objects.push_back({});
    lm.Mesh().objects.back().name = std::string(20000, 'x');
    lm.Mesh().positions.push_back({1, 2, 3});
    lm.Mesh().normals.push_back({0, 0, 1});
    lm.Mesh().uvs.push_back({0.25f, 0.75f});
    Engine::LmTriangle t{};
    t.object = 0;
    lm.Mesh().triangles.push_back(t);
    const std::string path = TestSupport::MakeTempDirectory() + "/mesh.txt";
    ASSERT_TRUE(App::WriteMeshFile(lm, path));
    const std::string written = ReadFile(path);
    const std::string prefix = "1.000000 2.000000 3.000000  0.000000 0.000000 1.000000  0.250000 0.750000  ";
    ASSERT_EQ(written.size(), 3u * 16000u);
    for (size_t line = 0; line < 3; line++) {
        EXPECT_EQ(written.compare(line * 16000, prefix.size(), prefix), 0) << "line " << line;
        EXPECT_EQ(written[line * 16000 + 15999], '\n') << "line " << line;
        EXPECT_EQ(written[line * 16000 + 15998], 'x') << "line " << line;
    }
}

TEST(MeshWriter, AnyValueThatIsNotFiniteIsFoundBeforeWriting)
{
    // Triangle i has corners on positions i * 3 + k: one of the ten numbers of one corner of
    // triangle 1 is spoiled per row.
    const float nan = std::nanf(""), inf = INFINITY;
    const struct {
        int field;  // 0-2 position, 3-5 normal, 6-7 uv, 8-9 lightmap uv
        float value;
    } cases[] = {{0, nan}, {2, -inf}, {4, nan}, {7, inf}, {8, nan}, {9, -inf}};
    for (const auto& c : cases) {
        Engine::Lightmapper lm{Engine::LightmapperSettings{}};
        Engine::LmMesh& mesh = lm.Mesh();
        mesh.objects.push_back({});
        for (int32_t i = 0; i < 3; i++) {
            Engine::LmTriangle t{};
            for (int k = 0; k < 3; k++) {
                const int32_t corner = int32_t(mesh.positions.size());
                mesh.positions.push_back({float(i), float(k), 0});
                mesh.normals.push_back({0, 0, 1});
                mesh.uvs.push_back({0.5f, 0.5f});
                t.pos[k] = t.nrm[k] = t.uv[k] = corner;
                t.lmUv[k] = {0.25f, 0.75f};
            }
            mesh.triangles.push_back(t);
        }
        EXPECT_EQ(App::FirstNonFiniteTriangle(lm), -1);
        Engine::LmTriangle& spoiled = mesh.triangles[1];
        const int32_t corner = spoiled.pos[2];
        if (c.field < 3)
            mesh.positions[size_t(corner)][c.field] = c.value;
        else if (c.field < 6)
            mesh.normals[size_t(corner)][c.field - 3] = c.value;
        else if (c.field == 6 || c.field == 7)
            (c.field == 6 ? mesh.uvs[size_t(corner)].x : mesh.uvs[size_t(corner)].y) = c.value;
        else
            (c.field == 8 ? spoiled.lmUv[2].x : spoiled.lmUv[2].y) = c.value;
        EXPECT_EQ(App::FirstNonFiniteTriangle(lm), 1) << "field " << c.field;
    }
}

}  // namespace
