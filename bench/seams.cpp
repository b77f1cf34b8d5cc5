// Seam fixing, measured on whole bakes of one model:
//   ketra-seams [--runs N] [--threads N] MODEL.obj [tool options]
// Bakes the model without and with -S, alternating, N times each (default 1), and prints (with
// -d 0 and -L, lights from the light file; only basis 0 is measured):
// - the mean squared RGB difference across seam edges (bilinear samples of the final page at
//   matching points on both sides, the points and measure of the optimiser) without and with -S;
// - the same on pages taken straight after seam fixing, before the second bleed, for a bake
//   that is fixed here from the pages without -S (they equal the pages after the first bleed);
// - build wall and processor seconds (medians), the seam stage's own seconds in the bakes, their
//   ratios, and the stage run alone N times on copies of the pages it starts from;
// - a hash of each bake's pages, to compare runs with different --threads.
// Prints name: value lines.
#include <sys/resource.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "app/driver.h"
#include "app/light_file.h"
#include "bench/bench_support.h"
#include "core/core_module.h"
#include "core/log.h"
#include "core/timer.h"
#include "engine/lightmapper/lightmapper.h"
#include "engine/lightmapper/seams.h"
#include "engine/mesh/obj_reader.h"
#include "geom/geom_module.h"
#include "image/image_module.h"

namespace {

double ProcessorSeconds()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) * 1e-6;
}

struct Bake {
    double wallSeconds = 0;
    double processorSeconds = 0;
    double seamSeconds = 0;  // from "LM: fix seams" to the atlas summary line
    double meanMismatch = 0;
    double meanDistance = 0;  // mean of the per-point RGB distance, for a feel of the size
    size_t points = 0;
    std::unique_ptr<Engine::Lightmapper> lightmapper;
    Engine::LmCharts charts;
};

// Mean squared and mean plain RGB distance across the seams of a finished bake.
void MeasureSeams(Bake& bake, const std::vector<Engine::StitchingPoint>& points, const Engine::Atlas& pages)
{
    bake.points = points.size();
    double sum = 0, distance = 0;
    for (const Engine::StitchingPoint& p : points) {
        const double d = Engine::ColourDistanceSquared(
            pages.Page(p.pageA)->bitmap.SampleBilinear(p.positionA.x, p.positionA.y),
            pages.Page(p.pageB)->bitmap.SampleBilinear(p.positionB.x, p.positionB.y));
        sum += d;
        distance += std::sqrt(d);
    }
    bake.meanMismatch = points.empty() ? 0 : sum / double(points.size());
    bake.meanDistance = points.empty() ? 0 : distance / double(points.size());
}

Bake RunBake(const Engine::ObjReader& reader, const App::Options& options, const App::LightFile& lights,
             bool fixSeams, int32_t threads)
{
    Bake bake;
    Engine::LightmapperSettings settings = options.settings;
    if (fixSeams)
        settings.flags |= Engine::FixLightmapSeams;
    else
        settings.flags &= ~uint32_t(Engine::FixLightmapSeams);
    bake.lightmapper = std::make_unique<Engine::Lightmapper>(settings);
    Engine::Lightmapper& lm = *bake.lightmapper;
    if (threads > 0)
        lm.Pool().Start(threads);
    if (!Engine::AmbientOcclusionMode(settings))
        App::ApplyLightFile(lights, lm);
    if (!App::FeedTriangles(reader, options, lm))
        lm.BuildVertexNormals(options.smoothingAngle);

    Core::PreciseTimer clock;
    clock.Start();
    int64_t seamStart = -1, seamEnd = -1;
    int listener = Core::AddLogListener([&](const std::string& line) {
        if (line.find("LM: fix seams") != std::string::npos)
            seamStart = clock.Peek();
        else if (line.find("Number of atlases") != std::string::npos)
            seamEnd = clock.Peek();
    });
    const double processorStart = ProcessorSeconds();
    lm.Build(false, false, &bake.charts);
    bake.processorSeconds = ProcessorSeconds() - processorStart;
    bake.wallSeconds = double(clock.Stop()) * 1e-6;
    Core::RemoveLogListener(listener);
    if (seamStart >= 0 && seamEnd >= seamStart)
        bake.seamSeconds = double(seamEnd - seamStart) * 1e-6;
    return bake;
}

