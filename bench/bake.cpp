// One whole bake with the tool's own pipeline and outputs, timed stage by stage:
//   ketra-bake MODEL.obj [tool options...]
// Stage times come from the engine log (each "LM: ..." line starts a stage), the ambient
// occlusion rate from the covered texels counted when that stage starts. Prints name: value
// lines. Outputs go to a temporary folder that is removed afterwards.
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "app/driver.h"
#include "app/light_file.h"
#include "app/lightmap_writer.h"
#include "app/mesh_writer.h"
#include "core/core_module.h"
#include "core/heap.h"
#include "core/log.h"
#include "core/timer.h"
#include "engine/lightmapper/lightmapper.h"
#include "engine/mesh/obj_reader.h"
#include "geom/geom_module.h"
#include "image/image_module.h"

namespace {

struct StageMark {
    std::string name;
    int64_t microseconds;
};

int64_t CoveredTexels(const Engine::LmCharts& charts)
{
    int64_t covered = 0;
    for (const Engine::LmGroup& group : charts.groups) {
        for (int32_t texel = 0; texel < group.TexelCount(); texel++)
            covered += group.IsCovered(texel);
    }
    return covered;
}

// Seconds between consecutive marks, under the name of the earlier one.
double StageSeconds(const std::vector<StageMark>& marks, const std::string& name)
{
    for (size_t i = 0; i + 1 < marks.size(); i++) {
        if (marks[i].name == name)
            return double(marks[i + 1].microseconds - marks[i].microseconds) * 1e-6;
    }
    return 0;
}

// Seconds from the mark `from` to the mark `to`; 0 when either is missing.
double SecondsBetween(const std::vector<StageMark>& marks, const std::string& from, const std::string& to)
{
    int64_t start = -1, end = -1;
    for (const StageMark& mark : marks) {
        if (mark.name == from && start < 0)
            start = mark.microseconds;
        if (mark.name == to && start >= 0 && end < 0)
            end = mark.microseconds;
    }
    return start >= 0 && end >= 0 ? double(end - start) * 1e-6 : 0;
}

}  // namespace

