// The tool driven as a user drives it: the real executable, standard output and standard
// error captured separately, exit codes checked.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cctype>
#include <cstdio>
#include <string>
#include <vector>

#include "run_process_fixture.h"

namespace {

using TestSupport::ProcessResult;

const char* const banner = "Ketra v1.9.3, ambient-occlusion lightmap baker\n";

std::string UsageText()
{
    return "usage: Ketra [args] <infile.obj> <outfile>\n"
           "args:\n"
           "       -h, -? help\n"
           "       -f force to overwrite existing files\n"
           "       -i n scale input file by n (default = 1.0)\n"
           "       -a n Atlas texture size (default = 2048)\n"
           "       -t n Lightmap texel size (default = 0.25)\n"
           "       -p n AO power/gamma (final ao^n, default=1.0)\n"
           "       -d n AO sampling distance (default = 3.0)\n"
           "       -s n number of AO samples (default = 256)\n"
           "       -u enable supersampling (deprecated, always off)\n"
           "       -b disable final blur (default = on)\n"
           "       -k n override blur kernel size (0=auto, default = 0)\n"
           "       -g n vertex normal smoothing angle in deg (default = 40.0)\n"
           "       -2 force POT atlas packing (default: off)\n"
           "       -n force to rebuild vtx normals (default=auto)\n"
           "       -N allow NPOT lightmaps (default: off)\n"
           "       -x filename load object flags\n"
           "       -S fix lightmap seams (default = off, faster)\n"
           "       -l keep large groups but reduce quality (old behaviour, default: off)\n"
           "       -O don't optimize atlas (for preview build, default: off)\n"
           "       -L filename load lights\n";
}

// True when text is prefix, then one or more digits, then suffix.
bool IsNumberBetween(const std::string& text, const std::string& prefix, const std::string& suffix)
{
    if (text.size() <= prefix.size() + suffix.size() || text.compare(0, prefix.size(), prefix) != 0 ||
        text.compare(text.size() - suffix.size(), suffix.size(), suffix) != 0)
        return false;
    for (size_t i = prefix.size(); i < text.size() - suffix.size(); i++) {
        if (!std::isdigit(static_cast<unsigned char>(text[i])))
            return false;
    }
    return true;
}

// A mesh line of an object without a name: ten six-decimal numbers and two integers, grouped
// by double spaces, ending in the two spaces before the empty name. Read back and formatted
// again, it must come out the same.
bool IsUnnamedMeshLine(const std::string& line)
{
    float v[10];
    int page, group;
    if (std::sscanf(line.c_str(), "%f %f %f %f %f %f %f %f %f %f %d %d", &v[0], &v[1], &v[2], &v[3], &v[4], &v[5],
                    &v[6], &v[7], &v[8], &v[9], &page, &group) != 12)
        return false;
    char again[512];
    std::snprintf(again, sizeof again, "%0.6f %0.6f %0.6f  %0.6f %0.6f %0.6f  %0.6f %0.6f  %0.6f %0.6f  %d  %d  ",
                  double(v[0]), double(v[1]), double(v[2]), double(v[3]), double(v[4]), double(v[5]), double(v[6]),
                  double(v[7]), double(v[8]), double(v[9]), page, group);
    return line == again;
}

class FrontEnd : public testing::Test {
protected:
    void SetUp() override { dir = TestSupport::MakeTempDirectory(); }

    ProcessResult Run(std::vector<std::string> args, const std::string& input = "")
    {
        args.insert(args.begin(), KETRA_BINARY);
        return TestSupport::RunProcess(args, dir, input);
    }

    // Splits stdout into what comes before the peak-memory line and checks that line ends it.
    std::string BeforePeakLine(const std::string& out)
    {
        size_t at = out.rfind("Peak memory usage: ");
        EXPECT_NE(at, std::string::npos) << out;
        if (at == std::string::npos)
            return out;
        EXPECT_TRUE(IsNumberBetween(out.substr(at), "Peak memory usage: ", " MB\n")) << out.substr(at);
        return out.substr(0, at);
    }

    std::string Path(const std::string& name) const { return dir + "/" + name; }

