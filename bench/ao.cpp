// ketra-ao MODEL.obj [-i SCALE] [-s SAMPLES] [-j THREADS[,THREADS...]] [-r REPEATS] [--rays RAYS.bin]
//
// Runs the build up to and including the ambient-occlusion pass on a model, as the tool does
// with its default settings (texel size, distance, one sample point per texel), and times the
// pass. Prints one "name value" line per figure; rays_per_s counts covered texels x samples
// over the whole pass (corner coordinates, tracing and post-processing).
//
// With several thread counts and repeats the pass runs again and again on the same groups
// (basis 0 cleared in between), the thread counts taking turns, so that on a busy machine every
// count sees the same conditions; medians and their ratios follow. --rays traces a ray file of
// make_rays.py on the same tree with one thread, taking its turn likewise: the per-ray cost of
// the tree alone, for scale.

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <thread>
#include <vector>

#include "bench/bench_support.h"
#include "app/options.h"
#include "engine/lightmapper/ambient_occlusion.h"
#include "engine/lightmapper/grouping.h"
#include "engine/lightmapper/lightmapper.h"
#include "engine/lightmapper/staged_build.h"
#include "engine/lightmapper/texel_runs.h"
#include "engine/lightmapper/texels.h"
#include "engine/mesh/obj_reader.h"

namespace {

using Clock = std::chrono::steady_clock;

double Seconds(Clock::time_point start)
{
    return std::chrono::duration<double>(Clock::now() - start).count();
}

struct Options {
    const char* model = nullptr;
    const char* rays = nullptr;
    float scale = 1.0f;
    int32_t samples = 256;
    std::vector<int32_t> threads;
    int32_t repeats = 1;
};

bool ParseThreadList(const char* text, std::vector<int32_t>& threads)
{
    threads.clear();
    while (*text) {
        char* end = nullptr;
        const long n = std::strtol(text, &end, 10);
        if (end == text || n < 1 || n > 256)
            return false;
        threads.push_back(int32_t(n));
        text = *end == ',' ? end + 1 : end;
        if (*end && *end != ',')
            return false;
    }
    return !threads.empty();
}

bool ParseOptions(int argc, char** argv, Options& options)
{
    for (int i = 1; i < argc; i++) {
        const std::string arg = argv[i];
        if ((arg == "-i" || arg == "-s" || arg == "-j" || arg == "-r" || arg == "--rays") && i + 1 < argc) {
            const char* value = argv[++i];
            if (arg == "-i")
                options.scale = std::strtof(value, nullptr);
            else if (arg == "-s")
                options.samples = std::atoi(value);
            else if (arg == "-r")
                options.repeats = std::atoi(value);
            else if (arg == "--rays")
                options.rays = value;
            else if (!ParseThreadList(value, options.threads))
                return false;
        } else if (!options.model) {
            options.model = argv[i];
        } else {
            return false;
        }
    }
    if (options.threads.empty())
        options.threads.push_back(1);
    return options.model && options.scale > 0 && options.samples >= 0 && options.repeats >= 1;
}



double Now()
{
    return std::chrono::duration<double>(Clock::now().time_since_epoch()).count();
}

struct PassTiming {
    double seconds = 0, cpuSeconds = 0;
    double balance = 0, largestShare = 0;  // from the task times of a one-thread pass
};

// One ambient-occlusion pass on `threads` threads from cleared texels.
PassTiming TimePass(Engine::Lightmapper& lm, Engine::StagedBuild& build, int32_t threads)
{
    for (Engine::LmGroup& group : build.charts.groups)
        std::fill(group.basis[0].begin(), group.basis[0].end(), Geom::Vec3{0, 0, 0});
    lm.Pool().Start(threads);
    // With one thread the pass reports each task as it starts, in order: the gaps are the task
    // times, from which the hand-out of tasks to two threads can be replayed.
    std::vector<double> taskStarts;
    if (threads == 1) {
        taskStarts.reserve(build.charts.tasks.size());
        lm.progress = [&](float, float value, const std::string& title) {
            if (title.empty() && value == -1)
                taskStarts.push_back(Now());
        };
    }
    PassTiming timing;
    const std::clock_t cpuStart = std::clock();
    const Clock::time_point start = Clock::now();
    build.CornerTexelCoords();
    build.AmbientOcclusion();
    timing.seconds = Seconds(start);
    timing.cpuSeconds = double(std::clock() - cpuStart) / CLOCKS_PER_SEC;
    const double end = Now();
    lm.progress = nullptr;

    if (!taskStarts.empty() && taskStarts.size() == build.charts.tasks.size()) {
        // Each participant claims the next task when it is free; the pass's wall time on two
        // idle cores is the later of the two finishing times (post-processing included in the
        // last task).
        double busy[2] = {0, 0}, total = 0, largest = 0;
        for (size_t k = 0; k < taskStarts.size(); k++) {
            const double duration = (k + 1 < taskStarts.size() ? taskStarts[k + 1] : end) - taskStarts[k];
            total += duration;
            largest = std::max(largest, duration);
            busy[busy[0] <= busy[1] ? 0 : 1] += duration;
        }
        const double makespan = std::max(busy[0], busy[1]);
        timing.balance = makespan > 0 ? total / makespan : 0;
        timing.largestShare = total > 0 ? largest / total : 0;
    }
    return timing;
}


}  // namespace

