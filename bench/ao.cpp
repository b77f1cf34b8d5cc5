// ketra-ao MODEL.obj [-i SCALE] [-t TEXEL] [-s SAMPLES] [-j THREADS[,THREADS...]] [-r REPEATS]
//          [--rays RAYS.bin] [--texel-rays ROUNDS] [--check-rays]
//
// Runs the build up to and including the ambient-occlusion pass on a model, as the tool does
// with its default settings (texel size, distance, one sample point per texel), and times the
// pass. Prints one "name value" line per figure; rays_per_s counts covered texels x samples
// over the whole pass (corner coordinates, tracing and post-processing). The pass traces
// through the build's ray tracer: the wide BVH, or the kd-tree with KETRA_TRACER=kdtree.
//
// With several thread counts and repeats the pass runs again and again on the same groups
// (basis 0 cleared in between), the thread counts taking turns, so that on a busy machine every
// count sees the same conditions; medians and their ratios follow. --rays traces a ray file of
// make_rays.py on the same tracer with one thread, taking its turn likewise: the per-ray cost of
// the tracer alone, for scale.
//
// --texel-rays ROUNDS (where Embree is installed) traces the pass's own rays, texel by texel,
// through the build's tracer and through Embree's rtcIntersect1 on one thread, the two taking
// turns on each texel's rays (which goes first alternates), and prints the rays per second of
// each over the whole set, the medians over ROUNDS and their ratio; the pass's own rate over
// Embree's follows (the pass also makes its rays and writes its texels).
//
// --check-rays traces every ray of the pass through the kd-tree and the wide BVH; each ray where
// the two distances differ is traced again by the loop over every triangle, and the counts of
// rays and texels where each structure differs from the loop are printed, with how many of the
// kd-tree's misses the loop finds in the triangle test's tolerance band (outside the triangle).

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <thread>
#include <vector>

#include "bench/bench_support.h"
#include "bench/embree_scene.h"
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
    float texelSize = 0;  // 0: the tool's default
    int32_t samples = 256;
    std::vector<int32_t> threads;
    int32_t repeats = 1;
    int32_t texelRayRounds = 0;
    bool checkRays = false;
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
        if ((arg == "-i" || arg == "-t" || arg == "-s" || arg == "-j" || arg == "-r" || arg == "--rays" ||
             arg == "--texel-rays") &&
            i + 1 < argc) {
            const char* value = argv[++i];
            if (arg == "-i")
                options.scale = std::strtof(value, nullptr);
            else if (arg == "-t")
                options.texelSize = std::strtof(value, nullptr);
            else if (arg == "--texel-rays")
                options.texelRayRounds = std::atoi(value);
            else if (arg == "-s")
                options.samples = std::atoi(value);
            else if (arg == "-r")
                options.repeats = std::atoi(value);
            else if (arg == "--rays")
                options.rays = value;
            else if (!ParseThreadList(value, options.threads))
                return false;
        } else if (arg == "--check-rays") {
            options.checkRays = true;
        } else if (!options.model) {
            options.model = argv[i];
        } else {
            return false;
        }
    }
    if (options.threads.empty())
        options.threads.push_back(1);
    return options.model && options.scale > 0 && options.samples >= 0 && options.repeats >= 1 &&
           options.texelSize >= 0 && options.texelRayRounds >= 0;
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


// Every ray of the pass through both structures; differing rays against the loop.
void CheckRays(Engine::StagedBuild& build)
{
    const Engine::TriangleTrees& trees = build.context.trees;
    if (trees.tracer.Kind() != Engine::TracerKind::bvh) {
        std::printf("check_rays: needs the BVH (KETRA_TRACER is kdtree)\n");
        return;
    }
    const Engine::TriangleMeshView view = trees.elements.View();
    const float distance = build.settings.aoDistance;
    int64_t rays = 0, differ = 0, bvhWrong = 0, kdWrong = 0, kdBandMisses = 0, texels = 0, differingTexels = 0;
    Engine::ForEachAoTexelRays(build.mesh, build.settings, build.charts, [&](const Engine::KdRay* texelRays, int32_t n) {
        bool texelDiffers = false;
        for (int32_t i = 0; i < n; i++) {
            const Engine::KdRay& ray = texelRays[i];
            const float kd = trees.kdTree.RayNearest(0, 0, ray, nullptr, distance);
            const float bvh = trees.tracer.Bvh().RayNearest(0, ray, nullptr, distance);
            if (std::memcmp(&kd, &bvh, sizeof(float)) == 0)
                continue;
            differ++;
            texelDiffers = true;
            int32_t hit = -1;
            const float loop = Engine::NearestTriangleByLoop(view, 0, ray, &hit, distance);
            bvhWrong += std::memcmp(&loop, &bvh, sizeof(float)) != 0;
            if (std::memcmp(&loop, &kd, sizeof(float)) != 0) {
                kdWrong++;
                // Where on its triangle the loop's hit lies: outside it means the tolerance band.
                if (hit >= 0) {
                    const Engine::TriangleCorners& c = view.triangles[hit];
                    float b1, b2;
                    Engine::RayTriangle(ray, view.positions[c.pos[0]], view.positions[c.pos[1]],
                                        view.positions[c.pos[2]], Engine::rayTriangleTolerance, b1, b2);
                    const bool band = b1 < 0 || b2 < 0 || b1 + b2 > 1;
                    kdBandMisses += band;
                    if (!band && kdWrong - kdBandMisses <= 8)
                        std::printf("kdtree_wrong_inside: kd %.9g loop %.9g triangle %d b1 %.9g b2 %.9g origin %.9g %.9g %.9g "
                                    "direction %.9g %.9g %.9g\n",
                                    double(kd), double(loop), hit, double(b1), double(b2), double(ray.origin.x),
                                    double(ray.origin.y), double(ray.origin.z), double(ray.direction.x),
                                    double(ray.direction.y), double(ray.direction.z));
                    if (!band && kdWrong - kdBandMisses <= 3) {
                        for (int k = 0; k < 3; k++)
                            std::printf("  corner %d: %.9g %.9g %.9g\n", k, double(view.positions[c.pos[k]].x),
                                        double(view.positions[c.pos[k]].y), double(view.positions[c.pos[k]].z));
                    }
                }
            }
        }
        rays += n;
        texels++;
        differingTexels += texelDiffers;
    });
    std::printf("checked_rays: %lld\nchecked_texels: %lld\n", static_cast<long long>(rays), static_cast<long long>(texels));
    std::printf("rays_differing: %lld\ntexels_with_differing_rays: %lld\n", static_cast<long long>(differ),
                static_cast<long long>(differingTexels));
    std::printf("differing_bvh_wrong: %lld\ndiffering_kdtree_wrong: %lld\nkdtree_wrong_in_band: %lld\n",
                static_cast<long long>(bvhWrong), static_cast<long long>(kdWrong), static_cast<long long>(kdBandMisses));
}

