#include "app/light_file.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include "app/driver.h"
#include "engine/lightmapper/lightmapper.h"
#include "engine/mesh/obj_reader.h"
#include "run_process_fixture.h"

namespace {

using App::LightFile;
using Engine::LightRecord;
using Geom::Vec3;

struct Parsed {
    int code = -1;
    LightFile lights;
    std::string errors;
};

std::string ReadBack(std::FILE* file)
{
    std::string text;
    std::rewind(file);
    char buffer[256];
    while (std::fgets(buffer, sizeof buffer, file))
        text += buffer;
    std::fclose(file);
    return text;
}

Parsed Parse(const std::string& text, float scale = 1)
{
    Parsed parsed;
    std::FILE* errors = std::tmpfile();
    parsed.code = App::ParseLightFile(text, "lights.txt", scale, parsed.lights, errors);
    parsed.errors = ReadBack(errors);
    return parsed;
}

void ExpectVec(Vec3 got, Vec3 expected, const char* what)
{
    EXPECT_NEAR(got.x, expected.x, 1e-6) << what;
    EXPECT_NEAR(got.y, expected.y, 1e-6) << what;
    EXPECT_NEAR(got.z, expected.z, 1e-6) << what;
}

}  // namespace

TEST(LightFile, ReadsEveryEntryInTheEnginesAxesAndScale)
{
    const char* text = "// lights, in the OBJ file's axes (y up)\n"
                       "light point position 1 2 3 colour 1 0.5 0.25 range 10\n"
                       "light point position 1 2 3 colour 1 1 1 range 5 attenuation 0.5 0.25 0.125\n"
                       "light spot position 0 4 0\n"
                       "    direction 0 -1 0 colour 2 2 2 range 8 cone 30 60 /* a block\n comment */\n"
                       "light directional direction 0 -1 0 colour 1 1 1\n"
                       "light directional direction 1 -1 0 colour 1 1 1 range 50\n"
                       "light ambient colour 0.1 0.2 0.3\n"
                       "object lamp emissive 4 4 3\n"
                       "object \"wall.001\" reflectance 0.8 0.7 0.6\n"
                       "object lamp reflectance 0.5 -0 .5 emissive 0x10 4 3\n";
    Parsed p = Parse(text, 2);
    ASSERT_EQ(p.code, 0) << p.errors;
    EXPECT_EQ(p.errors, "");
    ASSERT_EQ(p.lights.lights.size(), 6u);
    const std::vector<LightRecord>& l = p.lights.lights;

    // (x, y, z) of the file is (x, -z, y) in the engine; positions and ranges scale with -i, and
    // the falloff per file unit stays what the file says.
    EXPECT_EQ(l[0].type, Engine::LightPoint);
    ExpectVec(l[0].position, {2, -6, 4}, "point position");
    ExpectVec(l[0].colour, {1, 0.5f, 0.25f}, "point colour");
    EXPECT_EQ(l[0].range, 20.0f);
    ExpectVec(l[0].attenuation, {1, 0, 0}, "default attenuation");
    ExpectVec(l[1].attenuation, {0.5f, 0.125f, 0.03125f}, "attenuation per engine unit");

    EXPECT_EQ(l[2].type, Engine::LightSpot);
    ExpectVec(l[2].position, {0, 0, 8}, "spot position");
    ExpectVec(l[2].direction, {0, 0, -1}, "spot direction");
    EXPECT_EQ(l[2].range, 16.0f);
    EXPECT_NEAR(l[2].spotInnerCos, std::cos(30 * M_PI / 180), 1e-6);
    EXPECT_NEAR(l[2].spotOuterCos, 0.5, 1e-6);

    EXPECT_EQ(l[3].type, Engine::LightDirectional);
    ExpectVec(l[3].direction, {0, 0, -1}, "sun straight down");
    EXPECT_EQ(l[3].range, 4096.0f);
    ExpectVec(l[4].direction, {float(M_SQRT1_2), 0, -float(M_SQRT1_2)}, "slanted sun, normalised");
    EXPECT_EQ(l[4].range, 100.0f);

    EXPECT_EQ(l[5].type, Engine::LightAmbient);
    ExpectVec(l[5].colour, {0.1f, 0.2f, 0.3f}, "ambient colour");

    // Objects in the order they first appear; a later entry adds to an earlier one.
    ASSERT_EQ(p.lights.objects.size(), 2u);
    EXPECT_EQ(p.lights.objects[0].name, "lamp");
    EXPECT_TRUE(p.lights.objects[0].hasEmissive);
    ExpectVec(p.lights.objects[0].emissive, {16, 4, 3}, "emission, given again");
    EXPECT_TRUE(p.lights.objects[0].hasReflectance);
    ExpectVec(p.lights.objects[0].reflectance, {0.5f, 0, 0.5f}, "reflectance");
    EXPECT_EQ(p.lights.objects[1].name, "wall.001");
    EXPECT_FALSE(p.lights.objects[1].hasEmissive);

    // A mirrored mesh mirrors its lights' directions too.
    Parsed mirrored = Parse("light directional direction 1 -1 0 colour 1 1 1", -1);
    ASSERT_EQ(mirrored.code, 0) << mirrored.errors;
    ExpectVec(mirrored.lights.lights[0].direction, {-float(M_SQRT1_2), 0, float(M_SQRT1_2)}, "mirrored sun");

    EXPECT_EQ(Parse("").code, 0);
    EXPECT_EQ(Parse("  // nothing but a comment\n").code, 0);
}

