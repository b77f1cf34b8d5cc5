#include "engine/mesh/obj_reader.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "core/log.h"

namespace {

using Engine::ObjReader;

// Collects the engine log lines (without their time prefix) while alive.
class LogCapture {
public:
    LogCapture()
    {
        id = Core::AddLogListener([this](const std::string& line) { lines.push_back(line.substr(14)); });
    }
    ~LogCapture() { Core::RemoveLogListener(id); }
    int Count(const std::string& text) const
    {
        int count = 0;
        for (const std::string& line : lines)
            count += line == text;
        return count;
    }
    std::vector<std::string> lines;

private:
    int id;
};

bool ParseText(ObjReader& reader, const std::string& text, Geom::Vec3 scale = {1, 1, 1}, int nameMode = 0)
{
    std::FILE* file = std::tmpfile();
    EXPECT_TRUE(file);
    if (!file)
        return false;
    std::fwrite(text.data(), 1, text.size(), file);
    std::rewind(file);
    bool ok = reader.Parse(file, "t.obj", scale, nameMode);
    std::fclose(file);
    return ok;
}

std::string Format(float value)
{
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "%g", value);
    return buffer;
}

// Triangles as "name:x0,x1,x2" by the x coordinates of their corner positions, in list order.
// The cases give every vertex a distinct x, so this names the corners whatever welding did.
std::string DescribeTriangles(const ObjReader& reader)
{
    std::string out;
    for (const Engine::ObjTriangle& t : reader.triangles) {
        if (!out.empty())
            out += ' ';
        const std::string& name = reader.NamesOf(t).name;
        if (!name.empty()) {
            out += name;
            out += ':';
        }
        for (int c = 0; c < 3; c++) {
            if (t.vertex[c] < 0 || t.vertex[c] >= int32_t(reader.positions.size()))
                return "bad vertex index";
            if (c)
                out += ',';
            out += Format(reader.positions[size_t(t.vertex[c])].x);
        }
    }
    return out;
}

std::string DescribeUvs(const ObjReader& reader)
{
    std::string out;
    for (Geom::Vec2 uv : reader.uvs) {
        if (!out.empty())
            out += ' ';
        out += Format(uv.x);
        out += ',';
        out += Format(uv.y);
    }
    return out;
}

// Four points in general position, the x coordinate naming the vertex.
const char* const fourVertices = "v 1 1 0\nv 2 4 0\nv 3 9 0\nv 4 16 1\n";

