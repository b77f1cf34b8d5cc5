// The lighting mode through the tool: a light file in, lit pages out.
#include <gtest/gtest.h>
#include <png.h>

#include <algorithm>
#include <cmath>
#include <sstream>
#include <string>
#include <vector>

#include "run_process_fixture.h"

namespace {

struct Image {
    int width = 0, height = 0;
    std::vector<uint8_t> rgba;
    const uint8_t* At(int x, int y) const { return &rgba[(size_t(y) * size_t(width) + size_t(x)) * 4]; }
};

bool Decode(const std::string& path, Image& image)
{
    png_image png{};
    png.version = PNG_IMAGE_VERSION;
    if (!png_image_begin_read_from_file(&png, path.c_str()))
        return false;
    png.format = PNG_FORMAT_RGBA;
    image.width = int(png.width);
    image.height = int(png.height);
    image.rgba.resize(PNG_IMAGE_SIZE(png));
    return png_image_finish_read(&png, nullptr, image.rgba.data(), 0, nullptr) != 0;
}

// One corner line of the mesh file.
struct Corner {
    float position[3], normal[3];
    float lmU, lmV;
    int page;
    std::string object;
};

std::vector<Corner> ReadCorners(const std::string& mesh)
{
    std::vector<Corner> corners;
    std::istringstream lines(mesh);
    std::string line;
    while (std::getline(lines, line)) {
        std::istringstream fields(line);
        Corner c;
        float uv[2];
        int chart;
        fields >> c.position[0] >> c.position[1] >> c.position[2] >> c.normal[0] >> c.normal[1] >> c.normal[2] >>
            uv[0] >> uv[1] >> c.lmU >> c.lmV >> c.page >> chart;
        EXPECT_TRUE(fields) << line;
        fields >> c.object;
        corners.push_back(c);
    }
    return corners;
}

// Mean brightness (red + green + blue) of the page texels under the centres of the triangles
// of `object` whose normal is `normal`.
double MeanBrightness(const std::vector<Corner>& corners, const std::vector<Image>& pages, const std::string& object,
                      const float normal[3], int& triangles)
{
    double sum = 0;
    triangles = 0;
    for (size_t i = 0; i + 2 < corners.size(); i += 3) {
        const Corner& c = corners[i];
        if (c.object != object || std::fabs(c.normal[0] * normal[0] + c.normal[1] * normal[1] + c.normal[2] * normal[2] - 1) > 1e-3)
            continue;
        const Image& page = pages[size_t(c.page)];
        const float u = (corners[i].lmU + corners[i + 1].lmU + corners[i + 2].lmU) / 3;
        const float v = (corners[i].lmV + corners[i + 1].lmV + corners[i + 2].lmV) / 3;
        const int x = std::clamp(int(u * float(page.width)), 0, page.width - 1);
        const int y = std::clamp(int(v * float(page.height)), 0, page.height - 1);
        const uint8_t* p = page.At(x, y);
        sum += p[0] + p[1] + p[2];
        triangles++;
    }
    return triangles ? sum / triangles : 0;
}

class LightingTool : public testing::Test {
protected:
    void SetUp() override { dir = TestSupport::MakeTempDirectory(); }

    TestSupport::ProcessResult Run(std::vector<std::string> options, const std::string& obj = Room())
    {
        std::vector<std::string> args = {KETRA_BINARY, "-f"};
        args.insert(args.end(), options.begin(), options.end());
        args.push_back(obj);
        args.push_back("out.txt");
        return TestSupport::RunProcess(args, dir);
    }

    std::vector<Image> Pages(const std::vector<Corner>& corners)
    {
        int last = 0;
        for (const Corner& c : corners)
            last = std::max(last, c.page);
        std::vector<Image> pages(size_t(last) + 1);
        for (int page = 0; page <= last; page++)
            EXPECT_TRUE(Decode(dir + "/Ketra_lightmap_" + std::to_string(page) + ".png", pages[size_t(page)]));
        return pages;
    }

    static std::string Room() { return std::string(KETRA_SOURCE_DIR) + "/examples/room.obj"; }
    static std::string RoomLights() { return std::string(KETRA_SOURCE_DIR) + "/examples/room_lights.txt"; }

    std::string dir;
};

}  // namespace

