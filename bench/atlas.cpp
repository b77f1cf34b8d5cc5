// The atlas stage, measured two ways:
//   ketra-atlas holes [runs]               hole give-back of one 2000 x 2000 chart with thin coverage
//   ketra-atlas MODEL.obj [tool options]   the whole atlas stage of a model, repeated on its charts
// Prints name: value lines; times are medians over the runs. The model run also prints a hash of
// everything the stage leaves behind (page sizes and pixels, triangle pages and coordinates), so
// that a faster stage can be checked to give the same atlas.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <memory>
#include <string>
#include <vector>

#include "app/driver.h"
#include "bench/bench_support.h"
#include "core/core_module.h"
#include "core/hash_bytes.h"
#include "core/log.h"
#include "core/timer.h"
#include "engine/lightmapper/atlas_build.h"
#include "engine/lightmapper/lightmapper.h"
#include "engine/mesh/obj_reader.h"
#include "geom/geom_module.h"
#include "image/image_module.h"

namespace {

// A chart of side x side texels whose coverage is a few thin shapes: almost all of it is holes.
std::unique_ptr<Engine::LmGroup> ThinChart(int32_t side, const char* pattern)
{
    auto group = std::make_unique<Engine::LmGroup>();
    group->gridWidth = side;
    group->gridHeight = side;
    group->coverage.assign((size_t(side) * size_t(side) + 63) / 64, 0);
    group->basis[0].assign(size_t(side) * size_t(side), Geom::Vec3{0.5f, 0.5f, 0.5f});
    auto cover = [&](int32_t x, int32_t y) {
        if (x >= 0 && y >= 0 && x < side && y < side)
            group->SetCovered(y * side + x);
    };
    if (std::strcmp(pattern, "diagonals") == 0) {
        for (int32_t i = 0; i < side; i++) {
            cover(i, i);
            cover(side - 1 - i, i);
            cover(i, (i + side / 3) % side);
        }
    } else if (std::strcmp(pattern, "ring") == 0) {
        float centre = float(side) / 2, radius = float(side) * 0.45f;
        for (int32_t y = 0; y < side; y++) {
            for (int32_t x = 0; x < side; x++) {
                float d = std::hypot(float(x) + 0.5f - centre, float(y) + 0.5f - centre);
                if (std::fabs(d - radius) < 1.5f)
                    cover(x, y);
            }
        }
    } else {  // "lines": a coarse lattice of one-texel lines
        for (int32_t y = 0; y < side; y++) {
            for (int32_t x = 0; x < side; x++) {
                if (x % 250 == 0 || y % 250 == 0)
                    cover(x, y);
            }
        }
    }
    return group;
}

int RunHoles(int runs)
{
    Engine::LightmapperSettings settings;
    settings.basisCount = 1;
    settings.atlasSize = 2048;
    for (const char* pattern : {"diagonals", "ring", "lines"}) {
        Engine::Lightmapper lm(settings);
        std::unique_ptr<Engine::LmGroup> thin = ThinChart(2000, pattern);
        std::vector<Engine::LmGroup*> list{thin.get()};
        std::vector<Engine::GroupPlacement> placements;
        std::vector<double> seconds, cpuSeconds;
        int32_t freeLeaves = 0;
        uint32_t treeHash = 0;
        for (int run = 0; run < runs; run++) {
            Engine::Atlas atlas(2048, 2048, Engine::opaqueFillColour);
            atlas.withPixels = false;  // a trial packing: placement and hole give-back only
            Core::PreciseTimer timer;
            timer.Start();
            std::clock_t cpuStart = std::clock();
            // A trial build: one chart placed, its holes found and given back to the packer.
            placements.clear();
            bool ok = Engine::BuildAtlases(1, lm.Progress(), 2048, 2048, list, &atlas, false, placements);
            seconds.push_back(double(timer.Stop()) * 1e-6);
            cpuSeconds.push_back(double(std::clock() - cpuStart) / CLOCKS_PER_SEC);
            if (!ok)
                return 1;
            freeLeaves = 0;
            treeHash = 0;
            std::vector<const Engine::PackNode*> stack{atlas.Page(0)->root.get()};
            while (!stack.empty()) {
                const Engine::PackNode* node = stack.back();
                stack.pop_back();
                treeHash = Core::HashBytes(&node->rect, sizeof node->rect, treeHash);
                treeHash = Core::HashBytes(&node->used, sizeof node->used, treeHash);
                if (node->IsLeaf())
                    freeLeaves += !node->used;
                else
                    stack.insert(stack.end(), {node->first.get(), node->second.get()});
            }
        }
        // The search alone, on the chart's occupancy with its border.
        const Engine::LmGroup& chart = *thin;
        int32_t side = (chart.gridWidth + 2 + 3) & ~3;
        std::vector<uint8_t> occupied(size_t(side) * size_t(side), 1);
        for (int32_t y = 0; y < chart.gridHeight; y++)
            for (int32_t x = 0; x < chart.gridWidth; x++)
                occupied[size_t(y + 1) * size_t(side) + size_t(x + 1)] = chart.IsCovered(y * chart.gridWidth + x);
        std::vector<double> searchSeconds;
        size_t holeCount = 0;
        for (int run = 0; run < runs; run++) {
            Core::PreciseTimer timer;
            timer.Start();
            holeCount = Engine::FindHoles(side, side, occupied).size();
            searchSeconds.push_back(double(timer.Stop()) * 1e-6);
        }
        // Processor time as well: on a shared machine the wall clock also counts other programs.
        std::printf("holes_%s_s: %.4f (cpu %.4f)\n", pattern, Bench::Median(seconds), Bench::Median(cpuSeconds));
        std::printf("holes_%s_search_only_s: %.4f (%zu holes)\n", pattern, Bench::Median(searchSeconds), holeCount);
        std::printf("holes_%s_free_leaves: %d\n", pattern, freeLeaves);
        std::printf("holes_%s_tree_hash: %08x\n", pattern, treeHash);
    }
    return 0;
}

uint32_t ResultHash(const Engine::Atlas& atlas, const Engine::LmMesh& mesh)
{
    uint32_t hash = 0;
    for (const auto& page : atlas.pages) {
        int32_t size[2] = {page->bitmap.Width(), page->bitmap.Height()};
        hash = Core::HashBytes(size, sizeof size, hash);
        for (int32_t y = 0; y < size[1]; y++)
            hash = Core::HashBytes(page->bitmap.RowPixels(y), size_t(size[0]) * 4, hash);
    }
    for (const Engine::LmTriangle& t : mesh.triangles) {
        hash = Core::HashBytes(&t.page, sizeof t.page, hash);
        hash = Core::HashBytes(t.lmUv, sizeof t.lmUv, hash);
    }
    return hash;
}

int RunModel(int argc, char** argv)
{
    std::vector<std::string> args(argv, argv + argc);
    args.push_back("bench-out.txt");
    App::Options options;
    if (App::ParseOptions(args, options, stderr) != App::ParseOutcome::Run)
        return 1;
    Engine::ObjReader reader;
    std::FILE* file = std::fopen(options.inputPath.c_str(), "rb");
    if (!file || !reader.Parse(file, options.inputPath, {options.scale, options.scale, options.scale}, 0)) {
        std::fprintf(stderr, "cannot read %s\n", options.inputPath.c_str());
        if (file)
            std::fclose(file);
        return 1;
    }
    std::fclose(file);
    reader.ConvertAxes();
    Engine::Lightmapper lm(options.settings);
    if (!App::FeedTriangles(reader, options, lm))
        lm.BuildVertexNormals(options.smoothingAngle);

    // Holding on to the charts lets the stage run again on the same input.
    Engine::LmCharts charts;
    int passes = 0;
    lm.progress = [&](float, float, const std::string& title) {
        if (title.rfind("Optimizing atlas, pass", 0) == 0)
            passes++;
    };
    // The stage inside the build, from its log line to the next: the first run, on fresh memory.
    Core::PreciseTimer clock;
    clock.Start();
    int64_t atlasStart = -1, atlasEnd = -1;
    int listener = Core::AddLogListener([&](const std::string& line) {
        if (line.find("LM: atlas") != std::string::npos)
            atlasStart = clock.Peek();
        else if (atlasStart >= 0 && atlasEnd < 0 && line.find("LM: ") != std::string::npos)
            atlasEnd = clock.Peek();
    });
    lm.Build(false, false, &charts);
    Core::RemoveLogListener(listener);
    lm.progress = nullptr;
    const Engine::Atlas& built = lm.Atlases(0);
    uint32_t firstHash = ResultHash(built, lm.Mesh());

    Engine::Atlas atlases[Engine::maxBases];
    std::vector<double> seconds;
    for (int run = 0; run < 7; run++) {
        Core::PreciseTimer timer;
        timer.Start();
        Engine::OptimizeAtlas(lm.Mesh(), lm.Settings(), lm.Pool(), lm.Progress(), charts.groups, atlases);
        seconds.push_back(double(timer.Stop()) * 1e-6);
    }
    bool stable = ResultHash(atlases[0], lm.Mesh()) == firstHash;

    int64_t covered = 0, area = 0;
    std::printf("model: %s\n", options.inputPath.c_str());
    std::printf("triangles: %d\n", lm.Mesh().TriangleCount());
    std::printf("charts: %zu\n", charts.groups.size());
    std::printf("pages: %d\n", built.PageCount());
    for (int32_t p = 0; p < built.PageCount(); p++) {
        const Image::Bitmap& bitmap = built.Page(p)->bitmap;
        int64_t pageCovered = 0;
        for (const Engine::LmGroup& group : charts.groups) {
            if (group.page != p)
                continue;
            for (int32_t texel = 0; texel < group.TexelCount(); texel++)
                pageCovered += group.IsCovered(texel);
        }
        int64_t pageArea = int64_t(bitmap.Width()) * bitmap.Height();
        std::printf("page_%d: %dx%d utilisation %.3f\n", p, bitmap.Width(), bitmap.Height(),
                    double(pageCovered) / double(pageArea));
        covered += pageCovered;
        area += pageArea;
    }
    std::printf("utilisation: %.3f\n", area > 0 ? double(covered) / double(area) : 0.0);
    std::printf("trial_passes: %d\n", passes);
    std::printf("atlas_in_build_s: %.4f\n", double(atlasEnd - atlasStart) * 1e-6);
    std::printf("atlas_repeated_s: %.4f\n", Bench::Median(seconds));
    std::printf("result_hash: %08x%s\n", firstHash, stable ? "" : " (repeated runs differ!)");
    return stable ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc < 2) {
        std::fprintf(stderr, "usage: ketra-atlas holes [runs] | ketra-atlas MODEL.obj [tool options]\n");
        return 1;
    }
    Core::CoreInit();
    Geom::GeomInit();
    Image::ImageInit();
    int result = std::strcmp(argv[1], "holes") == 0 ? RunHoles(argc > 2 ? std::max(1, std::atoi(argv[2])) : 5)
                                                    : RunModel(argc, argv);
    Image::ImageShutdown();
    Geom::GeomShutdown();
    Core::CoreShutdown();
    return result;
}