TEST(ObjReader, ReadsStatementsAndFaces)
{
    const std::string four = fourVertices;
    const struct {
        const char* label;
        std::string text;
        std::string triangles;
        size_t positions, polygons;
        std::string uvs;
    } cases[] = {
        {"quad fan", four + "f 1 2 3 4\n", "1,2,3 1,3,4", 4, 1, "0,0"},
        {"pentagon fan", four + "v 5 25 3\nf 1 2 3 4 5\n", "1,2,3 1,3,4 1,4,5", 5, 1, "0,0"},
        {"relative indices", four + "f -3 -2 -1\n", "2,3,4", 4, 1, "0,0"},
        {"relative to the list as it stands", "v 1 1 0\nv 2 4 0\nv 3 9 0\nf -3 -2 -1\nv 4 16 1\nf -3 -2 -1\n",
         "1,2,3 2,3,4", 4, 2, "0,0"},
        {"signed positive indices", four + "f +1 +2 +3\n", "1,2,3", 4, 1, "0,0"},
        {"face continued on the next line", four + "f 1 2\n 3 4\n", "1,2,3 1,3,4", 4, 1, "0,0"},
        {"a float ends the face", four + "f 1 2 3 4.5\n", "1,2,3", 4, 1, "0,0"},
        {"fewer than three corners", four + "f 1 2\nf 3\n", "", 4, 0, ""},
        {"vt flips v", four + "vt 0.25 0.75\nvt 1 0 9\nf 1/1 2/2 3/1\n", "1,2,3", 4, 1, "0.25,0.25 1,1"},
        {"no vt: one shared (0,0)", four + "vt 0.5 0.5\nf 1 2 3\nf 1/1 3/1 4/1\nf 2 3 4\n", "1,2,3 1,3,4 2,3,4", 4, 3,
         "0.5,0.5 0,0"},
        {"equal positions weld", "v 1 1 0\nv 2 4 0\nv 1 1 0\nv 3 9 0\nf 1 2 4\nf 3 4 2\n", "1,2,3 1,3,2", 3, 2,
         "0,0"},
        {"minus zero welds with zero", "v 1 0 0\nv 2 4 0\nv 1 -0 0\nv 3 9 0\nf 1 2 4\nf 3 4 2\n", "1,2,3 1,3,2", 3,
         2, "0,0"},
        {"s, vp, off, unknown statements and comments", "# head\n" + four + "s 1\nvp 1 2\noff\nl 1 2\nf 1 2 3 # x\n",
         "1,2,3", 4, 1, "0,0"},
        {"extra values on v lines", "v 1 1 0 1 0.5 0.5 0.5\nv 2 4 0 1\nv 3 9 0\nf 1 2 3\n", "1,2,3", 3, 1, "0,0"},
        {"signs and number forms", "v +1 -1 1e0\nv 2 .5 -.5e1\nv 3 0x10 010\nf 1 2 3\n", "1,2,3", 3, 1, "0,0"},
        {"collinear quad: polygon only", "v 0 0 0\nv 1 0 0\nv 2 0 0\nv 3 0 0\nf 1 2 3 4\n", "", 4, 1, ""},
        {"same face vertex", "v 1 1 0\nv 2 4 0\nv 2 4 0\nv 3 9 0\nf 1 2 3 4\n", "1,2,3", 3, 1, "0,0"},
        {"CRLF line ends", "v 1 1 0\r\nv 2 4 0\r\nv 3 9 0\r\nf 1 2 3\r\n", "1,2,3", 3, 1, "0,0"},
        {"stable sort by material",
         four + "usemtl b\nf 1 2 3\nusemtl a\nf 1 2 4\nusemtl b\nf 1 3 4\nusemtl a\nf 2 3 4\nusemtl \nf 4 3 2\n",
         "4,3,2 a:1,2,4 a:2,3,4 b:1,2,3 b:1,3,4", 4, 5, "0,0"},
    };
    for (const auto& c : cases) {
        ObjReader reader;
        ASSERT_TRUE(ParseText(reader, c.text)) << c.label << ": " << reader.LastError();
        EXPECT_EQ(reader.LastError(), "") << c.label;
        EXPECT_EQ(DescribeTriangles(reader), c.triangles) << c.label;
        EXPECT_EQ(reader.positions.size(), c.positions) << c.label;
        EXPECT_EQ(reader.polygons.size(), c.polygons) << c.label;
        EXPECT_EQ(DescribeUvs(reader), c.uvs) << c.label;
    }
}

TEST(ObjReader, LogsSkippedCornersAndCollinearTriangles)
{
    LogCapture log;
    ObjReader reader;
    ASSERT_TRUE(ParseText(reader, "v 1 1 0\nv 2 4 0\nv 2 4 0\nv 3 9 0\nv 4 9 0\nv 5 9 0\nf 1 2 3 4\nf 4 5 6\n"));
    EXPECT_EQ(log.Count("Skipping same face vertex"), 1);
    EXPECT_EQ(log.Count("ObjParse: skipping collinear triangle"), 2);  // (1,2,3) of the quad and (4,5,6)
    // Polygons keep collinear faces; only the quad's repeated corner is left out.
    ASSERT_EQ(reader.polygons.size(), 2u);
    EXPECT_EQ(reader.polygons[0].cornerCount, 3);
    EXPECT_EQ(reader.polygons[1].cornerCount, 3);
    // Counted for the caller's report, and counted afresh by each parse.
    EXPECT_EQ(reader.collinearTriangles, 2);
    EXPECT_EQ(reader.shortFaces, 0);
    ASSERT_TRUE(ParseText(reader, "v 1 1 0\nv 2 4 0\nv 3 9 0\nf 1 2\nf 3\nf\nf 1 2 3\n"));
    EXPECT_EQ(reader.collinearTriangles, 0);
    EXPECT_EQ(reader.shortFaces, 3);
    EXPECT_EQ(reader.triangles.size(), 1u);
}

