// The two ways to a .glb, run as a user runs them: the tool with an output name ending in .glb,
// and ketra-gltf on a mesh file and its pages, with its exit codes and messages for every kind
// of bad input.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "core/stream.h"
#include "glb_fixture.h"
#include "image/bitmap/bitmap.h"
#include "image/png/png_write.h"
#include "run_process_fixture.h"

namespace {

namespace fs = std::filesystem;
using TestSupport::Glb;

std::vector<uint8_t> Bytes(const std::string& path)
{
    const std::string text = TestSupport::ReadFile(path);
    return std::vector<uint8_t>(text.begin(), text.end());
}

Glb ReadGlb(const std::string& path)
{
    Glb glb = TestSupport::ParseGlb(Bytes(path));
    EXPECT_EQ(glb.problem, "") << path;
    return glb;
}

const std::string roomObj = std::string(KETRA_SOURCE_DIR) + "/examples/room.obj";

struct Drawn {
    std::vector<float> positions, lightmapUvs;  // per corner, in index order
    std::vector<std::vector<uint8_t>> images;   // per primitive
};

// Every primitive's corners through its indices, and its occlusion image.
Drawn ReadDrawn(const Glb& glb)
{
    Drawn drawn;
    const TestSupport::Json& primitives = glb.json["meshes"][0]["primitives"];
    for (size_t i = 0; i < primitives.Size(); i++) {
        const TestSupport::Json& p = primitives[i];
        std::string problem;
        std::vector<float> positions = TestSupport::AccessorFloats(glb, p["attributes"]["POSITION"].Int(), problem);
        std::vector<float> lightmapUvs = TestSupport::AccessorFloats(glb, p["attributes"]["TEXCOORD_1"].Int(), problem);
        for (uint32_t index : TestSupport::AccessorIndices(glb, p["indices"].Int(), problem)) {
            for (uint32_t c = 0; c < 3; c++)
                drawn.positions.push_back(positions.at(index * 3 + c));
            for (uint32_t c = 0; c < 2; c++)
                drawn.lightmapUvs.push_back(lightmapUvs.at(index * 2 + c));
        }
        const TestSupport::Json& material = glb.json["materials"][size_t(p["material"].Int())];
        const TestSupport::Json& texture = glb.json["textures"][size_t(material["occlusionTexture"]["index"].Int())];
        drawn.images.push_back(
            TestSupport::ViewBytes(glb, glb.json["images"][size_t(texture["source"].Int())]["bufferView"].Int(), problem));
        EXPECT_EQ(problem, "") << "primitive " << i;
    }
    return drawn;
}

std::vector<std::string> PageFiles(const std::string& dir)
{
    std::vector<std::string> names;
    for (const fs::directory_entry& entry : fs::directory_iterator(dir)) {
        const std::string name = entry.path().filename().string();
        if (name.rfind("Ketra_lightmap_", 0) == 0)
            names.push_back(name);
    }
    std::sort(names.begin(), names.end());
    return names;
}

TEST(GlbOutput, TheToolWritesAGlbInPlaceOfTheMeshFileAndAConversionMatchesIt)
{
    const std::string direct = TestSupport::MakeTempDirectory(), text = TestSupport::MakeTempDirectory();
    TestSupport::ProcessResult r = TestSupport::RunProcess({KETRA_BINARY, "-f", roomObj, "ROOM.GLB"}, direct);
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.err, "");
    // The pages are written first: the .glb embeds them as they lie on disk.
    EXPECT_LT(r.out.find("Saving lightmaps:"), r.out.find("Saving mesh:")) << r.out;
    const std::vector<std::string> pages = PageFiles(direct);
    ASSERT_FALSE(pages.empty());
    size_t files = 0;
    for ([[maybe_unused]] const auto& entry : fs::directory_iterator(direct))
        files++;
    EXPECT_EQ(files, pages.size() + 1) << "the .glb and the pages, and no mesh text file";

    Drawn fromBake = ReadDrawn(ReadGlb(direct + "/ROOM.GLB"));
    ASSERT_EQ(fromBake.images.size(), pages.size());
    for (size_t i = 0; i < pages.size(); i++)
        EXPECT_EQ(fromBake.images[i], Bytes(direct + "/" + pages[i])) << pages[i];

    r = TestSupport::RunProcess({KETRA_BINARY, "-f", roomObj, "room.txt"}, text);
    ASSERT_EQ(r.exitCode, 0) << r.err;
    const std::string mesh = TestSupport::ReadFile(text + "/room.txt");
    EXPECT_EQ(fromBake.positions.size(), size_t(std::count(mesh.begin(), mesh.end(), '\n')) * 3)
        << "every triangle of the mesh file is in the .glb";

