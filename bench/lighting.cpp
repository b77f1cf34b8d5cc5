// ketra-lighting MODEL.obj [-i SCALE] [-s SAMPLES] [-r REPEATS] [-j THREADS] [-d AO_DISTANCE] [-L LIGHTS] [--all-lit]
//
// The final gather's rays against the ambient-occlusion pass's, on the same charts of a model
// at the tool's default settings. The build runs up to the first direct-light pass (with the
// lights of a light file, or one point light under the middle of the model's top when none is
// given); then one gather bounce of SAMPLES rays per covered texel (as the first bounce of a
// bake: lit surfaces only, their light buffers holding the direct light) and one
// ambient-occlusion pass of SAMPLES rays per texel (rays AO_DISTANCE long, default 3) take turns
// REPEATS times. --all-lit gathers from every surface, as the later bounces do. Prints medians of rays per second, in wall and in processor seconds, and the
// median of the per-round ratios gather / ambient occlusion.

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>
#include <vector>

#include "app/light_file.h"
#include "app/options.h"
#include "bench/bench_support.h"
#include "engine/lightmapper/ambient_occlusion.h"
#include "engine/lightmapper/final_gather.h"
#include "engine/lightmapper/lightmapper.h"
#include "engine/lightmapper/staged_build.h"
#include "engine/lightmapper/texel_runs.h"

namespace {

using Clock = std::chrono::steady_clock;

struct Options {
    const char* model = nullptr;
    const char* lights = nullptr;
    float scale = 1.0f;
    float aoDistance = 3.0f;
    int32_t samples = 256;
    int32_t repeats = 3;
    int32_t threads = 2;
    bool allLit = false;
};

bool ParseOptions(int argc, char** argv, Options& options)
{
    for (int i = 1; i < argc; i++) {
        const std::string arg = argv[i];
        if (arg == "--all-lit") {
            options.allLit = true;
            continue;
        }
        if ((arg == "-i" || arg == "-s" || arg == "-r" || arg == "-j" || arg == "-d" || arg == "-L") && i + 1 < argc) {
            const char* value = argv[++i];
            if (arg == "-i")
                options.scale = std::strtof(value, nullptr);
            else if (arg == "-s")
                options.samples = std::atoi(value);
            else if (arg == "-r")
                options.repeats = std::atoi(value);
            else if (arg == "-j")
                options.threads = std::atoi(value);
            else if (arg == "-d")
                options.aoDistance = std::strtof(value, nullptr);
            else
                options.lights = value;
        } else if (!options.model) {
            options.model = argv[i];
        } else {
            return false;
        }
    }
    return options.model && options.scale > 0 && options.samples > 0 && options.repeats >= 1 && options.threads >= 1 &&
           options.aoDistance > 0;
}

double ProcessSeconds()
{
    timespec t;
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return double(t.tv_sec) + double(t.tv_nsec) * 1e-9;
}

struct Timing {
    double seconds, cpuSeconds;
};

template <class Pass>
Timing Time(Pass pass)
{
    const double cpuStart = ProcessSeconds();
    const Clock::time_point start = Clock::now();
    pass();
    return {std::chrono::duration<double>(Clock::now() - start).count(), ProcessSeconds() - cpuStart};
}

}  // namespace