#ifdef KETRA_BENCH_EMBREE
// Processor time of the calling thread; leaves out the time it waited for a core.
double ThreadCpuSeconds()
{
    timespec now;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return double(now.tv_sec) + double(now.tv_nsec) * 1e-9;
}

// The pass's rays through the build's tracer and through Embree, texel by texel on this thread.
void CompareTexelRays(Engine::StagedBuild& build, double passRate, int32_t rounds)
{
    const Bench::EmbreeScene embree(build.mesh, 1);
    const Engine::RayTracer& tracer = build.context.trees.tracer;
    const float distance = build.settings.aoDistance;
    std::vector<double> ourRates, embreeRates, ratios;
    int64_t rayCount = 0, agree = 0;
    for (int32_t round = 0; round < rounds; round++) {
        double ours = 0, theirs = 0;
        int64_t texel = 0;
        rayCount = agree = 0;
        std::vector<float> ourDistances, embreeDistances;
        Engine::ForEachAoTexelRays(build.mesh, build.settings, build.charts, [&](const Engine::KdRay* rays, int32_t n) {
            ourDistances.resize(size_t(n));
            embreeDistances.resize(size_t(n));
            for (int32_t pass = 0; pass < 2; pass++) {
                const bool oursNow = (pass == 0) == (texel % 2 == 0);
                const double start = ThreadCpuSeconds();
                if (oursNow) {
                    for (int32_t i = 0; i < n; i++)
                        ourDistances[size_t(i)] = tracer.RayNearest(0, 0, rays[i], nullptr, distance);
                    ours += ThreadCpuSeconds() - start;
                } else {
                    for (int32_t i = 0; i < n; i++)
                        embreeDistances[size_t(i)] = embree.Trace(rays[i], distance);
                    theirs += ThreadCpuSeconds() - start;
                }
            }
            for (int32_t i = 0; i < n; i++) {
                const float a = ourDistances[size_t(i)], b = embreeDistances[size_t(i)];
                const bool aHit = a != Engine::noHit, bHit = b != Engine::noHit;
                agree += aHit == bHit && (!aHit || std::fabs(a - b) <= 1e-4f * std::max(1.0f, a));
            }
            rayCount += n;
            texel++;
        });
        ourRates.push_back(double(rayCount) / ours);
        embreeRates.push_back(double(rayCount) / theirs);
        ratios.push_back(theirs / ours);
    }
    const double ourRate = Bench::Median(ourRates), embreeRate = Bench::Median(embreeRates);
    std::printf("texel_rays: %lld\n", static_cast<long long>(rayCount));
    std::printf("texel_rays_rounds: %d\n", rounds);
    std::printf("tracer_mrays_per_cpu_s: %.3f\n", ourRate / 1e6);
    std::printf("embree_mrays_per_cpu_s: %.3f\n", embreeRate / 1e6);
    std::printf("tracer_over_embree: %.3f\n", Bench::Median(ratios));
    std::printf("embree_agree_share: %.6f\n", rayCount > 0 ? double(agree) / double(rayCount) : 1.0);
    // The whole pass on one thread (making rays, tracing, writing texels; processor time) against
    // Embree tracing alone.
    if (passRate > 0)
        std::printf("pass_j1_over_embree: %.3f\n", passRate / embreeRate);
}
#endif

}  // namespace

int main(int argc, char** argv)
{
    Options options;
    if (!ParseOptions(argc, argv, options)) {
        std::fprintf(stderr, "usage: ketra-ao MODEL.obj [-i SCALE] [-t TEXEL] [-s SAMPLES] [-j THREADS[,THREADS...]] "
                             "[-r REPEATS] [--rays RAYS.bin] [--texel-rays ROUNDS] [--check-rays]\n");
        return 2;
    }
    Engine::LightmapperSettings settings = App::ToolSettings();
    settings.sampleCount = options.samples;
    if (options.texelSize > 0)
        settings.texelSize = options.texelSize;
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
                sink += build.context.trees.tracer.RayNearest(0, 0, ray, nullptr, rayDistance) < Engine::noHit;
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
    if (options.checkRays)
        CheckRays(build);
#ifdef KETRA_BENCH_EMBREE
    if (options.texelRayRounds > 0)
        CompareTexelRays(build, oneThreadCpuRate, options.texelRayRounds);
#endif
    return 0;
}
