// Runs that must stop, and say why: hostile values, names that clash, inputs that are folders or
// missing (the OBJ file, the object flags file, the light file), files the readers cannot use,
// meshes that lose triangles or are left with none, bakes too large for the machine, full disks.
// Each row runs the real executable in a folder of its own that already holds the outputs of an
// earlier run; a refused run must leave them as they were and add nothing, not even a temporary
// file.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <cctype>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "run_process_fixture.h"

namespace {

using TestSupport::ProcessResult;

const char* const earlierMesh = "mesh of an earlier run\n";
const char* const earlierPage = "page of an earlier run";

const char* const triangleObj = "v 0 0 0\nv 1 0 0\nv 0 1 0\nf 1 2 3\n";

// A flat n x n grid of unit quads: 2 n^2 triangles in one chart.
std::string GridObj(int n)
{
    std::ostringstream obj;
    for (int y = 0; y <= n; y++)
        for (int x = 0; x <= n; x++)
            obj << "v " << x << " 0 " << y << "\n";
    for (int y = 0; y < n; y++) {
        for (int x = 0; x < n; x++) {
            int a = y * (n + 1) + x + 1;
            obj << "f " << a << " " << a + 1 << " " << a + n + 2 << " " << a + n + 1 << "\n";
        }
    }
    return obj.str();
}

// `count` triangles of 1000 units, far apart: each is a chart of its own, and at a small texel
// size each grows to a whole 16384 x 16384 page: about 3.5 GB of texels apiece.
std::string FarApartTrianglesObj(int count)
{
    std::ostringstream obj;
    for (int i = 0; i < count; i++) {
        obj << "v " << i * 3000 << " 0 0\nv " << i * 3000 + 1000 << " 0 0\nv " << i * 3000 << " 1000 0\n";
        obj << "f " << 3 * i + 1 << " " << 3 * i + 2 << " " << 3 * i + 3 << "\n";
    }
    return obj.str();
}

// True when `text` is `pattern` with each '#' standing for one or more digits.
bool MatchesWithNumbers(const std::string& text, const std::string& pattern)
{
    size_t t = 0;
    for (size_t p = 0; p < pattern.size(); p++) {
        if (pattern[p] != '#') {
            if (t >= text.size() || text[t] != pattern[p])
                return false;
            t++;
            continue;
        }
        size_t digits = t;
        while (t < text.size() && std::isdigit(static_cast<unsigned char>(text[t])))
            t++;
        if (t == digits)
            return false;
    }
    return t == text.size();
}

// A disk that takes only `bytes` more bytes per file: writes beyond fail with EFBIG instead of
// ending the process.
TestSupport::ChildSetup FileSizeLimit(rlim_t bytes)
{
    return [bytes] {
        signal(SIGXFSZ, SIG_IGN);
        rlimit limit{bytes, bytes};
        setrlimit(RLIMIT_FSIZE, &limit);
    };
}

std::set<std::string> Listing(const std::string& dir)
{
    std::set<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(dir))
        names.insert(entry.path().filename().string());
    return names;
}

struct Refusal {
    const char* name;
    std::map<std::string, std::string> inputs;  // files the row writes first ("/" ending: a folder)
    std::vector<std::string> args;
    int exitCode;
    std::string err;  // exact, '#' standing for digits
    TestSupport::ChildSetup setup = nullptr;
};

void ExpectRefused(const Refusal& row)
{
    const std::string dir = TestSupport::MakeTempDirectory();
    TestSupport::WriteFile(dir + "/out.txt", earlierMesh);
    TestSupport::WriteFile(dir + "/Ketra_lightmap_0.png", earlierPage);
    for (const auto& [name, content] : row.inputs) {
        if (name.back() == '/')
            mkdir((dir + "/" + name).c_str(), 0755);
        else
            TestSupport::WriteFile(dir + "/" + name, content);
    }
    const std::set<std::string> before = Listing(dir);

    std::vector<std::string> args = row.args;
    args.insert(args.begin(), KETRA_BINARY);
    ProcessResult r = TestSupport::RunProcess(args, dir, "", row.setup);

    EXPECT_EQ(r.exitCode, row.exitCode) << row.name << "\n" << r.err;
    EXPECT_TRUE(MatchesWithNumbers(r.err, row.err)) << row.name << ": " << r.err;
    EXPECT_EQ(Listing(dir), before) << row.name << ": files added or removed";
    EXPECT_EQ(TestSupport::ReadFile(dir + "/out.txt"), earlierMesh) << row.name;
    EXPECT_EQ(TestSupport::ReadFile(dir + "/Ketra_lightmap_0.png"), earlierPage) << row.name;
    std::filesystem::remove_all(dir);
}