    r = TestSupport::RunProcess({KETRA_GLTF_TOOL, "room.txt", "converted.glb"}, text);
    ASSERT_EQ(r.exitCode, 0) << r.err;
    Drawn converted = ReadDrawn(ReadGlb(text + "/converted.glb"));
    EXPECT_EQ(converted.images, fromBake.images);
    ASSERT_EQ(converted.positions.size(), fromBake.positions.size());
    ASSERT_EQ(converted.lightmapUvs.size(), fromBake.lightmapUvs.size());
    // The mesh file keeps six decimals.
    for (size_t i = 0; i < converted.positions.size(); i++)
        ASSERT_NEAR(converted.positions[i], fromBake.positions[i], 1e-6f) << "component " << i;
    for (size_t i = 0; i < converted.lightmapUvs.size(); i++)
        ASSERT_NEAR(converted.lightmapUvs[i], fromBake.lightmapUvs[i], 1e-6f) << "component " << i;
}

std::string SmallPng()
{
    Image::Bitmap bitmap(4, 4);
    bitmap.FillPixel(0xFF808080u);
    Core::MemoryOutputStream out;
    EXPECT_TRUE(Image::PngWrite(Image::PngWriter{}, out, bitmap));
    return std::string(out.bytes.begin(), out.bytes.end());
}

std::string Triangle(int page)
{
    std::string lines;
    const char* positions[3] = {"0 0 0", "1 0 0", "0 1 0"};
    for (const char* p : positions)
        lines += std::string(p) + "  0 0 1  0 0  0.5 0.5  " + std::to_string(page) + "  0  \n";
    return lines;
}

TEST(GltfTool, ExitCodesAndMessagesForEveryKindOfBadInput)
{
    const std::string dir = TestSupport::MakeTempDirectory();
    const std::string png = SmallPng();
    TestSupport::WriteFile(dir + "/good.txt", Triangle(0) + Triangle(0));
    TestSupport::WriteFile(dir + "/Ketra_lightmap_0.png", png);
    TestSupport::WriteFile(dir + "/bad.txt", Triangle(0) + "0 0 0 oops\n");
    TestSupport::WriteFile(dir + "/two_pages.txt", Triangle(0) + Triangle(1));
    fs::create_directories(dir + "/pages");
    TestSupport::WriteFile(dir + "/pages/Ketra_lightmap_0.png", png);
    fs::create_directories(dir + "/cut");
    TestSupport::WriteFile(dir + "/cut/Ketra_lightmap_0.png", png.substr(0, png.size() - 5));
    fs::create_directories(dir + "/elsewhere");
    TestSupport::WriteFile(dir + "/elsewhere/mesh.txt", Triangle(0));

    const struct {
        std::vector<std::string> args;
        int exitCode;
        const char* message;  // in standard error, or standard output for help
    } cases[] = {
        {{}, 1, "usage: ketra-gltf"},
        {{"good.txt"}, 1, "expected a mesh file and an output file"},
        {{"good.txt", "out.txt"}, 1, "must end in .glb"},
        {{"good.txt", "out.glb", "--pages"}, 1, "--pages needs a folder"},
        {{"good.txt", "out.glb", "--bogus"}, 1, "unknown option --bogus"},
        {{"absent.txt", "out.glb"}, 2, "cannot open absent.txt"},
        {{"bad.txt", "out.glb"}, 3, "bad.txt line 4:"},
        {{"two_pages.txt", "out.glb"}, 2, "Ketra_lightmap_1.png"},
        {{"elsewhere/mesh.txt", "out.glb"}, 2, "elsewhere/Ketra_lightmap_0.png"},
        {{"good.txt", "out.glb", "--pages", "cut"}, 3, "cut/Ketra_lightmap_0.png is not a valid PNG"},
        {{"good.txt", "missing/out.glb"}, 6, "failed to write missing/out.glb"},
        {{"-h"}, 0, "usage: ketra-gltf"},
        {{"good.txt", "out.glb"}, 0, "wrote out.glb: 2 triangles, 1 lightmap pages"},
        {{"elsewhere/mesh.txt", "out.glb", "--pages", "pages"}, 0, "wrote out.glb: 1 triangles"},
    };
    for (const auto& c : cases) {
        fs::remove(dir + "/out.glb");
        std::vector<std::string> args = {KETRA_GLTF_TOOL};
        args.insert(args.end(), c.args.begin(), c.args.end());
        TestSupport::ProcessResult r = TestSupport::RunProcess(args, dir);
        std::string described;
        for (const std::string& a : c.args)
            described += a + " ";
        EXPECT_EQ(r.exitCode, c.exitCode) << described << "\n" << r.err;
        const std::string& shown = c.exitCode == 0 ? r.out : r.err;
        EXPECT_NE(shown.find(c.message), std::string::npos) << described << "\n" << shown;
        const bool wroteGlb = fs::exists(dir + "/out.glb");
        EXPECT_EQ(wroteGlb, c.exitCode == 0 && c.args.size() > 1) << described;
        if (wroteGlb)
            ReadGlb(dir + "/out.glb");
    }
}

}  // namespace