TEST(LightFile, ErrorsNameTheLineAndColumnAndUseNothing)
{
    const std::string spotPrefix = "light spot position 0 0 0 direction 0 -1 0 colour 1 1 1 range 5 cone ";
    const std::string pointPrefix = "light point position 0 0 0 colour 1 1 1 range 2 ";
    const struct {
        std::string text;
        const char* message;
        int line, column;
    } cases[] = {
        {"lamp point", "invalid key name", 1, 1},
        {"light sun colour 1 1 1", "invalid key name", 1, 7},
        {"light point colour 1 1 1 range 2", "unexpected token", 1, 13},  // a keyword out of place
        {"light point position 1 2 x colour 1 1 1 range 2", "unexpected token", 1, 26},
        {"light point position 1 2 3 colour 1 1 1 light ambient colour 1 1 1", "unexpected token", 1, 41},
        {"light point position 1 2 3 colour 1 1 1 range -1", "invalid value", 1, 47},
        {pointPrefix + "attenuation 1 -2 0", "invalid value", 1, 63},
        {pointPrefix + "attenuation 0 0 0", "invalid value", 1, 61},
        {pointPrefix + "attenuaton 1 0 0", "invalid key name", 1, 49},
        {"light directional direction 0 0 0 colour 1 1 1", "invalid value", 1, 29},
        {spotPrefix + "50 40", "invalid value", 1, 73},
        {spotPrefix + "10 190", "invalid value", 1, 73},
        {spotPrefix + "-5 30", "invalid value", 1, 70},
        {"light ambient colour 1e400 1 1", "invalid value", 1, 22},
        {"light ambient colour 1e39 1 1", "invalid value", 1, 22},  // beyond a float
        {"light ambient colour 1 --1 1", "unexpected token", 1, 24},
        {"# lights", "unexpected token", 1, 1},
        {"3 light", "unexpected token", 1, 1},
        {"object 5 emissive 1 1 1", "unexpected token", 1, 8},
        {"object lamp glow 1 1 1", "invalid key name", 1, 13},
        {"light point\n  position 1 2 3\n  colour 1 1 1\n  range -3\n", "invalid value", 4, 9},
        {"/* one\ntwo */ light ambient colour 1 1", "unexpected token", 2, 32},
    };
    for (const auto& c : cases) {
        LightFile kept;
        kept.lights.push_back(LightRecord::Ambient({1, 2, 3}));
        std::FILE* errors = std::tmpfile();
        const int code = App::ParseLightFile("light ambient colour 1 1 1\n" + c.text, "lights.txt", 1, kept, errors);
        const std::string message = ReadBack(errors);
        char expected[200];
        std::snprintf(expected, sizeof expected, "%s at line %d col %d (lights.txt)\n", c.message, c.line + 1, c.column);
        EXPECT_EQ(code, App::ExitLightsSyntax) << c.text;
        EXPECT_EQ(message, expected) << c.text;
        ASSERT_EQ(kept.lights.size(), 1u) << "a failed load leaves the lights as they were: " << c.text;
        EXPECT_EQ(kept.lights[0].colour.y, 2.0f);
    }
}