int main(int argc, char** argv)
{
    std::vector<std::string> args(argv, argv + argc);
    args.push_back("bench-out.txt");
    App::Options options;
    if (argc < 2 || App::ParseOptions(args, options, stderr) != App::ParseOutcome::Run) {
        std::fprintf(stderr, "usage: ketra-bake MODEL.obj [tool options]\n");
        return 1;
    }
    Core::CoreInit();
    Geom::GeomInit();
    Image::ImageInit();

    Core::PreciseTimer clock;
    clock.Start();
    std::vector<StageMark> marks;
    int listener = Core::AddLogListener([&](const std::string& line) {
        size_t at = line.find("LM: ");
        if (at != std::string::npos)
            marks.push_back({line.substr(at + 4), clock.Peek()});
    });

    Engine::ObjReader reader;
    std::FILE* file = std::fopen(options.inputPath.c_str(), "rb");
    if (!file || !reader.Parse(file, options.inputPath, {options.scale, options.scale, options.scale}, 0)) {
        std::fprintf(stderr, "cannot read %s\n", options.inputPath.c_str());
        return 1;
    }
    std::fclose(file);
    reader.ConvertAxes();
    double parseSeconds = double(clock.Peek()) * 1e-6;

    Engine::Lightmapper lm(options.settings);
    const bool lighting = !Engine::AmbientOcclusionMode(options.settings);
    if (!options.lightsPath.empty()) {
        App::LightFile lights;
        if (App::LoadLightFile(options.lightsPath, options.scale, lights, stderr) != 0)
            return 1;
        if (lighting)
            App::ApplyLightFile(lights, lm);
    }
    if (!App::FeedTriangles(reader, options, lm))
        lm.BuildVertexNormals(options.smoothingAngle);
    double intakeSeconds = double(clock.Peek()) * 1e-6 - parseSeconds;

    Engine::LmCharts charts;
    lm.Build(false, false, &charts);
    marks.push_back({"end", clock.Peek()});
    const int64_t covered = CoveredTexels(charts);
    charts = Engine::LmCharts();

    std::filesystem::path outDir = std::filesystem::temp_directory_path() / ("ketra-bake-" + std::to_string(getpid()));
    std::filesystem::create_directories(outDir);
    std::filesystem::path previous = std::filesystem::current_path();
    std::filesystem::current_path(outDir);
    int64_t beforeOutputs = clock.Peek();
    bool meshWritten = App::WriteMeshFile(lm, "bench-out.txt");
    int64_t afterMesh = clock.Peek();
    bool imagesWritten = App::WriteLightmapImages(lm).empty();
    int64_t done = clock.Peek();
    std::filesystem::current_path(previous);
    std::filesystem::remove_all(outDir);
    Core::RemoveLogListener(listener);

    double aoSeconds = StageSeconds(marks, "Ambient occlusion");
    int32_t samples = std::max(options.settings.sampleCount, 0);
    std::printf("model: %s\n", options.inputPath.c_str());
    std::printf("triangles: %d\n", lm.Mesh().TriangleCount());
    std::printf("pages: %d\n", lm.Atlases(0).PageCount());
    std::printf("parse_s: %.3f\n", parseSeconds);
    std::printf("intake_s: %.3f\n", intakeSeconds);
    std::printf("connectivity_s: %.3f\n", StageSeconds(marks, "building connectivity"));
    std::printf("tree_s: %.3f\n", StageSeconds(marks, "building tree"));
    std::printf("grouping_s: %.3f\n", StageSeconds(marks, "grouping") + StageSeconds(marks, "allocated, sorting..."));
    std::printf("ao_s: %.3f\n", aoSeconds);
    if (lighting) {
        // Rays of each bounce: every covered texel casts the bounce's share of the samples.
        const double preSeconds = StageSeconds(marks, "pre-raytracing");
        // The bounces log marks of their own, so the gather runs up to the next stage's mark.
        const double gatherSeconds = SecondsBetween(marks, "final gather", "raytracing");
        std::printf("pre_raytracing_s: %.3f\n", preSeconds);
        std::printf("final_gather_s: %.3f\n", gatherSeconds);
        int64_t gatherRays = 0;
        int32_t bounceSamples = samples;
        for (int32_t i = 0; i < 4 && bounceSamples > 0; i++, bounceSamples /= 4) {
            const double seconds = StageSeconds(marks, "bounce " + std::to_string(i));
            gatherRays += covered * bounceSamples;
            std::printf("bounce_%d_s: %.3f\n", i, seconds);
            std::printf("bounce_%d_mrays_per_s: %.2f\n", i, seconds > 0 ? double(covered) * bounceSamples / seconds * 1e-6 : 0.0);
        }
        std::printf("gather_mrays_per_s: %.2f\n", gatherSeconds > 0 ? double(gatherRays) / gatherSeconds * 1e-6 : 0.0);
        std::printf("raytracing_s: %.3f\n", StageSeconds(marks, "raytracing"));
    }
    // Seam fixing (-S) runs inside the atlas stage and logs a stage line of its own.
    const double seamSeconds = StageSeconds(marks, "fix seams");
    std::printf("atlas_s: %.3f\n", StageSeconds(marks, "atlas") + seamSeconds);
    std::printf("seams_s: %.3f\n", seamSeconds);
    std::printf("mesh_s: %.3f\n", double(afterMesh - beforeOutputs) * 1e-6);
    std::printf("images_s: %.3f\n", double(done - afterMesh) * 1e-6);
    std::printf("total_s: %.3f\n", double(done) * 1e-6);
    std::printf("covered_texels: %lld\n", static_cast<long long>(covered));
    std::printf("samples: %d\n", samples);
    std::printf("ao_mrays_per_s: %.2f\n", aoSeconds > 0 ? double(covered) * samples / aoSeconds * 1e-6 : 0.0);
    std::printf("peak_mb: %.0f\n", double(Core::GetHeapStats().peakAllocSize) / 1048576.0);
    std::printf("outputs_ok: %d\n", meshWritten && imagesWritten ? 1 : 0);

    Image::ImageShutdown();
    Geom::GeomShutdown();
    Core::CoreShutdown();
    return meshWritten && imagesWritten ? 0 : 1;
}
