#include "app/driver.h"

#include <cstdio>
#include <memory>

#include "app/console.h"
#include "app/flags_file.h"
#include "app/gltf_writer.h"
#include "app/light_file.h"
#include "app/lightmap_writer.h"
#include "app/mesh_writer.h"
#include "app/page_images.h"
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

int SaveMeshFile(const Engine::Lightmapper& lightmapper, const std::string& path)
{
    Print("Saving mesh:\n");
    if (!WriteMeshFile(lightmapper, path)) {
        PrintTo(stderr, "failed to write %s\n", path.c_str());
        return ExitWriteFailed;
    }
    return ExitSuccess;
}

int SaveLightmaps(const Engine::Lightmapper& lightmapper)
{
    Print("Saving lightmaps:\n");
    std::vector<std::string> failedImages = WriteLightmapImages(lightmapper);
    for (const std::string& name : failedImages)
        PrintTo(stderr, "failed to write %s\n", name.c_str());
    return failedImages.empty() ? ExitSuccess : ExitWriteFailed;
}

// Comes after the pages: it embeds the PNG files read back from disk, so the .glb holds exactly
// the images that lie beside it.
int SaveGlb(const Engine::Lightmapper& lightmapper, const std::string& path)
{
    Print("Saving mesh:\n");
    BakedMesh mesh = CollectBakedMesh(lightmapper);
    std::string error;
    if (ReadPageImages(lightmapper.Atlases(0).PageCount(), "", mesh.pagePngs, error) != PageReadResult::Ok ||
        !WriteGlbFile(mesh, path, error)) {
        PrintTo(stderr, "failed to write %s: %s\n", path.c_str(), error.c_str());
        return ExitWriteFailed;
    }
    return ExitSuccess;
}

// What a name set of the reader makes of its triangles' object: the flags file's entry for it,
// if any, and whether the triangles carry the name (a file named the object: the flags file, or
// the light file through the object it registered). The object name decides, or the group name
// when the object has none. Worked out once per name set: a big file has millions of triangles
// and a handful of names.
struct NameSetObject {
    const std::string* name = nullptr;
    const ObjectFlags* flags = nullptr;
    bool named = false;
};

std::vector<NameSetObject> ObjectsOfNameSets(const Engine::ObjReader& reader, const ObjectFlagsTable& table,
                                             const Engine::Lightmapper& lightmapper)
{
    std::vector<NameSetObject> objects(reader.nameSets.size());
    for (size_t i = 0; i < reader.nameSets.size(); i++) {
        NameSetObject& object = objects[i];
        object.name = &LookupKey(reader.nameSets[i]);
        object.flags = table.IsEmpty() ? nullptr : table.Find(*object.name);
        object.named = object.flags || lightmapper.FindObject(*object.name) >= 0;
    }
    return objects;
}

}  // namespace

bool FeedTriangles(const Engine::ObjReader& reader, const Options& options, Engine::Lightmapper& lightmapper)
{
    return FeedTriangles(reader, options, ObjectFlagsTable(), lightmapper);
}

bool FeedTriangles(const Engine::ObjReader& reader, const Options& options, const ObjectFlagsTable& flagsTable,
                   Engine::Lightmapper& lightmapper)
{
    bool normalsFromFile = reader.hasNormals && !options.forceNormals;
    const std::vector<NameSetObject> objectOfNameSet = ObjectsOfNameSets(reader, flagsTable, lightmapper);
    lightmapper.Reserve(int32_t(reader.triangles.size()));
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
        // Objects that neither file names all share the record with the empty name.
        const NameSetObject none;
        const NameSetObject& object = source.names >= 0 ? objectOfNameSet[size_t(source.names)] : none;
        input.name = object.named ? *object.name : std::string();
        input.flags = object.flags ? object.flags->flags : 0;
        input.modelId = object.flags ? object.flags->modelId : 0;
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
    ObjectFlagsTable flagsTable;

    if (!options.flagsPath.empty()) {
        int code = LoadObjectFlags(options.flagsPath, flagsTable, *lightmapper);
        if (code != ExitSuccess)
            return code;
    }
    if (!flagsTable.IsEmpty())
        PrintObjectFlags(flagsTable);
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

    if (!FeedTriangles(*reader, options, flagsTable, *lightmapper)) {
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
    const bool glb = IsGlbPath(options.outputPath);
    int saved = glb ? SaveLightmaps(*lightmapper) : SaveMeshFile(*lightmapper, options.outputPath);
    if (saved == ExitSuccess)
        saved = glb ? SaveGlb(*lightmapper, options.outputPath) : SaveLightmaps(*lightmapper);
    if (saved != ExitSuccess)
        return saved;

    Print("took %0lf secs\n", stopwatch.Stop() / 1000.0);
    return ExitSuccess;
}

}  // namespace App
