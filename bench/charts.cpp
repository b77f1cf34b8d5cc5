// ketra-charts MODEL.obj [-i SCALE] [-t TEXEL] [-j THREADS] [-l] [--check] [--super] [--heap]
//
// Loads a model as the run driver does, builds connectivity and the kd-tree, then times the
// chart steps one by one: grouping (seed, merge, isolated triangles), layout with texel packing
// (the allocate step, on the lightmapper's pool) and the group tasks. Prints "name: value" lines,
// wall-clock and processor seconds. --check compares every packed sample with FindGroupSample.
// --heap serves operator new from the engine's heap, as in the tool once the Core has started;
// without it the C runtime's allocator serves them, so two runs compare the two.

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

#include "bench/bench_support.h"
#include "core/heap.h"
#include "engine/lightmapper/grouping.h"
#include "engine/lightmapper/lightmapper.h"
#include "engine/lightmapper/staged_build.h"
#include "engine/lightmapper/texel_runs.h"
#include "engine/lightmapper/texels.h"
#include "engine/mesh/obj_reader.h"

namespace {

struct Options {
    const char* model = nullptr;
    float scale = 1.0f;
    float texelSize = 0.25f;
    int threads = 0;  // 0: one per logical core
    bool keepLargeGroups = false;
    bool check = false;
    bool superSampling = false;  // 25 samples per texel  // compare every packed sample with a search through the tree
    bool engineHeap = false;
};

bool ParseOptions(int argc, char** argv, Options& options)
{
    for (int i = 1; i < argc; i++) {
        const bool hasValue = i + 1 < argc;
        if (std::strcmp(argv[i], "-i") == 0 && hasValue)
            options.scale = std::strtof(argv[++i], nullptr);
        else if (std::strcmp(argv[i], "-t") == 0 && hasValue)
            options.texelSize = std::strtof(argv[++i], nullptr);
        else if (std::strcmp(argv[i], "-j") == 0 && hasValue)
            options.threads = std::atoi(argv[++i]);
        else if (std::strcmp(argv[i], "-l") == 0)
            options.keepLargeGroups = true;
        else if (std::strcmp(argv[i], "--check") == 0)
            options.check = true;
        else if (std::strcmp(argv[i], "--super") == 0)
            options.superSampling = true;
        else if (std::strcmp(argv[i], "--heap") == 0)
            options.engineHeap = true;
        else if (argv[i][0] != '-' && !options.model)
            options.model = argv[i];
        else
            return false;
    }
    return options.model && options.scale > 0 && options.texelSize > 0 && options.threads >= 0;
}


double Seconds(std::chrono::steady_clock::time_point start)
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// Processor time of the whole process: steadier than the wall clock on a shared machine.
double CpuSeconds()
{
    timespec now;
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return double(now.tv_sec) + double(now.tv_nsec) * 1e-9;
}

// FNV-1a over what the chart steps decided: the groups' triangles, grids and packed samples.
uint64_t ResultHash(const Engine::StagedBuild& build)
{
    uint64_t hash = 1469598103934665603ull;
    auto add = [&hash](const void* data, size_t size) {
        const unsigned char* bytes = static_cast<const unsigned char*>(data);
        for (size_t i = 0; i < size; i++)
            hash = (hash ^ bytes[i]) * 1099511628211ull;
    };
    for (const Engine::LmGroup& group : build.charts.groups) {
        add(group.triangles.data(), group.triangles.size() * sizeof(int32_t));
        add(&group.gridWidth, sizeof(int32_t));
        add(&group.gridHeight, sizeof(int32_t));
        add(group.texelSize, sizeof(group.texelSize));
        add(&group.texelToChart, sizeof(group.texelToChart));
        add(group.coverage.data(), group.coverage.size() * sizeof(uint64_t));
        add(group.texelTris.data(), group.texelTris.size() * sizeof(int32_t));
        add(group.texelRuns.data(), group.texelRuns.size());
    }
    for (const Engine::LmTriangle& t : build.mesh.triangles) {
        add(&t.group, sizeof(t.group));
        add(&t.flags, sizeof(t.flags));
        add(&t.projKey, sizeof(t.projKey));
    }
    return hash;
}

// Packed triangles of every sample against FindGroupSample; returns the number of differences.
int64_t CheckPacking(Engine::StagedBuild& build)
{
    int64_t differences = 0;
    int32_t slots[25];
    const Engine::SampleSearch search{build.mesh, build.context.trees.kdTree, 0, build.context.candidates[0],
                                      build.settings.epsilon};
    for (int32_t g = 0; g < int32_t(build.charts.groups.size()); g++) {
        const Engine::LmGroup& group = build.charts.groups[size_t(g)];
        const Geom::Mat3& m = group.texelToChart;
        Engine::TexelRunCursor cursor(group, 0);
        for (int32_t y = 0; y < group.gridHeight; y++) {
            for (int32_t x = 0; x < group.gridWidth; x++) {
                cursor.Next(slots);
                for (int32_t s = 0; s < group.samplesPerTexel; s++) {
                    const Geom::Vec2 o = Engine::subsampleOffsets[s];
                    const float i = float(x), j = float(y);
                    Geom::Vec2 p{i * m.row[0].x + j * m.row[1].x + m.row[2].x, i * m.row[0].y + j * m.row[1].y + m.row[2].y};
                    Geom::Vec2 q{p.x + o.x * m.row[0].x + o.y * m.row[1].x, p.y + o.x * m.row[0].y + o.y * m.row[1].y};
                    Engine::TexelSample sample;
                    if (Engine::FindGroupSample(search, group, g, q, sample) != slots[s])
                        differences++;
                }
            }
        }
    }
    return differences;
}

}  // namespace

