// Bakes real furniture models through the front end. They are modelled in centimetres, so they
// are scaled to metres. The models are unpacked from the Debian package sweethome3d-furniture by
// scripts/prepare_test_data; without them the test skips.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <string>

#include "engine/lightmapper/lightmapper.h"
#include "engine/mesh/obj_reader.h"
#include "run_process_fixture.h"

namespace {

namespace fs = std::filesystem;

// Centimetres to metres. The reader's collinear test has an absolute tolerance, so the scale
// decides which thin triangles survive: both sides of the comparison must use it.
constexpr float modelScale = 0.01f;

// Triangles the lightmapper accepts from the file, counted in-process as the driver feeds them.
int32_t AcceptedTriangles(const std::string& path)
{
    Engine::ObjReader reader;
    std::FILE* file = std::fopen(path.c_str(), "rb");
    if (!file)
        return -1;
    bool parsed = reader.Parse(file, path, {modelScale, modelScale, modelScale}, 0);
    std::fclose(file);
    if (!parsed)
        return -1;
    reader.ConvertAxes();
    Engine::LightmapperSettings settings;
    Engine::Lightmapper lightmapper(settings);
    int32_t accepted = 0;
    for (const Engine::ObjTriangle& t : reader.triangles) {
        Engine::InputTriangle input;
        for (int k = 0; k < 3; k++)
            input.positions[k] = reader.positions[size_t(t.vertex[k])];
        input.modelId = 0;
        accepted += lightmapper.AddTriangle(input) >= 0;
    }
    return accepted;
}

TEST(RealData, FurnitureModelsGiveThreeLinesPerAcceptedTriangle)
{
    fs::path models = fs::path(KETRA_SOURCE_DIR) / "build" / "testdata" / "furniture";
    if (!fs::is_directory(models))
        GTEST_SKIP() << "no furniture models in " << models << " (install sweethome3d-furniture and run "
                     << "scripts/prepare_test_data)";
    int baked = 0;
    for (const fs::directory_entry& entry : fs::directory_iterator(models)) {
        if (entry.path().extension() != ".obj")
            continue;
        std::string dir = TestSupport::MakeTempDirectory();
        TestSupport::ProcessResult r =
            TestSupport::RunProcess({KETRA_BINARY, "-f", "-s", "8", "-i", "0.01", entry.path().string(), "out.txt"}, dir);
        ASSERT_EQ(r.exitCode, 0) << entry.path() << "\n" << r.err;
        std::string mesh = TestSupport::ReadFile(dir + "/out.txt");
        int64_t lines = std::count(mesh.begin(), mesh.end(), '\n');
        int32_t accepted = AcceptedTriangles(entry.path().string());
        EXPECT_GT(accepted, 0) << entry.path();
        EXPECT_EQ(lines, 3 * int64_t(accepted)) << entry.path();
        baked++;
        fs::remove_all(dir);
    }
    EXPECT_GT(baked, 0) << "no .obj files in " << models;
}

}  // namespace