int main(int argc, char** argv)
{
    Options options;
    if (!ParseOptions(argc, argv, options)) {
        std::fprintf(stderr, "usage: ketra-ao MODEL.obj [-i SCALE] [-s SAMPLES] [-j THREADS[,THREADS...]] "
                             "[-r REPEATS] [--rays RAYS.bin]\n");
        return 2;
    }
    Engine::LightmapperSettings settings = App::ToolSettings();
    settings.sampleCount = options.samples;
    Engine::Lightmapper lm(settings);
    if (!Bench::LoadModel(options.model, options.scale, lm)) {
        std::fprintf(stderr, "cannot read model %s\n", options.model);
        return 1;
    }
    std::vector<Engine::KdRay> rays;
    float rayDistance = 0;
    if (options.rays && !Bench::ReadRays(options.rays, rays, rayDistance)) {
        std::fprintf(stderr, "cannot read ray file %s\n", options.rays);
        return 1;
    }
    // The build sizes its per-thread scratch by the largest pool used.
    const int32_t mostThreads = *std::max_element(options.threads.begin(), options.threads.end());
    lm.Pool().Start(mostThreads);
    Engine::StagedBuild build(lm);

    const Clock::time_point setupStart = Clock::now();
    build.Connectivity();
    build.Trees();
    build.Groups();
    build.Tasks();
    const double setupSeconds = Seconds(setupStart);

    int64_t covered = 0;
    for (const Engine::LmGroup& group : build.charts.groups) {
        Engine::TexelRunCursor cursor(group, 0);
        for (int32_t texel = 0; texel < group.TexelCount(); texel++)
            covered += cursor.NextTriangle() >= 0;
    }
    const double passRays = double(covered) * double(options.samples);

    std::printf("triangles: %d\n", build.mesh.TriangleCount());
    std::printf("groups: %d\n", int(build.charts.groups.size()));
    std::printf("tasks: %d\n", int(build.charts.tasks.size()));
    std::printf("setup_s: %.3f\n", setupSeconds);
    std::printf("covered_texels: %lld\n", static_cast<long long>(covered));
    std::printf("samples: %d\n", options.samples);

    std::vector<std::vector<PassTiming>> timings(options.threads.size());
    std::vector<double> traceSeconds, traceCpuSeconds;
    for (int32_t r = 0; r < options.repeats; r++) {
        for (size_t j = 0; j < options.threads.size(); j++)
            timings[j].push_back(TimePass(lm, build, options.threads[j]));
        if (!rays.empty()) {
            const std::clock_t cpuStart = std::clock();
            const Clock::time_point start = Clock::now();
            float sink = 0;
            for (const Engine::KdRay& ray : rays)
                sink += build.context.trees.kdTree.RayNearest(0, 0, ray, nullptr, rayDistance) < Engine::noHit;
            traceSeconds.push_back(Seconds(start));
            traceCpuSeconds.push_back(double(std::clock() - cpuStart) / CLOCKS_PER_SEC);
            if (sink < 0)
                std::printf("?\n");
        }
    }

    double oneThreadRate = 0, oneThreadCpuRate = 0;
    for (size_t j = 0; j < options.threads.size(); j++) {
        std::vector<double> seconds, cpu, balance, largest;
        for (const PassTiming& t : timings[j]) {
            seconds.push_back(t.seconds);
            cpu.push_back(t.cpuSeconds);
            balance.push_back(t.balance);
            largest.push_back(t.largestShare);
        }
        const double s = Bench::Median(seconds);
        const double rate = s > 0 ? passRays / s : 0;
        const int32_t n = options.threads[j];
        const char* suffix = options.threads.size() > 1 ? "_j" : "";
        auto name = [&](const char* base) {
            return std::string(base) + (*suffix ? suffix + std::to_string(n) : std::string());
        };
        std::printf("%s: %d\n", name("threads").c_str(), n);
        std::printf("%s: %.3f\n", name("ao_s").c_str(), s);
        // CPU seconds of all threads: on a busy machine rays per CPU second still show the cost
        // of the work itself, and wall over CPU shows how much the threads really ran.
        std::printf("%s: %.3f\n", name("ao_cpu_s").c_str(), Bench::Median(cpu));
        std::printf("%s: %.0f\n", name("rays_per_s").c_str(), rate);
        std::printf("%s: %.3f\n", name("mrays_per_s").c_str(), rate / 1e6);
        const double cpuRate = Bench::Median(cpu) > 0 ? passRays / Bench::Median(cpu) : 0;
        std::printf("%s: %.3f\n", name("mrays_per_cpu_s").c_str(), cpuRate / 1e6);
        if (n == 1) {
            oneThreadRate = rate;
            oneThreadCpuRate = cpuRate;
            std::printf("%s: %.4f\n", name("largest_task_share").c_str(), Bench::Median(largest));
            std::printf("%s: %.3f\n", name("two_thread_balance").c_str(), Bench::Median(balance));
        } else if (oneThreadRate > 0) {
            std::printf("%s: %.3f\n", name("speedup_over_j1").c_str(), rate / oneThreadRate);
            // What the threads cost beyond the one-thread pass, in CPU time (1.0: nothing).
            std::printf("%s: %.3f\n", name("cpu_efficiency_vs_j1").c_str(), cpuRate / oneThreadCpuRate);
        }
    }
    if (!traceSeconds.empty()) {
        const double s = Bench::Median(traceSeconds);
        const double rate = s > 0 ? double(rays.size()) / s : 0;
        std::printf("tree_rays: %d\n", int(rays.size()));
        std::printf("tree_mrays_per_s: %.3f\n", rate / 1e6);
        const double cpuRate = Bench::Median(traceCpuSeconds) > 0 ? double(rays.size()) / Bench::Median(traceCpuSeconds) : 0;
        std::printf("tree_mrays_per_cpu_s: %.3f\n", cpuRate / 1e6);
        if (oneThreadRate > 0 && rate > 0)
            std::printf("ao_over_tree_j1: %.3f\n", oneThreadRate / rate);
        if (oneThreadCpuRate > 0 && cpuRate > 0)
            std::printf("ao_over_tree_cpu_j1: %.3f\n", oneThreadCpuRate / cpuRate);
    }
    return 0;
}