TEST(ObjReader, CollinearTestUsesScaledPositions)
{
    // The middle corner is 0.0005 off the line: within 1/1152 unscaled, outside once y is doubled.
    const std::string text = "v 0 0 0\nv 1 0.0005 0\nv 2 0 0\nf 1 2 3\n";
    ObjReader reader;
    ASSERT_TRUE(ParseText(reader, text));
    EXPECT_EQ(reader.triangles.size(), 0u);
    ASSERT_TRUE(ParseText(reader, text, {1, 2, 1}));
    EXPECT_EQ(reader.triangles.size(), 1u);

    // Corner 0 and corner k on one point: the line is undefined and the triangle stays.
    ASSERT_TRUE(ParseText(reader, "v 0 0 0\nv 1 0 0\nv 0 0 0\nf 1 2 3\n"));
    EXPECT_EQ(reader.triangles.size(), 1u);
}

TEST(ObjReader, ScalesWeldsAndRemapsEveryList)
{
    const std::string text = "v 1 2 3\nv 4 5 6\nv 1 2 3\nv 7 8 10\n"
                             "vt 0 0\nvt 0.5 0.5\nvt 0 0\n"
                             "vn 0 0 1\nvn 0 1 0\nvn 0 0 1\n"
                             "f 3/3/3 2/2/2 4/1/1\nf 1/1/1 4/2/2 2/3/3\n";
    ObjReader reader;
    ASSERT_TRUE(ParseText(reader, text, {2, -1, 0.5f}));
    ASSERT_EQ(reader.positions.size(), 3u);
    EXPECT_EQ(reader.positions[0], (Geom::Vec3{2, -2, 1.5f}));
    EXPECT_EQ(reader.positions[1], (Geom::Vec3{8, -5, 3}));
    EXPECT_EQ(reader.positions[2], (Geom::Vec3{14, -8, 5}));
    ASSERT_EQ(reader.uvs.size(), 2u);  // first appearances: (0, 1) then (0.5, 0.5)
    EXPECT_EQ(reader.uvs[0], (Geom::Vec2{0, 1}));
    ASSERT_EQ(reader.normals.size(), 2u);
    EXPECT_EQ(reader.normals[1], (Geom::Vec3{0, 1, 0}));
    ASSERT_EQ(reader.triangles.size(), 2u);
    const Engine::ObjTriangle& a = reader.triangles[0];
    const Engine::ObjTriangle& b = reader.triangles[1];
    EXPECT_EQ(std::vector<int32_t>(a.vertex, a.vertex + 3), (std::vector<int32_t>{0, 1, 2}));
    EXPECT_EQ(std::vector<int32_t>(a.uv, a.uv + 3), (std::vector<int32_t>{0, 1, 0}));
    EXPECT_EQ(std::vector<int32_t>(a.normal, a.normal + 3), (std::vector<int32_t>{0, 1, 0}));
    EXPECT_EQ(std::vector<int32_t>(b.vertex, b.vertex + 3), (std::vector<int32_t>{0, 2, 1}));
    EXPECT_EQ(std::vector<int32_t>(b.uv, b.uv + 3), (std::vector<int32_t>{0, 1, 0}));
    EXPECT_TRUE(reader.hasNormals);
    // The polygons' corners follow the same remapping, uv and normal indices included.
    ASSERT_EQ(reader.polygonCorners.size(), 6u);
    EXPECT_EQ(reader.polygonCorners[0].vertex, 0);
    EXPECT_EQ(reader.polygonCorners[0].uv, 0);
    EXPECT_EQ(reader.polygonCorners[0].normal, 0);
    EXPECT_EQ(reader.polygonCorners[5].uv, 0);
    EXPECT_EQ(reader.polygonCorners[5].normal, 0);
}

TEST(ObjReader, HasNormalsOnlyWhenEveryCornerHasOne)
{
    const struct {
        std::string faces;
        bool hasNormals;
    } cases[] = {
        {"f 1//1 2//1 3//1\n", true},
        {"f 1/1/1 2/1/1 3/1/1\n", true},
        {"f 1//1 2//1 3//1\nf 1//1 2 3//1\n", false},
        {"f 1/1 2/1 3/1\n", false},
    };
    for (const auto& c : cases) {
        ObjReader reader;
        ASSERT_TRUE(ParseText(reader, std::string(fourVertices) + "vt 0 0\nvn 0 0 1\n" + c.faces)) << c.faces;
        EXPECT_EQ(reader.hasNormals, c.hasNormals) << c.faces;
    }
}