// FNV-1a over every page's size and pixels: bakes with different thread counts compare by it.
uint64_t PagesHash(const Engine::Atlas& pages)
{
    uint64_t hash = 14695981039346656037ull;
    auto add = [&](uint32_t word) {
        for (int shift = 0; shift < 32; shift += 8)
            hash = (hash ^ ((word >> shift) & 0xFF)) * 1099511628211ull;
    };
    for (int32_t p = 0; p < pages.PageCount(); p++) {
        const Image::Bitmap& bitmap = pages.Page(p)->bitmap;
        add(uint32_t(bitmap.Width()));
        add(uint32_t(bitmap.Height()));
        for (int32_t y = 0; y < bitmap.Height(); y++)
            for (int32_t x = 0; x < bitmap.Width(); x++)
                add(bitmap.At(x, y));
    }
    return hash;
}

Engine::Atlas CopyPages(const Engine::Atlas& built)
{
    Engine::Atlas pages(built.PageWidth(), built.PageHeight(), built.fillColour);
    for (int32_t p = 0; p < built.PageCount(); p++) {
        pages.pages.push_back(std::make_unique<Engine::AtlasPage>(built.PageWidth(), built.PageHeight(),
                                                                   built.fillColour, false));
        pages.pages.back()->bitmap = built.Page(p)->bitmap;
    }
    return pages;
}

// Fixes the seams of the bake without -S by hand and measures before the second bleed.
double MismatchBeforeSecondBleed(const Bake& plain, const std::vector<Engine::StitchingPoint>& points,
                                 bool bounded, const Engine::BuildProgress& progress)
{
    Engine::Atlas pages = CopyPages(plain.lightmapper->Atlases(0));
    const Engine::StitchingTexels texels = Engine::CollectStitchingTexels(points, pages);
    std::vector<uint32_t> start;
    for (const auto& texel : texels.texels)
        start.push_back(pages.Page(texel.page)->bitmap.At(texel.x, texel.y));
    Engine::OptimizeSeamBasis({points, texels, start, bounded}, pages, progress);
    return points.empty() ? 0 : Engine::SeamMismatch(points, pages) / double(points.size());
}

}  // namespace

