#include "app/driver.h"

#include <cstdio>
#include <memory>

#include "app/console.h"
#include "app/flags_file.h"
#include "app/gltf_writer.h"
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

// The flags entry of each of the reader's name sets: the object name decides, or the group name
// when the object has none. Looked up once per name set, not once per triangle.
std::vector<const ObjectFlags*> FlagsPerNameSet(const Engine::ObjReader& reader, const ObjectFlagsTable& table)
{
    std::vector<const ObjectFlags*> entries(reader.nameSets.size(), nullptr);
    if (table.IsEmpty())
        return entries;
    for (size_t i = 0; i < reader.nameSets.size(); i++) {
        const Engine::ObjNames& names = reader.nameSets[i];
        entries[i] = table.Find(names.object.empty() ? names.group : names.object);
    }
    return entries;
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
    std::vector<const ObjectFlags*> flagsOfNameSet = FlagsPerNameSet(reader, flagsTable);
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
        // Objects the flags file does not list all share the record with the empty name.
        const ObjectFlags* entry = source.names >= 0 ? flagsOfNameSet[size_t(source.names)] : nullptr;
        if (entry) {
            input.name = entry->name;
            input.flags = entry->flags;
            input.modelId = entry->modelId;
        } else {
            input.name.clear();
            input.flags = 0;
            input.modelId = 0;
        }
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
