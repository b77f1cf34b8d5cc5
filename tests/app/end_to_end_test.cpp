// The whole tool on real scenes: the PNG pages decode (with libpng, the reference decoder),
// have the sizes the atlas stage chose, and the mesh file's pages name existing images.
#include <gtest/gtest.h>
#include <png.h>

#include <cmath>
#include <cstdio>
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

struct Corner {
    float lmU, lmV;
    int page;
};

std::vector<Corner> ReadCorners(const std::string& mesh)
{
    std::vector<Corner> corners;
    std::istringstream lines(mesh);
    std::string line;
    while (std::getline(lines, line)) {
        std::istringstream fields(line);
        float skip;
        Corner c;
        for (int i = 0; i < 8; i++)
            fields >> skip;
        int group;
        fields >> c.lmU >> c.lmV >> c.page >> group;
        EXPECT_TRUE(fields) << line;
        corners.push_back(c);
    }
    return corners;
}

bool IsPowerOfTwo(int x) { return x > 0 && (x & (x - 1)) == 0; }

class EndToEnd : public testing::Test {
protected:
    void SetUp() override { dir = TestSupport::MakeTempDirectory(); }

    // Bakes `obj` in the test's directory; returns the corners of the mesh file.
    std::vector<Corner> Bake(const std::string& obj, std::vector<std::string> options = {})
    {
        std::vector<std::string> args = {KETRA_BINARY, "-f"};
        args.insert(args.end(), options.begin(), options.end());
        args.push_back(obj);
        args.push_back("out.txt");
        TestSupport::ProcessResult r = TestSupport::RunProcess(args, dir);
        EXPECT_EQ(r.exitCode, 0) << r.err;
        EXPECT_EQ(r.err, "");
        return ReadCorners(TestSupport::ReadFile(dir + "/out.txt"));
    }

    // The bytes of the last bake's pages, in one string.
    std::string Pages(int pages) const
    {
        std::string all;
        for (int page = 0; page < pages; page++)
            all += TestSupport::ReadFile(dir + "/Ketra_lightmap_" + std::to_string(page) + ".png");
        return all;
    }

    std::string dir;
};

TEST_F(EndToEnd, ExampleSceneGivesDecodablePowerOfTwoPagesNamedByTheMesh)
{
    // Few rays: the test is about the files, not the shading.
    std::vector<Corner> corners = Bake(std::string(KETRA_SOURCE_DIR) + "/examples/room.obj", {"-s", "16"});
    ASSERT_FALSE(corners.empty());
    int maxPage = 0;
    for (const Corner& c : corners) {
        EXPECT_GE(c.page, 0);
        EXPECT_GT(c.lmU, 0);
        EXPECT_LT(c.lmU, 1);
        EXPECT_GT(c.lmV, 0);
        EXPECT_LT(c.lmV, 1);
        maxPage = std::max(maxPage, c.page);
    }
    for (int page = 0; page <= maxPage; page++) {
        Image image;
        std::string name = dir + "/Ketra_lightmap_" + std::to_string(page) + ".png";
        ASSERT_TRUE(Decode(name, image)) << name;
        EXPECT_TRUE(IsPowerOfTwo(image.width)) << image.width;
        EXPECT_TRUE(IsPowerOfTwo(image.height)) << image.height;
        for (size_t i = 3; i < image.rgba.size(); i += 4)
            ASSERT_EQ(image.rgba[i], 255) << "pages are written opaque";
    }
    FILE* extra = std::fopen((dir + "/Ketra_lightmap_" + std::to_string(maxPage + 1) + ".png").c_str(), "rb");
    EXPECT_EQ(extra, nullptr) << "no page beyond the last one the mesh names";
    if (extra)
        std::fclose(extra);
}

TEST_F(EndToEnd, LonePlaneIsWhiteWhereverItIsCovered)
{
    std::string obj = dir + "/plane.obj";
    TestSupport::WriteFile(obj, "v -2 0 -2\nv 2 0 -2\nv 2 0 2\nv -2 0 2\nf 1 4 3 2\n");
    std::vector<Corner> corners = Bake(obj, {"-s", "64"});
    ASSERT_EQ(corners.size(), 6u);
    Image image;
    ASSERT_TRUE(Decode(dir + "/Ketra_lightmap_0.png", image));
    for (const Corner& c : corners) {
        ASSERT_EQ(c.page, 0);
        // Corners lie on texel centres: u = (i + 0.5) / width.
        float x = c.lmU * float(image.width) - 0.5f, y = c.lmV * float(image.height) - 0.5f;
        int ix = int(std::lround(x)), iy = int(std::lround(y));
        EXPECT_NEAR(x, float(ix), 1e-3);
        EXPECT_NEAR(y, float(iy), 1e-3);
        const uint8_t* p = image.At(ix, iy);
        EXPECT_EQ(p[0], 255);
        EXPECT_EQ(p[1], 255);
        EXPECT_EQ(p[2], 255);
    }
    // The chart's texels between its corners are white too.
    float minU = 1, maxU = 0, minV = 1, maxV = 0;
    for (const Corner& c : corners) {
        minU = std::min(minU, c.lmU), maxU = std::max(maxU, c.lmU);
        minV = std::min(minV, c.lmV), maxV = std::max(maxV, c.lmV);
    }
    int whiteTexels = 0;
    for (int y = int(std::lround(minV * float(image.height) - 0.5f)); y <= int(std::lround(maxV * float(image.height) - 0.5f)); y++) {
        for (int x = int(std::lround(minU * float(image.width) - 0.5f)); x <= int(std::lround(maxU * float(image.width) - 0.5f)); x++) {
            const uint8_t* p = image.At(x, y);
            EXPECT_TRUE(p[0] == 255 && p[1] == 255 && p[2] == 255) << x << "," << y;
            whiteTexels++;
        }
    }
    EXPECT_EQ(whiteTexels, 17 * 17);  // 4 units at 0.25 per texel: 17 texel centres a side
}

TEST_F(EndToEnd, SeamFixingChangesOnlyThePagesInBothModes)
{
    const std::string room = std::string(KETRA_SOURCE_DIR) + "/examples/room.obj";
    const std::string lights = std::string(KETRA_SOURCE_DIR) + "/examples/room_lights.txt";
    const std::vector<std::string> modes[] = {{"-s", "16"}, {"-s", "16", "-d", "0", "-L", lights}};
    for (const std::vector<std::string>& mode : modes) {
        const std::vector<Corner> plainCorners = Bake(room, mode);
        ASSERT_FALSE(plainCorners.empty());
        int pages = 0;
        for (const Corner& c : plainCorners)
            pages = std::max(pages, c.page + 1);
        const std::string plainPages = Pages(pages);
        const std::string plainMesh = TestSupport::ReadFile(dir + "/out.txt");

        std::vector<std::string> withSeams = mode;
        withSeams.push_back("-S");
        Bake(room, withSeams);
        // Charts and their places do not depend on seam fixing; only texel colours do.
        EXPECT_EQ(TestSupport::ReadFile(dir + "/out.txt"), plainMesh) << mode.size();
        EXPECT_NE(Pages(pages), plainPages) << mode.size();
    }
}

}  // namespace
