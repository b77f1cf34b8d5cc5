#include "app/driver.h"

#include <cmath>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "app/console.h"
#include "app/flags_file.h"
#include "app/gltf_writer.h"
#include "app/input_file.h"
#include "app/light_file.h"
#include "app/lightmap_writer.h"
#include "app/mesh_writer.h"
#include "app/output_files.h"
#include "app/page_images.h"
#include "app/stop_request.h"
#include "core/platform/platform.h"
#include "core/stream.h"
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

// A stop request (Ctrl-C, kill) ended the run; whatever it had written is gone.
int Aborted()
{
    Print("\naborted\n");
    int code = StopRequestExitCode();
    return code != 0 ? code : ExitCancelled;
}

int WriteFailed(const std::string& path, const std::string& reason)
{
    PrintTo(stderr, "failed to write %s: %s\n", path.c_str(), reason.c_str());
    return ExitWriteFailed;
}

// Before anything is baked: a folder the outputs cannot be created in would otherwise only show
// once the whole bake is done.
int CheckOutputFolders(const Options& options)
{
    std::string reason;
    if (!CanCreateFilesBeside(options.outputPath, reason))
        return WriteFailed(options.outputPath, reason);
    const std::string firstPage = LightmapFileName(0);
    if (!CanCreateFilesBeside(firstPage, reason))
        return WriteFailed(firstPage, reason);
    return ExitSuccess;
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
        // A read cut short by a stop request is no fault of the file.
        if (StopRequested())
            return false;
        // The parser's own message points at the broken line; the log alone is not shown.
        if (!reader.LastError().empty())
            PrintTo(stderr, "%s\n", reader.LastError().c_str());
        PrintTo(stderr, "failed to parse obj %s\n", options.inputPath.c_str());
        return false;
    }
    reader.ConvertAxes();
    return true;
}

// One line for everything the mesh lost on the way in, so that a partial bake never passes
// silently.
void ReportDropped(const DroppedTriangles& dropped)
{
    if (dropped.degenerate + dropped.collinear + dropped.nonFinite + dropped.shortFaces == 0)
        return;
    PrintTo(stderr,
            "warning: dropped %d degenerate, %d collinear and %d non-finite triangles and %d faces with fewer than 3 "
            "corners\n",
            dropped.degenerate, dropped.collinear, dropped.nonFinite, dropped.shortFaces);
}

uint64_t MegabytesRoundedUp(uint64_t bytes) { return (bytes + (uint64_t(1) << 20) - 1) >> 20; }

// The build returned without finishing: why, and the exit code.
int BuildStopped(const Engine::Lightmapper& lightmapper)
{
    const Engine::BuildStopReason& why = lightmapper.LastStop();
    switch (why.stop) {
    case Engine::BuildStop::MemoryLimit:
        Print("\n");
        PrintTo(stderr, "not enough memory: this bake needs about %llu MB, %llu MB are available; use a larger -t\n",
                static_cast<unsigned long long>(MegabytesRoundedUp(why.neededBytes)),
                static_cast<unsigned long long>(lightmapper.Settings().memoryLimit >> 20));
        return ExitOutOfMemory;
    case Engine::BuildStop::ChartLayout:
        Print("\n");
        PrintTo(stderr, "cannot lay out a chart of %d triangles, %g units across: scale the mesh down with -i\n",
                why.groupTriangles, double(why.groupExtent));
        return ExitLayoutFailed;
    default:
        return Aborted();
    }
}

// Reads the pages back from where they were written and embeds them: the .glb holds exactly
// the images that end up beside it.
bool WriteGlbOutput(const Engine::Lightmapper& lightmapper, OutputFiles& outputs, const std::vector<int32_t>& pageFiles,
                    int32_t glbFile, std::string& reason)
{
    BakedMesh mesh = CollectBakedMesh(lightmapper);
    std::vector<std::string> pagePaths;
    for (int32_t file : pageFiles)
        pagePaths.push_back(outputs.WrittenPath(file));
    if (ReadPageFiles(pagePaths, mesh.pagePngs, reason) != PageReadResult::Ok)
        return false;
    Core::FileOutputStream stream(outputs.File(glbFile));
    return WriteGlb(mesh, stream, reason) && outputs.Close(glbFile, reason);
}