TEST(ObjReader, NamesPartsAndNameModes)
{
    const std::string text = std::string(fourVertices) +
                             "mtllib  my lib.mtl\n"
                             "o my part # 2\n"
                             "usemtl wood\n"
                             "f 1 2 3\n"
                             "usemtl stone\n"
                             "f 1 2 4\n"  // a material change keeps the part
                             "g\tgroup one\n"
                             "f 1 3 4\n"
                             "o other\n"
                             "f 2 3 4\n";
    ObjReader reader;
    ASSERT_TRUE(ParseText(reader, text));
    EXPECT_EQ(reader.mtllibName, "mylib.mtl");
    EXPECT_EQ(reader.objectName, "other");
    EXPECT_EQ(reader.groupName, "groupone");
    EXPECT_EQ(reader.materialName, "stone");
    EXPECT_EQ(reader.partCount, 3);
    // Sorted by material: the three stone triangles in file order, then wood.
    ASSERT_EQ(reader.triangles.size(), 4u);
    const struct {
        const char *name, *group, *object;
        int32_t part;
    } expected[] = {
        {"stone", "", "mypart#2", 0}, {"stone", "groupone", "mypart#2", 1},
        {"stone", "groupone", "other", 2}, {"wood", "", "mypart#2", 0}};
    for (size_t i = 0; i < 4; i++) {
        const Engine::ObjNames& names = reader.NamesOf(reader.triangles[i]);
        EXPECT_EQ(names.name, expected[i].name) << i;
        EXPECT_EQ(names.group, expected[i].group) << i;
        EXPECT_EQ(names.object, expected[i].object) << i;
        EXPECT_EQ(reader.triangles[i].part, expected[i].part) << i;
    }
    ASSERT_EQ(reader.polygons.size(), 4u);
    EXPECT_EQ(reader.nameSets[size_t(reader.polygons[2].names)].group, "groupone");

    ASSERT_TRUE(ParseText(reader, text, {1, 1, 1}, 1));
    EXPECT_EQ(DescribeTriangles(reader), "1,2,3 1,2,4 groupone:1,3,4 groupone:2,3,4");
    ASSERT_TRUE(ParseText(reader, text, {1, 1, 1}, 2));
    EXPECT_EQ(DescribeTriangles(reader), "mypart#2:1,2,3 mypart#2:1,2,4 mypart#2:1,3,4 other:2,3,4");
}