    std::string dir;
};

TEST_F(FrontEnd, UsageCasesPrintBannerUsageAndPeakMemory)
{
    const struct {
        std::vector<std::string> args;
        int exitCode;
        const char* err;
    } cases[] = {
        {{}, 1, "filename not specified\n"},
        {{"in.obj"}, 1, "output filename not specified\n"},
        {{"a.obj", "b.txt", "c"}, 1, "invalid extra filename: c\n"},
        {{"in.obj", "out.txt", "-a"}, 1, "invalid argument: -a\n"},
        {{"-a", "0", "in.obj", "out.txt"}, 1, "invalid argument: 0\n"},
        {{"-h"}, 0, ""},
        {{"-?", "in.obj"}, 0, ""},
    };
    for (const auto& c : cases) {
        ProcessResult r = Run(c.args);
        std::string row = c.args.empty() ? "(no arguments)" : c.args[0];
        EXPECT_EQ(r.exitCode, c.exitCode) << row;
        EXPECT_EQ(r.err, c.err) << row;
        EXPECT_EQ(BeforePeakLine(r.out), banner + UsageText()) << row;
    }
}

TEST_F(FrontEnd, MissingInputFailsWithCode2)
{
    ProcessResult r = Run({"missing.obj", "out.txt"});
    EXPECT_EQ(r.exitCode, 2);
    EXPECT_EQ(r.err, "failed to open missing.obj!\n");
    EXPECT_EQ(BeforePeakLine(r.out), std::string(banner) + "Loading obj...\n");
    struct stat info;
    EXPECT_NE(stat(Path("out.txt").c_str(), &info), 0) << "no output may be left behind";
}

TEST_F(FrontEnd, ParseErrorNamesTheLineAndFailsWithCode3)
{
    TestSupport::WriteFile(Path("bad.obj"), "v 0 0 0\nv 1 x 0\nv 0 1 0\nf 1 2 3\n");
    ProcessResult r = Run({"bad.obj", "out.txt"});
    EXPECT_EQ(r.exitCode, 3);
    EXPECT_EQ(r.err, "Obj parse error at line 2 (near column 5 in file bad.obj)\nfailed to parse obj bad.obj\n");

    TestSupport::WriteFile(Path("index.obj"), "v 0 0 0\nv 1 0 0\nv 0 1 0\nf 1 2 4\n");
    r = Run({"index.obj", "out.txt"});
    EXPECT_EQ(r.exitCode, 3);
    EXPECT_EQ(r.err, "Invalid vertex index found\nfailed to parse obj index.obj\n");
}

TEST_F(FrontEnd, WritesQuadWithScaledConvertedAxesReversedWindingAndFlippedV)
{
    TestSupport::WriteFile(Path("quad.obj"),
                           "v 1 2 3\nv 3 2 3\nv 3 4 3\nv 1 4 3\n"
                           "vt 0.25 0.75\nvt 1 0.75\nvt 1 1\nvt 0.25 1\n"
                           "vn 0 0 1\n"
                           "f 1/1/1 2/2/1 3/3/1 4/4/1\n");
    ProcessResult r = Run({"-i", "2", "quad.obj", "out.txt"});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.err, "");
    std::string mesh = TestSupport::ReadFile(Path("out.txt"));
    // Six lines: the fan (1, 2, 3), (1, 3, 4) with corners 0 and 2 exchanged; (x, y, z) -> (x, -z, y).
    std::vector<std::string> lines;
    for (size_t start = 0, end; (end = mesh.find('\n', start)) != std::string::npos; start = end + 1)
        lines.push_back(mesh.substr(start, end - start));
    ASSERT_EQ(lines.size(), 6u) << mesh;
    EXPECT_EQ(lines[2].substr(0, lines[2].find("  ")), "2.000000 -6.000000 4.000000");
    EXPECT_EQ(lines[0].substr(0, 27), "6.000000 -6.000000 8.000000");
    EXPECT_NE(lines[2].find("0.000000 -1.000000 0.000000  0.250000 0.250000"), std::string::npos) << lines[2];
    for (const std::string& line : lines)
        EXPECT_TRUE(IsUnnamedMeshLine(line)) << line;
}

TEST_F(FrontEnd, MeshWithoutTrianglesGivesEmptyFile)
{
    TestSupport::WriteFile(Path("empty.obj"), "# nothing but a comment\nv 0 0 0\n");
    ProcessResult r = Run({"empty.obj", "out.txt"});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(TestSupport::ReadFile(Path("out.txt")), "");
    std::string out = BeforePeakLine(r.out);
    EXPECT_EQ(out.substr(0, std::string(banner).size() + 16), std::string(banner) + "Loading obj...\n" + "B");
    EXPECT_NE(out.find("\nDone...\nSaving mesh:\nSaving lightmaps:\n"), std::string::npos) << out;
    size_t took = out.rfind("took ");
    ASSERT_NE(took, std::string::npos) << out;
    std::string tookLine = out.substr(took);
    EXPECT_TRUE(tookLine.size() > 15 && tookLine.compare(tookLine.size() - 6, 6, " secs\n") == 0 &&
                tookLine[tookLine.size() - 13] == '.')
        << tookLine;
}

TEST_F(FrontEnd, OverwriteQuestion)
{
    TestSupport::WriteFile(Path("tri.obj"), "v 0 0 0\nv 1 0 0\nv 0 1 0\nf 1 2 3\n");
    const struct {
        const char* input;
        std::vector<std::string> flags;
        bool replaced;
    } cases[] = {
        {"", {}, false},     // end of input declines
        {"n\n", {}, false},
        {"Y\n", {}, false},  // only a lower-case y accepts
        {"y\n", {}, true},
        {"", {"-f"}, true},  // forced: no question
    };
    for (const auto& c : cases) {
        TestSupport::WriteFile(Path("out.txt"), "keep me");
        std::vector<std::string> args = c.flags;
        args.push_back("tri.obj");
        args.push_back("out.txt");
        ProcessResult r = Run(args, c.input);
        EXPECT_EQ(r.exitCode, 0) << c.input;
        bool asked = r.out.find("output filename (out.txt) already exists, overwrite? (y/n)\n") != std::string::npos;
        EXPECT_EQ(asked, c.flags.empty()) << c.input;
        EXPECT_EQ(r.out.find("aborted\n") != std::string::npos, !c.replaced) << c.input;
        EXPECT_EQ(TestSupport::ReadFile(Path("out.txt")) != "keep me", c.replaced) << c.input;
    }
}

TEST_F(FrontEnd, UnwritableOutputFailsWithCode6)
{
    TestSupport::WriteFile(Path("tri.obj"), "v 0 0 0\nv 1 0 0\nv 0 1 0\nf 1 2 3\n");
    ProcessResult r = Run({"tri.obj", "no/such/folder/out.txt"});
    EXPECT_EQ(r.exitCode, 6);
    EXPECT_EQ(r.err, "failed to write no/such/folder/out.txt\n");

    // A full device: every write fails once the buffer is flushed.
    struct stat info;
    if (stat("/dev/full", &info) == 0) {
        r = Run({"-f", "tri.obj", "/dev/full"});
        EXPECT_EQ(r.exitCode, 6);
        EXPECT_EQ(r.err, "failed to write /dev/full\n");
    }
}

}  // namespace