// Writes the mesh file (or .glb) and every page under temporary names and renames them into
// place only when all are complete, the pages before the mesh file that names them.
int SaveOutputs(const Engine::Lightmapper& lightmapper, const Options& options)
{
    const int32_t badTriangle = FirstNonFiniteTriangle(lightmapper);
    if (badTriangle >= 0) {
        PrintTo(stderr, "triangle %d has a coordinate that is not a finite number; nothing was written\n",
                badTriangle);
        return ExitLayoutFailed;
    }
    OutputFiles outputs;
    std::string reason;
    const int32_t pageCount = lightmapper.Atlases(0).PageCount();
    std::vector<int32_t> pageFiles;
    for (int32_t page = 0; page < pageCount; page++) {
        pageFiles.push_back(outputs.Add(LightmapFileName(page), reason));
        if (pageFiles.back() < 0)
            return WriteFailed(LightmapFileName(page), reason);
    }
    const int32_t meshFile = outputs.Add(options.outputPath, reason);
    if (meshFile < 0)
        return WriteFailed(options.outputPath, reason);

    const bool glb = IsGlbPath(options.outputPath);
    if (!glb) {
        Print("Saving mesh:\n");
        if (!WriteMeshLines(lightmapper, outputs.File(meshFile), reason) || !outputs.Close(meshFile, reason))
            return StopRequested() ? Aborted() : WriteFailed(options.outputPath, reason);
    }
    Print("Saving lightmaps:\n");
    std::vector<std::FILE*> pageStreams;
    for (int32_t file : pageFiles)
        pageStreams.push_back(outputs.File(file));
    std::vector<std::string> pageErrors = WriteLightmapPages(lightmapper, pageStreams);
    for (int32_t page = 0; page < pageCount; page++) {
        reason = pageErrors[size_t(page)];
        if (!reason.empty() || !outputs.Close(pageFiles[size_t(page)], reason))
            return StopRequested() ? Aborted() : WriteFailed(LightmapFileName(page), reason);
    }
    if (glb) {
        Print("Saving mesh:\n");
        if (!WriteGlbOutput(lightmapper, outputs, pageFiles, meshFile, reason))
            return StopRequested() ? Aborted() : WriteFailed(options.outputPath, reason);
    }
    // Past this check the files go into place; a request arriving during the renames is too
    // late to stop the run.
    if (StopRequested())
        return Aborted();
    std::string failedPath;
    if (!outputs.Commit(failedPath, reason))
        return WriteFailed(failedPath, reason);
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

// Whether a triangle's corners and its area are finite numbers: what tells a triangle the
// lightmapper refused as degenerate from one it refused as beyond the float range.
bool HasFiniteArea(const Engine::InputTriangle& input)
{
    const Geom::Vec3* p = input.positions;
    for (int k = 0; k < 3; k++) {
        if (!std::isfinite(p[k].x) || !std::isfinite(p[k].y) || !std::isfinite(p[k].z))
            return false;
    }
    return std::isfinite(Geom::LengthSquared(Geom::Cross(p[2] - p[0], p[1] - p[0])));
}

}  // namespace

bool FeedTriangles(const Engine::ObjReader& reader, const Options& options, Engine::Lightmapper& lightmapper)
{
    return FeedTriangles(reader, options, ObjectFlagsTable(), lightmapper);
}

bool FeedTriangles(const Engine::ObjReader& reader, const Options& options, const ObjectFlagsTable& flagsTable,
                   Engine::Lightmapper& lightmapper, DroppedTriangles* dropped)
{
    if (dropped) {
        *dropped = DroppedTriangles();
        dropped->collinear = reader.collinearTriangles;
        dropped->shortFaces = reader.shortFaces;
    }
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
        if (lightmapper.AddTriangle(input) < 0 && dropped)
            (HasFiniteArea(input) ? dropped->degenerate : dropped->nonFinite)++;
    }
    return normalsFromFile;
}

int RunDriver(const Options& options)
{
    Core::Timer stopwatch;
    stopwatch.Start();
    auto reader = std::make_unique<Engine::ObjReader>();
    Engine::LightmapperSettings settings = options.settings;
    settings.memoryLimit = Core::Platform::UsableMemoryBytes();
    auto lightmapper = std::make_unique<Engine::Lightmapper>(settings);
    // Declared after the lightmapper: it lets go of it before the lightmapper goes.
    CancelOnStopRequest stopCancelsBuild(*lightmapper);
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
    File input(OpenInputFile(options.inputPath));
    if (!input) {
        PrintTo(stderr, "failed to open %s!\n", options.inputPath.c_str());
        return ExitOpenFailed;
    }
    if (int code = CheckOutputFolders(options); code != ExitSuccess)
        return code;
    if (!ConfirmOverwrite(options)) {
        if (StopRequested())
            return Aborted();
        if (options.verbose)
            Print("aborted\n");
        return ExitSuccess;
    }
    if (!ParseObj(input.get(), options, *reader))
        return StopRequested() ? Aborted() : ExitParseFailed;
    input.reset();

    DroppedTriangles dropped;
    const bool normalsFromFile = FeedTriangles(*reader, options, flagsTable, *lightmapper, &dropped);
    reader.reset();
    ReportDropped(dropped);
    if (lightmapper->Mesh().TriangleCount() == 0) {
        PrintTo(stderr, "no triangles to bake in %s\n", options.inputPath.c_str());
        return ExitParseFailed;
    }
    if (!normalsFromFile) {
        Print("Building vertex normals...\n");
        lightmapper->BuildVertexNormals(options.smoothingAngle);
    }
    if (StopRequested())
        return Aborted();

    Print("Building...\n");
    lightmapper->progress = ConsoleProgress;
    if (!lightmapper->Build(false, false) || StopRequested())
        return BuildStopped(*lightmapper);

    Print("\nDone...\n");
    if (int code = SaveOutputs(*lightmapper, options); code != ExitSuccess)
        return code;
    Print("took %0lf secs\n", stopwatch.Stop() / 1000.0);
    return ExitSuccess;
}

}  // namespace App