int main(int argc, char** argv)
{
    Options options;
    if (!ParseOptions(argc, argv, options)) {
        std::fprintf(stderr, "usage: ketra-lighting MODEL.obj [-i SCALE] [-s SAMPLES] [-r REPEATS] [-j THREADS] "
                             "[-d AO_DISTANCE] [-L LIGHTS] [--all-lit]\n");
        return 2;
    }
    Engine::LightmapperSettings settings = App::ToolSettings();
    settings.sampleCount = options.samples;
    settings.aoDistance = 0;
    Engine::LightmapperSettings aoSettings = settings;
    aoSettings.aoDistance = options.aoDistance;

    Engine::Lightmapper lm(settings);
    App::LightFile lights;
    if (options.lights && App::LoadLightFile(options.lights, options.scale, lights, stderr) != 0)
        return 1;
    App::ApplyLightFile(lights, lm);
    if (!Bench::LoadModel(options.model, options.scale, lm)) {
        std::fprintf(stderr, "cannot read model %s\n", options.model);
        return 1;
    }
    if (lights.lights.empty()) {
        Geom::Box3 bounds;
        for (const Geom::Vec3& p : lm.Mesh().positions)
            bounds.Add(p);
        const Geom::Vec3 centre = (bounds.min + bounds.max) * 0.5f;
        const float height = bounds.max.z - bounds.min.z;
        lm.AddLight(Engine::LightRecord::Point({centre.x, centre.y, bounds.max.z - 0.1f * height}, {1, 1, 1}, 4096));
    }
    lm.Pool().Start(options.threads);
    Engine::StagedBuild build(lm);
    build.MarkEmitters();
    build.Connectivity();
    build.Trees();
    build.Groups();
    build.Tasks();
    build.CornerTexelCoords();
    build.PreRaytracing();
    // The gather's light buffers as its first bounce finds them.
    for (Engine::LmGroup& group : build.charts.groups) {
        for (size_t t = 0; t < group.light.size(); t++)
            group.light[t] += group.basis[0][t];
    }
    std::vector<Engine::GatherSurface> surfaces = Engine::MakeGatherSurfaces(build.mesh);
    if (options.allLit) {
        for (Engine::GatherSurface& surface : surfaces)
            surface.flags |= Engine::TriangleLit;
    }

    int64_t covered = 0;
    for (const Engine::LmGroup& group : build.charts.groups) {
        Engine::TexelRunCursor cursor(group, 0);
        for (int32_t texel = 0; texel < group.TexelCount(); texel++)
            covered += cursor.NextTriangle() >= 0;
    }
    const double rays = double(covered) * double(options.samples);

    std::vector<double> gatherRate, gatherCpuRate, aoRate, aoCpuRate, ratio, cpuRatio;
    for (int32_t r = 0; r < options.repeats; r++) {
        const Timing gather = Time([&] {
            for (Engine::LmGroup& group : build.charts.groups) {
                for (std::vector<Geom::Vec3>& buffer : group.bounce)
                    std::fill(buffer.begin(), buffer.end(), Geom::Vec3{0, 0, 0});
            }
            Engine::GatherBounce(build.mesh, surfaces, settings, build.context, build.charts, options.samples);
        });
        const Timing ao = Time([&] { Engine::RunAmbientOcclusion(build.mesh, aoSettings, build.context, build.charts); });
        gatherRate.push_back(rays / gather.seconds);
        gatherCpuRate.push_back(rays / gather.cpuSeconds);
        aoRate.push_back(rays / ao.seconds);
        aoCpuRate.push_back(rays / ao.cpuSeconds);
        ratio.push_back(ao.seconds / gather.seconds);
        cpuRatio.push_back(ao.cpuSeconds / gather.cpuSeconds);
    }
    double load[3] = {0, 0, 0};
    getloadavg(load, 3);
    std::printf("model: %s\n", options.model);
    std::printf("triangles: %d\n", build.mesh.TriangleCount());
    std::printf("covered_texels: %lld\n", static_cast<long long>(covered));
    std::printf("samples: %d\n", options.samples);
    std::printf("threads: %d\n", options.threads);
    std::printf("repeats: %d\n", options.repeats);
    std::printf("all_lit: %d\n", options.allLit ? 1 : 0);
    std::printf("gather_mrays_per_s: %.3f\n", Bench::Median(gatherRate) * 1e-6);
    std::printf("gather_mrays_per_cpu_s: %.3f\n", Bench::Median(gatherCpuRate) * 1e-6);
    std::printf("ao_mrays_per_s: %.3f\n", Bench::Median(aoRate) * 1e-6);
    std::printf("ao_mrays_per_cpu_s: %.3f\n", Bench::Median(aoCpuRate) * 1e-6);
    // Above 1: the gather traces faster than ambient occlusion.
    std::printf("gather_over_ao_rate: %.3f\n", Bench::Median(ratio));
    std::printf("gather_over_ao_cpu_rate: %.3f\n", Bench::Median(cpuRatio));
    std::printf("load_1min: %.2f\n", load[0]);
    return 0;
}