TEST(ObjReader, FailsOnBadInputWithItsMessage)
{
    const std::string three = "v 1 1 0\nv 2 4 0\nv 3 9 0\n";  // lines 1-3
    const struct {
        std::string text;
        std::string error;
        bool logged;
    } cases[] = {
        {three + "vt 0 0\nvt 1 1\nf 1/3 2/1 3/1\n", "Invalid uv index found at line 6 (near column 5 in file t.obj)", true},
        {three + "f 1 2 4\n", "Invalid vertex index found at line 4 (near column 7 in file t.obj)", true},
        {three + "f -4 1 2\n", "Invalid vertex index found at line 4 (near column 4 in file t.obj)", true},
        {three + "f 4294967297 1 2\n", "Invalid vertex index found at line 4 (near column 3 in file t.obj)", true},  // must not wrap to vertex 1
        {three + "vn 0 0 1\nf 1//1 2//2 3//1\n", "Invalid vnorm index found at line 5 (near column 11 in file t.obj)", true},
        {"f 1 2 3\n", "Invalid vertex index found at line 1 (near column 3 in file t.obj)", true},
        // Beyond the float range, like "inf": no finite mesh can use it.
        {"v 1 2 1e39\n", "Obj parse error at line 1 (near column 7 in file t.obj)", true},
        {"v 1 2 inf\n", "Obj parse error at line 1 (near column 7 in file t.obj)", true},
        {"vt 1 -1e39\n", "Obj parse error at line 1 (near column 7 in file t.obj)", true},
        {"vn 0 0 1e300\n", "Obj parse error at line 1 (near column 8 in file t.obj)", true},
        {three + "f 1 0 2\n", "Obj parse error at line 4 (near column 5 in file t.obj)", false},  // zero: no log line
        {three + "f 1 -0 2\n", "Obj parse error at line 4 (near column 6 in file t.obj)", false},
        {"v 1 2 x\n", "Obj parse error at line 1 (near column 7 in file t.obj)", true},
        {"v 1 2\n", "Obj parse error at line 2 (near column 1 in file t.obj)", true},  // the end where a number belongs
        {"v 1 +-2 3\n", "Obj parse error at line 1 (near column 6 in file t.obj)", true},
        {"vt 1 $\n", "Obj parse error at line 1 (near column 6 in file t.obj)", true},
        {three + "f 1/// 2 3\n", "Obj parse error at line 4 (near column 6 in file t.obj)", true},  // a fourth slot
        {three + "f 1/1.5 2 3\n", "Obj parse error at line 4 (near column 5 in file t.obj)", true},
        {three + "f -1.5 2 3\n", "Obj parse error at line 4 (near column 4 in file t.obj)", true},
        {three + "f 1 2 -x\n", "Obj parse error at line 4 (near column 8 in file t.obj)", true},
        {three + "f 1 2 99999999999999999999\n", "Obj parse error at line 4 (near column 7 in file t.obj)", true},
        {"\r\n\r\nv 1 2 3\r\n @\r\n", "Obj parse error at line 4 (near column 2 in file t.obj)", true},
        {"o a\x01" "b\n", "Obj parse error at line 1 (near column 2 in file t.obj)", true},
    };
    for (const auto& c : cases) {
        LogCapture log;
        ObjReader reader;
        EXPECT_FALSE(ParseText(reader, c.text)) << c.text;
        EXPECT_EQ(reader.LastError(), c.error) << c.text;
        EXPECT_EQ(log.Count(c.error), c.logged ? 1 : 0) << c.text;
        // A failed parse leaves its first error in LastError; a later good parse clears it.
        ASSERT_TRUE(ParseText(reader, three + "f 1 2 3\n"));
        EXPECT_EQ(reader.LastError(), "");
    }
}

// Every index the reader hands out must name an element, whatever the input.
bool IndicesInRange(const ObjReader& reader)
{
    for (const Engine::ObjTriangle& t : reader.triangles) {
        if (t.names < 0 || size_t(t.names) >= reader.nameSets.size())
            return false;
        for (int c = 0; c < 3; c++) {
            if (t.vertex[c] < 0 || size_t(t.vertex[c]) >= reader.positions.size() || t.uv[c] < 0 ||
                size_t(t.uv[c]) >= reader.uvs.size() || t.normal[c] < -1 || t.normal[c] >= int32_t(reader.normals.size()))
                return false;
        }
    }
    for (const Engine::ObjPolygon& polygon : reader.polygons) {
        if (polygon.firstCorner < 0 || polygon.cornerCount < 3 ||
            size_t(polygon.firstCorner) + size_t(polygon.cornerCount) > reader.polygonCorners.size() ||
            polygon.names < 0 || size_t(polygon.names) >= reader.nameSets.size())
            return false;
    }
    return true;
}

TEST(ObjReader, TruncatedAndDamagedFilesFailOrStayConsistent)
{
    const std::string text = "mtllib a.mtl\no thing\nv 1 1 0\nv 2 4 0\nv 3 9 0\nv 4 16 1\nvt 0 0\nvt 1 0.5\n"
                             "vn 0 0 1\nusemtl m\ns off\nf 1/1/1 2/2/1 3/1/1 4/2/1\ng part\nf -1//1 -2//1 -3//1\n"
                             "f 1/1 2/2 3/2\n";
    ObjReader reader;
    ASSERT_TRUE(ParseText(reader, text));
    ASSERT_EQ(reader.triangles.size(), 4u);
    for (size_t cut = 0; cut < text.size(); cut++) {
        bool ok = ParseText(reader, text.substr(0, cut));
        EXPECT_TRUE(ok ? reader.LastError().empty() && IndicesInRange(reader) : !reader.LastError().empty())
            << "cut at " << cut;
    }
    // One byte replaced by characters that matter to the lexer.
    for (size_t at = 0; at < text.size(); at++) {
        for (char replacement : {'\0', '/', '-', '9', '#', '\r', '"'}) {
            std::string damaged = text;
            damaged[at] = replacement;
            bool ok = ParseText(reader, damaged);
            EXPECT_TRUE(ok ? IndicesInRange(reader) : !reader.LastError().empty())
                << "byte " << at << " replaced by code " << int(replacement);
        }
    }
}