// Values must be numbers in full and within their ranges.
std::vector<Refusal> ValueRefusals()
{
    const std::map<std::string, std::string> tri = {{"tri.obj", triangleObj}};
    auto row = [&](const char* option, const char* value, const char* allowed) {
        return Refusal{option,
                       tri,
                       {"-f", option, value, "tri.obj", "out.txt"},
                       1,
                       std::string("invalid argument: ") + value + " (" + allowed + ")\n"};
    };
    const char* const scale = "-i takes a number other than 0";
    const char* const atlas = "-a takes a whole number from 8 to 16384";
    const char* const texel = "-t takes a number from 0.000001 to 1000000";
    const char* const samples = "-s takes a whole number from 0 to 65536";
    return {
        row("-i", "0", scale),          // was a silent empty bake
        row("-i", "abc", scale),        // was read as 0
        row("-i", "1,5", scale),        // was a scale of 1
        row("-i", "", scale),
        row("-d", "abc", "-d takes a number"),  // was the lighting mode
        row("-d", "inf", "-d takes a number"),
        row("-p", "2x", "-p takes a number"),
        row("-g", "181", "-g takes a number of degrees from 0 to 180"),
        row("-k", "3.5", "-k takes a whole number from 0 to 65535"),
        row("-s", "abc", samples),
        row("-s", "2147483648", samples),  // allocated 16.8 GB of samples
        row("-s", "65537", samples),
        row("-s", "12abc", samples),
        row("-a", "2048x", atlas),
        row("-a", "2", atlas),  // wrote NaN lightmap coordinates
        row("-a", "7", atlas),
        row("-a", "16385", atlas),
        row("-t", "0.5abc", texel),
        row("-t", "1e-45", texel),  // looped for ever in the chart layout
        row("-t", "1e20", texel),   // wrote NaN lightmap coordinates
        row("-t", "1e7", texel),
        row("-t", "nan", texel),
    };
}