int main(int argc, char** argv)
{
    int runs = 1, threads = 0;
    std::vector<std::string> args{argv[0]};
    for (int i = 1; i < argc; i++) {
        if (std::strcmp(argv[i], "--runs") == 0 && i + 1 < argc)
            runs = std::max(1, std::atoi(argv[++i]));
        else if (std::strcmp(argv[i], "--threads") == 0 && i + 1 < argc)
            threads = std::atoi(argv[++i]);
        else
            args.push_back(argv[i]);
    }
    args.push_back("bench-out.txt");
    App::Options options;
    if (args.size() < 3 || App::ParseOptions(args, options, stderr) != App::ParseOutcome::Run) {
        std::fprintf(stderr, "usage: ketra-seams [--runs N] [--threads N] MODEL.obj [tool options]\n");
        return 1;
    }
    Core::CoreInit();
    Geom::GeomInit();
    Image::ImageInit();

    Engine::ObjReader reader;
    std::FILE* file = std::fopen(options.inputPath.c_str(), "rb");
    if (!file || !reader.Parse(file, options.inputPath, {options.scale, options.scale, options.scale}, 0)) {
        std::fprintf(stderr, "cannot read %s\n", options.inputPath.c_str());
        return 1;
    }
    std::fclose(file);
    reader.ConvertAxes();
    App::LightFile lights;
    if (!options.lightsPath.empty() && App::LoadLightFile(options.lightsPath, options.scale, lights, stderr) != 0)
        return 1;

    std::vector<double> wall[2], processor[2], seamSeconds;
    Bake last[2];
    for (int run = 0; run < runs; run++) {
        // Alternate which comes first, so that neither always meets a warmer machine.
        for (int k = 0; k < 2; k++) {
            const bool fix = (run + k) % 2 == 1;
            Bake bake = RunBake(reader, options, lights, fix, threads);
            wall[fix].push_back(bake.wallSeconds);
            processor[fix].push_back(bake.processorSeconds);
            if (fix)
                seamSeconds.push_back(bake.seamSeconds);
            last[fix] = std::move(bake);
        }
    }

    // The seams of both bakes are the same: grouping and packing do not look at -S.
    Engine::Lightmapper& lm = *last[0].lightmapper;
    const std::vector<Engine::SeamEdge> edges = Engine::FindSeamEdges(lm.Mesh(), lm.Settings(), last[0].charts.groups);
    const std::vector<Engine::StitchingPoint> points = Engine::ExtractStitchingPoints(lm.Mesh(), edges, lm.Atlases(0));
    for (int k = 0; k < 2; k++)
        MeasureSeams(last[k], points, last[k].lightmapper->Atlases(0));
    const double beforeBleed =
        MismatchBeforeSecondBleed(last[0], points, Engine::AmbientOcclusionMode(lm.Settings()), lm.Progress());

    // The stage alone, as the bake runs it, on copies of the pages it starts from.
    std::vector<double> stageSeconds, stageProcessorSeconds;
    Engine::LightmapperSettings fixing = lm.Settings();
    fixing.flags |= Engine::FixLightmapSeams;
    const int listener = Core::AddLogListener([](const std::string&) {});
    for (int run = 0; run < runs; run++) {
        Engine::Atlas pages[Engine::maxBases];
        pages[0] = CopyPages(lm.Atlases(0));
        Core::PreciseTimer timer;
        timer.Start();
        const double processorStart = ProcessorSeconds();
        Engine::FixSeams(lm.Mesh(), fixing, lm.Pool(), lm.Progress(), last[0].charts.groups, pages);
        stageProcessorSeconds.push_back(ProcessorSeconds() - processorStart);
        stageSeconds.push_back(double(timer.Stop()) * 1e-6);
    }
    Core::RemoveLogListener(listener);

    const double wallPlain = Bench::Median(wall[0]), wallFixed = Bench::Median(wall[1]);
    const double cpuPlain = Bench::Median(processor[0]), cpuFixed = Bench::Median(processor[1]);
    std::printf("model: %s\n", options.inputPath.c_str());
    std::printf("triangles: %d\n", lm.Mesh().TriangleCount());
    std::printf("runs: %d\n", runs);
    std::printf("seam_edges: %zu\n", edges.size());
    std::printf("stitching_points: %zu\n", points.size());
    std::printf("mismatch_without_S: %.3f\n", last[0].meanMismatch);
    std::printf("mismatch_with_S: %.3f\n", last[1].meanMismatch);
    std::printf("mismatch_ratio: %.3f\n", last[0].meanMismatch > 0 ? last[1].meanMismatch / last[0].meanMismatch : 0.0);
    std::printf("mismatch_with_S_before_second_bleed: %.3f\n", beforeBleed);
    std::printf("distance_without_S: %.3f\n", last[0].meanDistance);
    std::printf("distance_with_S: %.3f\n", last[1].meanDistance);
    std::printf("build_s_without_S: %.3f\n", wallPlain);
    std::printf("build_s_with_S: %.3f\n", wallFixed);
    std::printf("build_wall_ratio: %.3f\n", wallPlain > 0 ? wallFixed / wallPlain : 0.0);
    std::printf("build_cpu_s_without_S: %.3f\n", cpuPlain);
    std::printf("build_cpu_s_with_S: %.3f\n", cpuFixed);
    std::printf("build_cpu_ratio: %.3f\n", cpuPlain > 0 ? cpuFixed / cpuPlain : 0.0);
    std::printf("pages_hash_without_S: %016llx\n", (unsigned long long)PagesHash(last[0].lightmapper->Atlases(0)));
    std::printf("pages_hash_with_S: %016llx\n", (unsigned long long)PagesHash(last[1].lightmapper->Atlases(0)));
    std::printf("seams_s: %.3f\n", Bench::Median(seamSeconds));
    std::printf("stage_alone_s: %.3f\n", Bench::Median(stageSeconds));
    std::printf("stage_alone_cpu_s: %.3f\n", Bench::Median(stageProcessorSeconds));

    last[0] = Bake();
    last[1] = Bake();
    Image::ImageShutdown();
    Geom::GeomShutdown();
    Core::CoreShutdown();
    return 0;
}
