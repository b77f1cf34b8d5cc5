#include "app/driver.h"

#include <cstdio>
#include <memory>

#include "app/console.h"
#include "app/light_file.h"
#include "app/lightmap_writer.h"
#include "app/mesh_writer.h"
#include "core/timer.h"
#include "engine/lightmapper/lightmapper.h"
#include "engine/mesh/obj_reader.h"

namespace App {
namespace {

// Closes the file on every path out of the driver.
struct FileCloser {
    void operator()(std::FILE* file) const { std::fclose(file); }
};
using File = std::unique_ptr<std::FILE, FileCloser>;

bool OutputExists(const std::string& path)
{
    return File(std::fopen(path.c_str(), "rb")) != nullptr;
}

// Asks before replacing an existing output; end of input declines.
bool ConfirmOverwrite(const Options& options)
{
    if (options.forceOverwrite || !OutputExists(options.outputPath))
        return true;
    Print("output filename (%s) already exists, overwrite? (y/n)\n", options.outputPath.c_str());
    std::fflush(stdout);
    return std::getchar() == 'y';
}

// The name a triangle's object is known by: its object name, or its group name when that is empty.
const std::string& LookupKey(const Engine::ObjNames& names) { return names.object.empty() ? names.group : names.object; }

// Loads the light file; in the ambient-occlusion mode it is checked, then left out of the build.
int LoadLights(const Options& options, Engine::Lightmapper& lightmapper)
{
    if (options.lightsPath.empty())
        return ExitSuccess;
    LightFile lights;
    const int code = LoadLightFile(options.lightsPath, options.scale, lights, stderr);
    if (code != ExitSuccess)
        return code;
    if (Engine::AmbientOcclusionMode(options.settings))
        Print("lights of %s ignored: they only light a bake with -d 0 or less\n", options.lightsPath.c_str());
    else
        ApplyLightFile(lights, lightmapper);
    return ExitSuccess;
}

bool ParseObj(std::FILE* file, const Options& options, Engine::ObjReader& reader)
{
    Geom::Vec3 scale{options.scale, options.scale, options.scale};
    if (!reader.Parse(file, options.inputPath, scale, 0)) {
        // The parser's own message points at the broken line; the log alone is not shown.
        if (!reader.LastError().empty())
            PrintTo(stderr, "%s\n", reader.LastError().c_str());
        PrintTo(stderr, "failed to parse obj %s\n", options.inputPath.c_str());
        return false;
    }
    reader.ConvertAxes();
    return true;
}

}  // namespace

bool FeedTriangles(const Engine::ObjReader& reader, const Options& options, Engine::Lightmapper& lightmapper)
{
    bool normalsFromFile = reader.hasNormals && !options.forceNormals;
    lightmapper.Reserve(int32_t(reader.triangles.size()));
    // Decided once per name set: a big file has millions of triangles and a handful of names.
    std::vector<uint8_t> namedKey(reader.nameSets.size());
    for (size_t n = 0; n < namedKey.size(); n++)
        namedKey[n] = lightmapper.FindObject(LookupKey(reader.nameSets[n])) >= 0;
    for (size_t i = 0; i < reader.triangles.size(); i++) {
        const Engine::ObjTriangle& source = reader.triangles[i];
        Engine::InputTriangle input;
        bool hasUvs = source.uv[0] >= 0 && source.uv[1] >= 0 && source.uv[2] >= 0;
        bool hasNormals = source.normal[0] >= 0 && source.normal[1] >= 0 && source.normal[2] >= 0;
        if (normalsFromFile && !hasNormals)
            normalsFromFile = false;
        for (int k = 0; k < 3; k++) {
            input.positions[k] = reader.positions[size_t(source.vertex[k])];
            input.uvs[k] = hasUvs ? reader.uvs[size_t(source.uv[k])] : Geom::Vec2{0, 0};
            input.normals[k] = normalsFromFile ? reader.normals[size_t(source.normal[k])] : Geom::Vec3{0, 0, 0};
        }
        // No object flags are read yet: a triangle carries its name only when the light file
        // registered an object of that name, and otherwise belongs to the object with the
        // empty name.
        const bool named = source.names >= 0 && namedKey[size_t(source.names)];
        input.name = named ? LookupKey(reader.NamesOf(source)) : std::string();
        input.flags = 0;
        input.modelId = 0;
        input.faceId = int32_t(i);
        lightmapper.AddTriangle(input);
    }
    return normalsFromFile;
}

int RunDriver(const Options& options)
{
    Core::Timer stopwatch;
    stopwatch.Start();
    auto reader = std::make_unique<Engine::ObjReader>();
    auto lightmapper = std::make_unique<Engine::Lightmapper>(options.settings);
    if (int code = LoadLights(options, *lightmapper); code != ExitSuccess)
        return code;

    Print("Loading obj...\n");
    File input(std::fopen(options.inputPath.c_str(), "rb"));
    if (!input) {
        PrintTo(stderr, "failed to open %s!\n", options.inputPath.c_str());
        return ExitOpenFailed;
    }
    if (!ConfirmOverwrite(options)) {
        if (options.verbose)
            Print("aborted\n");
        return ExitSuccess;
    }
    if (!ParseObj(input.get(), options, *reader))
        return ExitParseFailed;
    input.reset();

    if (!FeedTriangles(*reader, options, *lightmapper)) {
        Print("Building vertex normals...\n");
        lightmapper->BuildVertexNormals(options.smoothingAngle);
    }
    reader.reset();

    Print("Building...\n");
    lightmapper->progress = ConsoleProgress;
    if (!lightmapper->Build(false, false)) {
        // A cancelled build left no charts or pages worth writing.
        Print("\naborted\n");
        return ExitCancelled;
    }

    Print("\nDone...\n");
    Print("Saving mesh:\n");
    if (!WriteMeshFile(*lightmapper, options.outputPath)) {
        PrintTo(stderr, "failed to write %s\n", options.outputPath.c_str());
        return ExitWriteFailed;
    }

    Print("Saving lightmaps:\n");
    std::vector<std::string> failedImages = WriteLightmapImages(*lightmapper);
    for (const std::string& name : failedImages)
        PrintTo(stderr, "failed to write %s\n", name.c_str());
    if (!failedImages.empty())
        return ExitWriteFailed;

    Print("took %0lf secs\n", stopwatch.Stop() / 1000.0);
    return ExitSuccess;
}

}  // namespace App