TEST_F(LightingTool, ExampleLightFileLightsTheRoom)
{
    TestSupport::ProcessResult r = Run({"-d", "0", "-s", "32", "-L", RoomLights()});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.err, "");
    for (const char* title : {"\nPre-raytracing\n", "\nIndirect bounce 1/4\n", "\nIndirect bounce 3/4\n",
                              "\nRaytracing\n", "\nBuilding atlas\n"})
        EXPECT_NE(r.out.find(title), std::string::npos) << title;
    EXPECT_EQ(r.out.find("Indirect bounce 4/4"), std::string::npos) << "32 samples: 32, 8 and 2 rays, then none";
    EXPECT_EQ(r.out.find("Ambient occlusion"), std::string::npos);

    const std::vector<Corner> corners = ReadCorners(TestSupport::ReadFile(dir + "/out.txt"));
    const std::vector<Image> pages = Pages(corners);
    size_t lit = 0, covered = 0;
    for (const Image& page : pages) {
        for (size_t i = 0; i < page.rgba.size(); i += 4) {
            lit += page.rgba[i] + page.rgba[i + 1] + page.rgba[i + 2] > 30;
            covered++;
        }
    }
    EXPECT_GT(lit, covered / 10) << "the pages are lit";
    // The large crate's east face looks at the lamp; its west face sees only what the room
    // passes on.
    const float east[3] = {1, 0, 0}, west[3] = {-1, 0, 0};
    int eastTriangles, westTriangles;
    const double lightSide = MeanBrightness(corners, pages, "crate_large", east, eastTriangles);
    const double shadowSide = MeanBrightness(corners, pages, "crate_large", west, westTriangles);
    EXPECT_EQ(eastTriangles, 2);
    EXPECT_EQ(westTriangles, 2);
    EXPECT_GT(lightSide, shadowSide + 30) << "lit " << lightSide << ", shadow " << shadowSide;
    EXPECT_GT(shadowSide, 0) << "the bounce reaches the shadow side";
    std::printf("crate_large brightness (r+g+b): lit side %.1f, shadow side %.1f\n", lightSide, shadowSide);
}

TEST_F(LightingTool, LightingModeWithoutLightsWritesBlackPages)
{
    TestSupport::ProcessResult r = Run({"-d", "0", "-s", "16"});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_NE(r.out.find("\nPre-raytracing\n"), std::string::npos);
    EXPECT_NE(r.out.find("\nRaytracing\n"), std::string::npos);
    EXPECT_EQ(r.out.find("Ambient occlusion"), std::string::npos);
    const std::vector<Corner> corners = ReadCorners(TestSupport::ReadFile(dir + "/out.txt"));
    ASSERT_FALSE(corners.empty());
    for (const Corner& c : corners)
        EXPECT_EQ(c.object, "") << "no light file names any object";
    size_t black = 0;
    for (const Image& page : Pages(corners)) {
        for (size_t i = 0; i < page.rgba.size(); i += 4) {
            // Black wherever charts are; the page's fill colour elsewhere.
            const uint32_t rgb = uint32_t(page.rgba[i]) << 16 | uint32_t(page.rgba[i + 1]) << 8 | page.rgba[i + 2];
            ASSERT_TRUE(rgb == 0 || rgb == 0xFF0000) << std::hex << rgb;
            black += rgb == 0;
        }
    }
    EXPECT_GT(black, 1000u);
}

TEST_F(LightingTool, LightFileErrorsEndTheRunWithTheirCodes)
{
    const struct {
        const char* text;  // nullptr: no such file
        int exitCode;
        std::string message;
    } cases[] = {
        {nullptr, 2, "failed to open LIGHTS!\n"},
        {"light pointy position 1 2 3", 4, "invalid key name at line 1 col 7 (LIGHTS)\n"},
        {"light point position 1 2 3 colour 1 1 1 range 5\nlight point 7", 4,
         "unexpected token at line 2 col 13 (LIGHTS)\n"},
        {"light spot position 0 0 0 direction 0 0 0 colour 1 1 1 range 5 cone 1 2", 4,
         "invalid value at line 1 col 37 (LIGHTS)\n"},
    };
    for (const auto& c : cases) {
        const std::string path = dir + "/lights.txt";
        std::remove(path.c_str());
        if (c.text)
            TestSupport::WriteFile(path, c.text);
        TestSupport::ProcessResult r = Run({"-d", "0", "-L", path});
        std::string message = c.message;
        message.replace(message.find("LIGHTS"), 6, path);
        EXPECT_EQ(r.exitCode, c.exitCode) << message;
        EXPECT_EQ(r.err, message);
        EXPECT_EQ(r.out.find("Loading obj"), std::string::npos) << "the run ends before the mesh is read";
        EXPECT_EQ(TestSupport::ReadFile(dir + "/out.txt"), "") << "nothing written";
    }
}

TEST_F(LightingTool, AmbientOcclusionModeChecksTheLightFileAndIgnoresIt)
{
    TestSupport::ProcessResult plain = Run({"-s", "16"});
    ASSERT_EQ(plain.exitCode, 0) << plain.err;
    const std::string mesh = TestSupport::ReadFile(dir + "/out.txt");
    const std::string page = TestSupport::ReadFile(dir + "/Ketra_lightmap_0.png");

    TestSupport::ProcessResult lit = Run({"-s", "16", "-L", RoomLights()});
    ASSERT_EQ(lit.exitCode, 0) << lit.err;
    const std::string line = "lights of " + RoomLights() + " ignored: they only light a bake with -d 0 or less\n";
    EXPECT_EQ(lit.out.find(line), lit.out.rfind(line));
    EXPECT_NE(lit.out.find(line), std::string::npos) << lit.out;
    EXPECT_EQ(TestSupport::ReadFile(dir + "/out.txt"), mesh);
    EXPECT_EQ(TestSupport::ReadFile(dir + "/Ketra_lightmap_0.png"), page);

    // Checked all the same: a broken file fails the run.
    TestSupport::WriteFile(dir + "/bad.txt", "light point");
    TestSupport::ProcessResult bad = Run({"-s", "16", "-L", dir + "/bad.txt"});
    EXPECT_EQ(bad.exitCode, 4);
}
