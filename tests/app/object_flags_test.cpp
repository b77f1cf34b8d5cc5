// The object flags file (-x) through the whole tool: its grammar, messages and exit codes, and
// what the flags do to a bake.
#include <gtest/gtest.h>
#include <png.h>
#include <sys/stat.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <sstream>
#include <string>
#include <vector>

#include "core/stream.h"
#include "image/bitmap/bitmap.h"
#include "image/png/png_write.h"
#include "run_process_fixture.h"

namespace {

using TestSupport::ProcessResult;

// One triangle with an object name, another with only a group name, a third of an object the
// flags files below never list.
constexpr const char* namedObj =
    "v 0 0 0\nv 1 0 0\nv 0 0 1\nv 3 0 0\nv 4 0 0\nv 3 0 1\nv 6 0 0\nv 7 0 0\nv 6 0 1\n"
    "o box\ng wall\nf 1 3 2\n"
    "o\ng floor\nf 4 6 5\n"
    "o other\nf 7 9 8\n";

// A 2 x 2 floor and, 0.5 above it, a roof of the same size with texture coordinates over 0..1.
constexpr const char* roofObj =
    "o floor\nv -1 0 -1\nv 1 0 -1\nv 1 0 1\nv -1 0 1\n"
    "vt 0 0\nvt 1 0\nvt 1 1\nvt 0 1\n"
    "f 1/1 4/4 3/3 2/2\n"
    "o roof\nv -1 0.5 -1\nv 1 0.5 -1\nv 1 0.5 1\nv -1 0.5 1\n"
    "f 5/1 6/2 7/3 8/4\n";

struct MeshLine {
    float position[3];
    float lmU, lmV;
    std::string name;
};

std::vector<MeshLine> ReadMesh(const std::string& text)
{
    std::vector<MeshLine> lines;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream fields(line);
        MeshLine m;
        float skip;
        int page, group;
        fields >> m.position[0] >> m.position[1] >> m.position[2];
        for (int i = 0; i < 5; i++)
            fields >> skip;
        fields >> m.lmU >> m.lmV >> page >> group;
        EXPECT_TRUE(fields) << line;
        fields >> m.name;  // absent for unlisted objects
        lines.push_back(m);
    }
    return lines;
}

std::string WritePng(const std::string& path, uint8_t alpha)
{
    Image::Bitmap map(4, 4);
    map.Fill(200, 100, 50, alpha);
    std::FILE* file = std::fopen(path.c_str(), "wb");
    EXPECT_NE(file, nullptr) << path;
    Core::FileOutputStream stream(file);
    EXPECT_TRUE(Image::PngWrite(Image::PngWriter{}, stream, map));
    std::fclose(file);
    return path;
}

class ObjectFlagsFile : public testing::Test {
protected:
    void SetUp() override { dir = TestSupport::MakeTempDirectory(); }

    std::string Path(const std::string& name) const { return dir + "/" + name; }

    ProcessResult Run(std::vector<std::string> args)
    {
        args.insert(args.begin(), KETRA_BINARY);
        return TestSupport::RunProcess(args, dir);
    }

    // Bakes `obj` with the flags text; the table printout is what stands between the banner and
    // "Loading obj...".
    ProcessResult BakeWithFlags(const std::string& flags, const std::string& obj, std::vector<std::string> extra = {})
    {
        TestSupport::WriteFile(Path("flags.txt"), flags);
        TestSupport::WriteFile(Path("scene.obj"), obj);
        std::vector<std::string> args = {"-f", "-s", "16"};
        args.insert(args.end(), extra.begin(), extra.end());
        args.insert(args.end(), {"-x", "flags.txt", "scene.obj", "out.txt"});
        return Run(args);
    }

    static std::string TablePart(const std::string& out)
    {
        size_t banner = out.find('\n');
        size_t loading = out.find("Loading obj...\n");
        if (banner == std::string::npos || loading == std::string::npos)
            return "(no \"Loading obj...\")";
        return out.substr(banner + 1, loading - banner - 1);
    }