// Names that clash, and inputs (the OBJ file, the object flags file, the light file) that cannot
// be opened or read.
std::vector<Refusal> InputRefusals()
{
    const std::string tri = triangleObj;
    return {
        {"output is the input", {{"tri.obj", tri}}, {"-f", "tri.obj", "tri.obj"}, 1,
         "invalid output filename: tri.obj (it is an input file)\n"},
        {"output is the input by another name", {{"tri.obj", tri}, {"sub/", ""}}, {"-f", "tri.obj", "sub/../tri.obj"},
         1, "invalid output filename: sub/../tri.obj (it is an input file)\n"},
        {"output is the flags file", {{"tri.obj", tri}, {"flags.txt", "box 1\n"}},
         {"-f", "-x", "flags.txt", "tri.obj", "flags.txt"}, 1,
         "invalid output filename: flags.txt (it is an input file)\n"},
        {"output is a page", {{"tri.obj", tri}}, {"-f", "tri.obj", "Ketra_lightmap_0.png"}, 1,
         "invalid output filename: Ketra_lightmap_0.png (a lightmap page gets this name)\n"},
        {"output is a later page", {{"tri.obj", tri}}, {"-f", "tri.obj", "./Ketra_lightmap_12.png"}, 1,
         "invalid output filename: ./Ketra_lightmap_12.png (a lightmap page gets this name)\n"},
        {"empty input name", {{"tri.obj", tri}}, {"-f", "", "out.txt"}, 1,
         "invalid argument: \"\" (a file name cannot be empty)\n"},
        {"missing input", {}, {"-f", "missing.obj", "out.txt"}, 2,
         "failed to open missing.obj!\n"},
        {"folder as input", {{"folder/", ""}}, {"-f", "folder", "out.txt"}, 2,
         "failed to open folder!\n"},  // was a parse error
        {"folder as flags file", {{"tri.obj", tri}, {"folder/", ""}}, {"-f", "-x", "folder", "tri.obj", "out.txt"}, 2,
         "failed to open folder!\n"},
        {"vertex index past the end", {{"index.obj", "v 0 0 0\nv 1 0 0\nv 0 1 0\nf 1 2 4\n"}},
         {"-f", "index.obj", "out.txt"}, 3,
         "Invalid vertex index found at line 4 (near column 7 in file index.obj)\nfailed to parse obj index.obj\n"},
        {"normal index past the end", {{"index.obj", "v 0 0 0\nv 1 0 0\nv 0 1 0\nvn 0 0 1\nf 1//1 2//1\n  3//2\n"}},
         {"-f", "index.obj", "out.txt"}, 3,
         "Invalid vnorm index found at line 6 (near column 6 in file index.obj)\nfailed to parse obj index.obj\n"},
        // Both coordinates are beyond the float range and refused alike (1e39 used to be read as
        // infinity and its triangles dropped without a word).
        {"coordinate beyond float range", {{"big.obj", "v 0 0 0\nv 1 0 0\nv 0 1e39 0\nf 1 2 3\n"}},
         {"-f", "big.obj", "out.txt"}, 3,
         "Obj parse error at line 3 (near column 5 in file big.obj)\nfailed to parse obj big.obj\n"},
        {"infinite coordinate", {{"inf.obj", "v 0 0 0\nv 1 0 0\nv 0 inf 0\nf 1 2 3\n"}}, {"-f", "inf.obj", "out.txt"},
         3, "Obj parse error at line 3 (near column 5 in file inf.obj)\nfailed to parse obj inf.obj\n"},
        {"output is the light file", {{"tri.obj", tri}, {"lights.txt", "light ambient colour 1 1 1\n"}},
         {"-f", "-d", "0", "-L", "lights.txt", "tri.obj", "./lights.txt"}, 1,
         "invalid output filename: ./lights.txt (it is an input file)\n"},
        {"missing light file", {{"tri.obj", tri}}, {"-f", "-d", "0", "-L", "missing.txt", "tri.obj", "out.txt"}, 2,
         "failed to open missing.txt!\n"},
        {"folder as light file", {{"tri.obj", tri}, {"folder/", ""}},
         {"-f", "-d", "0", "-L", "folder", "tri.obj", "out.txt"}, 2, "failed to open folder!\n"},
        {"light file syntax",
         {{"tri.obj", tri}, {"lights.txt", "light point position 0 1 0 colour 1 1 1 range 5\nlight spot colour 1 1\n"}},
         {"-f", "-d", "0", "-L", "lights.txt", "tri.obj", "out.txt"}, 4,
         "unexpected token at line 2 col 12 (lights.txt)\n"},
        // A position that leaves the float range once scaled by -i.
        {"light beyond the float range",
         {{"tri.obj", tri}, {"lights.txt", "light point position 0 1e38 0 colour 1 1 1\n"}},
         {"-f", "-d", "0", "-i", "100", "-L", "lights.txt", "tri.obj", "out.txt"}, 4,
         "invalid value at line 1 col 22 (lights.txt)\n"},
        {"flags file syntax", {{"tri.obj", tri}, {"flags.txt", "roof\n  & model x\n"}},
         {"-f", "-x", "flags.txt", "tri.obj", "out.txt"}, 4, "unexpected token at line 2 col 11 (flags.txt)\n"},
        {"missing flags file", {{"tri.obj", tri}}, {"-f", "-x", "missing.txt", "tri.obj", "out.txt"}, 2,
         "failed to open missing.txt!\n"},
        {"missing alpha map", {{"tri.obj", tri}, {"flags.txt", "roof & alphamap \"missing.png\"\n"}},
         {"-f", "-x", "flags.txt", "tri.obj", "out.txt"}, 5, "failed to open trace bitmap missing.png\n"},
    };
}