int main(int argc, char** argv)
{
    Options options;
    if (!ParseOptions(argc, argv, options)) {
        std::fprintf(stderr, "usage: ketra-charts MODEL.obj [-i SCALE] [-t TEXEL] [-j THREADS] [-l] [--check] [--super] [--heap]\n");
        return 2;
    }
    if (options.engineHeap)
        Core::Heap::Start();
    Engine::LightmapperSettings settings;
    settings.texelSize = options.texelSize;
    settings.superSampling = options.superSampling;
    if (options.keepLargeGroups)
        settings.flags |= Engine::KeepLargeGroups;
    Engine::Lightmapper lm(settings);
    if (!Bench::LoadModel(options.model, options.scale, lm)) {
        std::fprintf(stderr, "cannot read model %s\n", options.model);
        return 1;
    }

    lm.Pool().Start(options.threads);
    Engine::StagedBuild build(lm);
    build.Connectivity();
    build.Trees();

    auto start = std::chrono::steady_clock::now();
    double cpu = CpuSeconds();
    build.GroupTriangles();
    const double groupingSeconds = Seconds(start), groupingCpu = CpuSeconds() - cpu;

    // Layout with texel packing, as the two run back to back in a build.
    start = std::chrono::steady_clock::now();
    cpu = CpuSeconds();
    build.LayoutGroups();
    build.PackTexels();
    const double layoutSeconds = Seconds(start), layoutCpu = CpuSeconds() - cpu;
    build.SortGroups();

    start = std::chrono::steady_clock::now();
    cpu = CpuSeconds();
    build.Tasks();
    const double tasksSeconds = Seconds(start), tasksCpu = CpuSeconds() - cpu;

    int64_t texels = 0, covered = 0;
    for (const Engine::LmGroup& group : build.charts.groups) {
        texels += group.TexelCount();
        for (int32_t i = 0; i < group.TexelCount(); i++)
            covered += group.IsCovered(i) ? 1 : 0;
    }
    std::printf("triangles: %d\n", build.mesh.TriangleCount());
    std::printf("threads: %d\n", lm.Pool().GetThreadCount());
    std::printf("allocator: %s\n", options.engineHeap ? "heap" : "runtime");
    std::printf("groups: %d\n", int(build.charts.groups.size()));
    std::printf("texels: %lld\n", (long long)texels);
    std::printf("covered: %lld\n", (long long)covered);
    std::printf("tasks: %d\n", int(build.charts.tasks.size()));
    std::printf("grouping_s: %.4f\n", groupingSeconds);
    std::printf("layout_s: %.4f\n", layoutSeconds);
    std::printf("tasks_s: %.4f\n", tasksSeconds);
    std::printf("grouping_cpu_s: %.4f\n", groupingCpu);
    std::printf("layout_cpu_s: %.4f\n", layoutCpu);
    std::printf("tasks_cpu_s: %.4f\n", tasksCpu);
    std::printf("result_hash: %016llx\n", (unsigned long long)ResultHash(build));
    if (options.check)
        std::printf("check_differences: %lld\n", (long long)CheckPacking(build));
    return 0;
}