    // Red bytes of the floor's texels (the floor is the chart whose corners lie at height 0).
    std::vector<int> FloorTexels()
    {
        std::vector<int> values;
        png_image png{};
        png.version = PNG_IMAGE_VERSION;
        if (!png_image_begin_read_from_file(&png, Path("Ketra_lightmap_0.png").c_str())) {
            ADD_FAILURE() << "no page image";
            return values;
        }
        png.format = PNG_FORMAT_RGBA;
        std::vector<uint8_t> rgba(PNG_IMAGE_SIZE(png));
        if (!png_image_finish_read(&png, nullptr, rgba.data(), 0, nullptr)) {
            ADD_FAILURE() << "page image unreadable";
            return values;
        }
        int width = int(png.width), height = int(png.height);
        float minU = 1, maxU = 0, minV = 1, maxV = 0;
        for (const MeshLine& m : ReadMesh(TestSupport::ReadFile(Path("out.txt")))) {
            if (m.position[2] != 0)
                continue;
            minU = std::min(minU, m.lmU), maxU = std::max(maxU, m.lmU);
            minV = std::min(minV, m.lmV), maxV = std::max(maxV, m.lmV);
        }
        // Corners sit on texel centres.
        int x0 = int(std::lround(minU * float(width) - 0.5f)), x1 = int(std::lround(maxU * float(width) - 0.5f));
        int y0 = int(std::lround(minV * float(height) - 0.5f)), y1 = int(std::lround(maxV * float(height) - 0.5f));
        for (int y = y0; y <= y1; y++) {
            for (int x = x0; x <= x1; x++)
                values.push_back(rgba[(size_t(y) * size_t(width) + size_t(x)) * 4]);
        }
        return values;
    }

    std::string dir;
};

TEST_F(ObjectFlagsFile, GrammarAndTable)
{
    const std::string tri = "v 0 0 0\nv 1 0 0\nv 0 0 1\nf 1 3 2\n";
    const struct {
        const char* flags;
        const char* table;
    } cases[] = {
        {"", ""},
        {" \n\t\r\n ", ""},
        {"floor", "object flags:\nfloor 00000001 modelid:-1 alphamap:\n"},
        {"wall 0x40 & model 3", "object flags:\nwall 00000040 modelid:3 alphamap:\n"},
        // Bases, comments, entries across and along lines.
        {"a 0b101 b\n017 & model\n0x10 // c 3\n/* d 4\n */ c _e9 9",
         "object flags:\na 00000005 modelid:-1 alphamap:\nb 0000000f modelid:16 alphamap:\n"
         "c 00000001 modelid:-1 alphamap:\n_e9 00000009 modelid:-1 alphamap:\n"},
        // Only the low 32 bits of a flag word count; a model id wraps to a signed value.
        {"big 0x1FFFFFF07 & model 0xFFFFFFFF", "object flags:\nbig ffffff07 modelid:-1 alphamap:\n"},
        // A name listed again takes all the new values, defaults included, and keeps its place.
        {"crate 8 & model 2 wall crate", "object flags:\ncrate 00000001 modelid:-1 alphamap:\nwall 00000001 modelid:-1 alphamap:\n"},
        {"Floor & model 1 & model 2", "object flags:\nFloor 00000001 modelid:2 alphamap:\n"},
    };
    for (const auto& c : cases) {
        ProcessResult r = BakeWithFlags(c.flags, tri);
        EXPECT_EQ(r.exitCode, 0) << c.flags << "\n" << r.err;
        EXPECT_EQ(r.err, "") << c.flags;
        EXPECT_EQ(TablePart(r.out), c.table) << c.flags;
    }
}