// Bakes that cannot be done, or whose outputs cannot be written whole.
std::vector<Refusal> BakeRefusals()
{
    return {
        {"nothing but lost triangles",
         {{"lost.obj", "v 0 0 0\nv 1 0 0\nv 2 0 0\nv 0 1 0\nf 1 2 3\nf 1 2 1\nf 1 2\n"}},
         {"-f", "lost.obj", "out.txt"}, 3,
         "warning: dropped 1 degenerate, 1 collinear and 0 non-finite triangles and 1 faces with fewer than 3 "
         "corners\nno triangles to bake in lost.obj\n"},
        {"scaled beyond the float range", {{"tri.obj", triangleObj}}, {"-f", "-i", "1e38", "tri.obj", "out.txt"}, 3,
         "warning: dropped 0 degenerate, 0 collinear and 1 non-finite triangles and 0 faces with fewer than 3 "
         "corners\nno triangles to bake in tri.obj\n"},
        {"empty mesh", {{"empty.obj", "# nothing but a comment\nv 0 0 0\n"}}, {"-f", "empty.obj", "out.txt"}, 3,
         "no triangles to bake in empty.obj\n"},
        // Refused before a single texel is allocated, in a moment.
        {"more texels than memory", {{"far.obj", FarApartTrianglesObj(64)}},
         {"-f", "-a", "16384", "-t", "0.01", "far.obj", "out.txt"}, 7,
         "not enough memory: this bake needs about # MB, # MB are available; use a larger -t\n"},
        {"output folder missing", {{"tri.obj", triangleObj}}, {"-f", "tri.obj", "nodir/out.txt"}, 6,
         "failed to write nodir/out.txt: No such file or directory\n"},
        // A disk that fills up during the mesh file: it used to be left cut mid-line.
        {"disk full in the mesh file", {{"grid.obj", GridObj(20)}}, {"-f", "-s", "4", "grid.obj", "out.txt"}, 6,
         "failed to write out.txt: File too large\n", FileSizeLimit(16384)},
        // The page is larger than the mesh file of one triangle: it used to be left as 8,192 bytes.
        {"disk full in a page", {{"tri.obj", triangleObj}}, {"-f", "-s", "4", "-t", "0.002", "tri.obj", "out.txt"}, 6,
         "failed to write Ketra_lightmap_0.png: File too large\n", FileSizeLimit(2048)},
        // The .glb is written after the pages it embeds, which are read back from their
        // temporaries: the page fits, the .glb does not.
        {"disk full in a .glb", {{"tri.obj", triangleObj}}, {"-f", "-s", "4", "tri.obj", "out.glb"}, 6,
         "failed to write out.glb: File too large\n", FileSizeLimit(1024)},
        {"lighting mode, disk full in the mesh file",
         {{"grid.obj", GridObj(20)}, {"lights.txt", "light ambient colour 1 1 1\n"}},
         {"-f", "-d", "0", "-s", "4", "-L", "lights.txt", "grid.obj", "out.txt"}, 6,
         "failed to write out.txt: File too large\n", FileSizeLimit(16384)},
    };
}

// Every run that must stop: its exit code, its exact message, and the folder as it was before,
// outputs of an earlier run included.
TEST(RefusedRuns, EachStopsWithItsCodeAndMessageAndLeavesNoOutput)
{
    for (const auto& rows : {ValueRefusals(), InputRefusals(), BakeRefusals()}) {
        for (const Refusal& row : rows)
            ExpectRefused(row);
    }
}

TEST(RefusedRuns, MissingOutputFolderStopsBeforeTheBake)
{
    const std::string dir = TestSupport::MakeTempDirectory();
    TestSupport::WriteFile(dir + "/tri.obj", triangleObj);
    ProcessResult r = TestSupport::RunProcess({KETRA_BINARY, "tri.obj", "nodir/out.txt"}, dir);
    EXPECT_EQ(r.exitCode, 6);
    EXPECT_EQ(r.out.find("Building..."), std::string::npos) << r.out;
    std::filesystem::remove_all(dir);
}

// Every coordinate a finished bake writes is a finite number, and everything it lost is counted
// in one warning line.
TEST(RefusedRuns, LossesAreCountedAndTheRestIsBaked)
{
    const std::string dir = TestSupport::MakeTempDirectory();
    // One good triangle; one collinear fan triangle; one without area; one whose area is beyond
    // the float range; one face of two corners.
    TestSupport::WriteFile(dir + "/losses.obj",
                           "v 0 0 0\nv 1 0 0\nv 0 1 0\nv 2 0 0\nv 0 0 1e20\nv 1e20 0 1e20\n"
                           "f 1 2 3\nf 1 2 4\nf 1 2 1\nf 1 5 6\nf 2 3\n");
    ProcessResult r = TestSupport::RunProcess({KETRA_BINARY, "-s", "4", "losses.obj", "out.txt"}, dir);
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.err,
              "warning: dropped 1 degenerate, 1 collinear and 1 non-finite triangles and 1 faces with fewer than 3 "
              "corners\n");
    std::istringstream lines(TestSupport::ReadFile(dir + "/out.txt"));
    std::string line;
    int lineCount = 0;
    while (std::getline(lines, line)) {
        lineCount++;
        std::istringstream fields(line);
        for (int i = 0; i < 10; i++) {
            std::string field;
            fields >> field;
            EXPECT_TRUE(std::isfinite(std::strtod(field.c_str(), nullptr))) << line;
        }
    }
    EXPECT_EQ(lineCount, 3);
    EXPECT_EQ(Listing(dir), (std::set<std::string>{"losses.obj", "out.txt", "Ketra_lightmap_0.png"}));
    std::filesystem::remove_all(dir);
}

}  // namespace