TEST(LightFile, MissingFileFailsWithCode2)
{
    LightFile lights;
    std::FILE* errors = std::tmpfile();
    const std::string path = TestSupport::MakeTempDirectory() + "/none.txt";
    EXPECT_EQ(App::LoadLightFile(path, 1, lights, errors), App::ExitOpenFailed);
    EXPECT_EQ(ReadBack(errors), "failed to open " + path + "!\n");
}

TEST(LightFile, NamedObjectsKeepTheirNamesAndColours)
{
    const std::string dir = TestSupport::MakeTempDirectory();
    TestSupport::WriteFile(dir + "/scene.obj", "g shelf\nv 0 0 0\nv 1 0 0\nv 0 0 1\nf 1 2 3\n"
                                               "o lamp\nv 0 1 0\nv 1 1 0\nv 0 1 1\nf 4 5 6\n"
                                               "o table\nv 0 2 0\nv 1 2 0\nv 0 2 1\nf 7 8 9\n");
    TestSupport::WriteFile(dir + "/lights.txt", "object lamp emissive 1 1 0.5\n"
                                                "object shelf reflectance 0.5 0.5 0.5\n"
                                                "object ghost emissive 1 0 0\n"
                                                "light point position 0 3 0 colour 1 1 1 range 9\n");
    App::Options options;
    App::LightFile lights;
    ASSERT_EQ(App::LoadLightFile(dir + "/lights.txt", 1, lights, stderr), 0);
    Engine::Lightmapper lm(options.settings);
    App::ApplyLightFile(lights, lm);

    Engine::ObjReader reader;
    std::FILE* obj = std::fopen((dir + "/scene.obj").c_str(), "rb");
    ASSERT_NE(obj, nullptr);
    ASSERT_TRUE(reader.Parse(obj, "scene.obj", {1, 1, 1}, 0));
    std::fclose(obj);
    reader.ConvertAxes();
    App::FeedTriangles(reader, options, lm);

    const Engine::LmMesh& mesh = lm.Mesh();
    ASSERT_EQ(mesh.TriangleCount(), 3);
    std::vector<std::string> names;
    for (const Engine::LmTriangle& t : mesh.triangles)
        names.push_back(mesh.objects[size_t(t.object)].name);
    // Keyed by object name, or by group name where there is none; objects the light file does
    // not name stay unnamed.
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"", "lamp", "shelf"}));
    const int32_t lamp = lm.FindObject("lamp"), shelf = lm.FindObject("shelf"), ghost = lm.FindObject("ghost");
    ASSERT_GE(lamp, 0);
    ASSERT_GE(shelf, 0);
    ASSERT_GE(ghost, 0) << "named but absent from the mesh: kept without triangles";
    EXPECT_EQ(mesh.objects[size_t(lamp)].colour, (Vec3{1, 1, 0.5f}));
    EXPECT_EQ(mesh.objects[size_t(shelf)].reflectance, (Vec3{0.5f, 0.5f, 0.5f}));
    EXPECT_EQ(mesh.objects[size_t(shelf)].colour, (Vec3{0, 0, 0}));
    EXPECT_EQ(mesh.objects[size_t(ghost)].colour, (Vec3{1, 0, 0}));
    ASSERT_EQ(mesh.lights.size(), 1u);
    EXPECT_EQ(mesh.lights[0].position, (Vec3{0, 0, 3}));
}