TEST_F(ObjectFlagsFile, ErrorsStopTheRunWithTheirMessagesAndCodes)
{
    TestSupport::WriteFile(Path("notpng.png"), "not a picture at all");
    mkdir(Path("adir").c_str(), 0755);
    const struct {
        const char* flags;  // null: the -x argument below names something that is no text file
        const char* flagsPath;
        int exitCode;
        const char* err;
        const char* out;  // between the banner and the peak-memory line
    } cases[] = {
        {"wall & Model 3", nullptr, 4, "invalid key name at line 1 col 8 (flags.txt)\n", ""},
        {"wall & model \"3\"", nullptr, 4, "unexpected token at line 1 col 14 (flags.txt)\n", ""},
        {"wall & alphamap wall.png", nullptr, 4, "unexpected token at line 1 col 17 (flags.txt)\n", ""},
        {"wall\n  & 3", nullptr, 4, "unexpected token at line 2 col 5 (flags.txt)\n", ""},
        {"# comment", nullptr, 4, "unexpected token at line 1 col 1 (flags.txt)\n", ""},
        {"floor\n\n 3 wall", nullptr, 0, "", nullptr},  // 3 is the flag word of floor
        {"3 floor", nullptr, 4, "unexpected token at line 1 col 1 (flags.txt)\n", ""},
        {"floor\n  -1", nullptr, 4, "unexpected token at line 2 col 3 (flags.txt)\n", ""},
        {"if 1", nullptr, 4, "unexpected token at line 1 col 1 (flags.txt)\n", ""},
        {"a \"b\"", nullptr, 4, "unexpected token at line 1 col 3 (flags.txt)\n", ""},
        {"roof & alphamap \"missing.png\"", nullptr, 5, "failed to open trace bitmap missing.png\n",
         "loading alphamap missing.png\n"},
        {"roof & alphamap \"notpng.png\"", nullptr, 5, "failed to read trace bitmap notpng.png\n",
         "loading alphamap notpng.png\n"},
        {nullptr, "nosuch.txt", 2, "failed to open nosuch.txt!\n", ""},
        {nullptr, "adir", 3, "failed to parse adir\n", ""},
    };
    for (const auto& c : cases) {
        std::string row = c.flags ? c.flags : c.flagsPath;
        ProcessResult r;
        if (c.flags) {
            r = BakeWithFlags(c.flags, roofObj);
        } else {
            TestSupport::WriteFile(Path("scene.obj"), roofObj);
            r = Run({"-f", "-x", c.flagsPath, "scene.obj", "out.txt"});
        }
        EXPECT_EQ(r.exitCode, c.exitCode) << row;
        EXPECT_EQ(r.err, c.err) << row;
        if (c.out) {
            size_t banner = r.out.find('\n') + 1;
            EXPECT_EQ(r.out.substr(banner, r.out.find("Peak memory usage") - banner), c.out) << row;
            struct stat info;
            EXPECT_NE(stat(Path("out.txt").c_str(), &info), 0) << row << ": no output may be left behind";
        }
        std::remove(Path("out.txt").c_str());
    }
}

TEST_F(ObjectFlagsFile, TrianglesTakeTheNamesOfListedObjectsOrGroups)
{
    // box is named by its object (its group wall is not looked at), floor by its group.
    ProcessResult r = BakeWithFlags("box wall floor 0x10", namedObj);
    ASSERT_EQ(r.exitCode, 0) << r.err;
    std::vector<std::string> names;
    for (const MeshLine& m : ReadMesh(TestSupport::ReadFile(Path("out.txt"))))
        names.push_back(m.name);
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"", "", "", "box", "box", "box", "floor", "floor", "floor"}));
}

TEST_F(ObjectFlagsFile, FlagsChangeTheBake)
{
    WritePng(Path("clear.png"), 0);
    WritePng(Path("opaque.png"), 255);
    const struct {
        const char* flags;
        bool floorOpen;  // every floor texel exactly white
    } cases[] = {
        {"", false},                                    // the roof shades the floor
        {"roof", true},                                 // 0x01: casts no occlusion
        {"roof 0x10", true},                            // 0x10: skipped by the occlusion rays too
        {"roof 0x02 & alphamap \"clear.png\"", true},   // alpha-tested, and the map lets rays through
        {"roof 0x02 & alphamap \"opaque.png\"", false},
        {"roof 0 & alphamap \"clear.png\"", false},     // a map without 0x02 is not tested
        {"floor 0x04", true},                           // 0x04: untraced, fully open
        {"roof 2 & alphamap \"clear.png\" roof 2", false},  // listed again without its map: opaque
    };
    for (const auto& c : cases) {
        ProcessResult r = BakeWithFlags(c.flags, roofObj, {"-s", "64"});
        ASSERT_EQ(r.exitCode, 0) << c.flags << "\n" << r.err;
        std::vector<int> floor = FloorTexels();
        ASSERT_EQ(floor.size(), 9u * 9u) << c.flags;  // 2 units at 0.25 a texel: 9 centres a side
        int darkest = *std::min_element(floor.begin(), floor.end());
        if (c.floorOpen)
            EXPECT_EQ(darkest, 255) << c.flags;
        else
            EXPECT_LT(darkest, 160) << c.flags;
    }
}

}  // namespace