TEST(ObjReader, ParseErrorKeepsALongFileNameWhole)
{
    std::string name(1000, 'n');
    std::FILE* file = std::tmpfile();
    ASSERT_TRUE(file);
    std::fputs("v x", file);
    std::rewind(file);
    ObjReader reader;
    EXPECT_FALSE(reader.Parse(file, name, {1, 1, 1}, 0));
    std::fclose(file);
    EXPECT_EQ(reader.LastError(), "Obj parse error at line 1 (near column 3 in file " + name + ")");
}

TEST(ObjReader, ReadErrorIsNotTakenForTheEndOfTheFile)
{
    // Reading a directory as a stream opens fine and then fails on the first read.
    std::FILE* directory = std::fopen(KETRA_SOURCE_DIR, "rb");
    if (!directory)
        GTEST_SKIP() << "this C runtime does not open directories as streams";
    ObjReader reader;
    EXPECT_FALSE(reader.Parse(directory, "dir.obj", {1, 1, 1}, 0));
    EXPECT_EQ(reader.LastError(), "Obj parse error at line 1 (near column 1 in file dir.obj)");
    std::fclose(directory);
}

TEST(ObjReader, ConvertAxesRotatesAndReversesWinding)
{
    ObjReader reader;
    ASSERT_TRUE(ParseText(reader, "v 1 2 3\nv 4 5 6\nv 7 8 10\nv 9 9 9\nvt 0 0\nvt 1 0\nvn 0 1 0\nvn 1 2 3\n"
                                  "f 1/1/1 2/2/2 3/1/2 4/2/1\n"));
    ASSERT_EQ(reader.triangles.size(), 2u);
    reader.ConvertAxes();
    EXPECT_EQ(reader.positions[0], (Geom::Vec3{1, -3, 2}));
    EXPECT_EQ(reader.positions[2], (Geom::Vec3{7, -10, 8}));
    EXPECT_EQ(reader.normals[0], (Geom::Vec3{0, 0, 1}));
    EXPECT_EQ(reader.normals[1], (Geom::Vec3{1, -3, 2}));
    const Engine::ObjTriangle& t = reader.triangles[0];  // was corners 1, 2, 3
    EXPECT_EQ(std::vector<int32_t>(t.vertex, t.vertex + 3), (std::vector<int32_t>{2, 1, 0}));
    EXPECT_EQ(std::vector<int32_t>(t.uv, t.uv + 3), (std::vector<int32_t>{0, 1, 0}));
    EXPECT_EQ(std::vector<int32_t>(t.normal, t.normal + 3), (std::vector<int32_t>{1, 1, 0}));
    ASSERT_EQ(reader.polygons.size(), 1u);
    ASSERT_EQ(reader.polygons[0].cornerCount, 4);
    std::vector<int32_t> polygonVertices;
    for (const Engine::ObjCorner& corner : reader.polygonCorners)
        polygonVertices.push_back(corner.vertex);
    EXPECT_EQ(polygonVertices, (std::vector<int32_t>{3, 2, 1, 0}));

    // A rotation of the axes plus reversed winding: the face normal is the rotated old one, negated.
    Geom::Vec3 p[3];
    for (int c = 0; c < 3; c++)
        p[c] = reader.positions[size_t(t.vertex[c])];
    Geom::Vec3 before = Geom::Cross(Geom::Vec3{4, 5, 6} - Geom::Vec3{1, 2, 3}, Geom::Vec3{7, 8, 10} - Geom::Vec3{1, 2, 3});
    Geom::Vec3 after = Geom::Cross(p[1] - p[0], p[2] - p[0]);
    EXPECT_EQ(after, (Geom::Vec3{-before.x, before.z, -before.y}));
}

}  // namespace
