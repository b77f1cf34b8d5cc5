// ketra-raybench MODEL.obj RAYS.bin [-i SCALE] [-j THREADS] [-r ROUNDS] [--out DISTS.bin]
//                [--scaling ROUNDS] [--verify COUNT]
//
// Builds the lightmapper's kd-tree and wide BVH over a model and traces every ray of a ray file
// (as written by make_rays.py: "KRAY", version 1, count, maximum distance, then 6 floats a ray)
// with RayNearest in mode 0 up to the file's maximum distance, through both and, where it is
// installed, through Embree. The tracers take turns on the same rays for ROUNDS rounds (default
// 5) in this one process, so they see the same machine; medians and their ratios follow. Prints
// one "name value" line per figure.
//
// Every ray where the kd-tree and the BVH give different distances is traced again by the loop
// over all triangles, and the count of rays where each tree agrees with it is printed.
// --verify COUNT checks that many rays (spread over the file) of the BVH against the loop as well.
// --out writes one little-endian float per ray (the BVH's distance, or 1e37 for a miss).
// --scaling ROUNDS (with -j 2 or more) then traces the rays through the BVH with one thread and
// with THREADS threads in turn, ROUNDS times each, and prints the speedup of the medians.

#include <algorithm>
#include <atomic>
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
#include "core/hash_bytes.h"
#include "engine/lightmapper/lightmapper.h"
#include "engine/lightmapper/staged_build.h"
#include "engine/mesh/obj_reader.h"
#include "engine/spatial/kdtree3.h"
#include "engine/spatial/triangle_ops.h"
#include "engine/spatial/wide_bvh.h"

#include "bench/embree_scene.h"

namespace {

using Engine::KdRay;
using Geom::Vec3;

double Seconds(std::chrono::steady_clock::time_point start)
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

struct Options {
    const char* model = nullptr;
    const char* rays = nullptr;
    const char* out = nullptr;
    float scale = 1.0f;
    int threads = 1;
    int rounds = 5;
    int scalingRounds = 0;
    int verify = 0;
};

bool ParseOptions(int argc, char** argv, Options& options)
{
    for (int i = 1; i < argc; i++) {
        const std::string arg = argv[i];
        if ((arg == "-i" || arg == "-j" || arg == "-r" || arg == "--out" || arg == "--scaling" || arg == "--verify") &&
            i + 1 < argc) {
            const char* value = argv[++i];
            if (arg == "-i")
                options.scale = std::strtof(value, nullptr);
            else if (arg == "-j")
                options.threads = std::atoi(value);
            else if (arg == "-r")
                options.rounds = std::atoi(value);
            else if (arg == "--scaling")
                options.scalingRounds = std::atoi(value);
            else if (arg == "--verify")
                options.verify = std::atoi(value);
            else
                options.out = value;
        } else if (!options.model) {
            options.model = argv[i];
        } else if (!options.rays) {
            options.rays = argv[i];
        } else {
            return false;
        }
    }
    return options.model && options.rays && options.threads >= 1 && options.scale > 0 && options.rounds >= 1 &&
           options.scalingRounds >= 0 && options.verify >= 0;
}

// Processor time of the calling thread: on a busy machine it leaves out the time the thread
// waited for a core, which wall time does not.
double ThreadCpuSeconds()
{
    timespec now;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return double(now.tv_sec) + double(now.tv_nsec) * 1e-9;
}

// Chunks of rays are claimed from one counter; each thread traces with its own slot. The
// function is called through a template so the per-ray call inlines. Returns wall seconds; with
// one thread, cpuSeconds receives its processor time.
template <class Trace>
double RunRays(size_t count, int threadCount, std::vector<float>& distances, const Trace& trace,
               double* cpuSeconds = nullptr)
{
    const double cpuStart = ThreadCpuSeconds();
    distances.assign(count, Engine::noHit);
    std::atomic<size_t> next{0};
    const size_t chunk = 1024;
    auto body = [&](int slot) {
        for (;;) {
            const size_t start = next.fetch_add(chunk);
            if (start >= count)
                return;
            const size_t end = std::min(start + chunk, count);
            for (size_t i = start; i < end; i++)
                distances[i] = trace(slot, i);
        }
    };
    const auto start = std::chrono::steady_clock::now();
    std::vector<std::thread> threads;
    for (int slot = 1; slot < threadCount; slot++)
        threads.emplace_back(body, slot);
    body(0);
    for (std::thread& thread : threads)
        thread.join();
    if (cpuSeconds)
        *cpuSeconds = ThreadCpuSeconds() - cpuStart;
    return Seconds(start);
}


bool SameBits(float a, float b) { return std::memcmp(&a, &b, sizeof(float)) == 0; }

// Rays where the two trees differ, each traced by the loop over every triangle.
void CompareTrees(const Engine::TriangleMeshView& view, const std::vector<KdRay>& rays, float maxDistance,
                  const std::vector<float>& kd, const std::vector<float>& bvh)
{
    size_t differ = 0, bvhRight = 0, kdRight = 0;
    for (size_t i = 0; i < rays.size(); i++) {
        if (SameBits(kd[i], bvh[i]))
            continue;
        differ++;
        const float loop = Engine::NearestTriangleByLoop(view, 0, rays[i], nullptr, maxDistance);
        bvhRight += SameBits(loop, bvh[i]);
        kdRight += SameBits(loop, kd[i]);
        if (differ <= 5)
            std::printf("differ_ray: %zu kd %.9g bvh %.9g loop %.9g\n", i, double(kd[i]), double(bvh[i]), double(loop));
    }
    std::printf("rays_differing: %zu\n", differ);
    std::printf("differing_bvh_matches_loop: %zu\n", bvhRight);
    std::printf("differing_kdtree_matches_loop: %zu\n", kdRight);
}

void Verify(const Engine::TriangleMeshView& view, const std::vector<KdRay>& rays, float maxDistance,
            const std::vector<float>& bvh, int count)
{
    size_t checked = 0, wrong = 0;
    const size_t step = std::max<size_t>(1, rays.size() / size_t(count));
    for (size_t i = 0; i < rays.size() && checked < size_t(count); i += step, checked++) {
        const float loop = Engine::NearestTriangleByLoop(view, 0, rays[i], nullptr, maxDistance);
        if (!SameBits(loop, bvh[i])) {
            wrong++;
            std::printf("verify_wrong_ray: %zu bvh %.9g loop %.9g\n", i, double(bvh[i]), double(loop));
        }
    }
    std::printf("verified_rays: %zu\nverified_wrong: %zu\n", checked, wrong);
}

}  // namespace

int main(int argc, char** argv)
{
    Options options;
    if (!ParseOptions(argc, argv, options)) {
        std::fprintf(stderr, "usage: ketra-raybench MODEL.obj RAYS.bin [-i SCALE] [-j THREADS] [-r ROUNDS] "
                             "[--out DISTS.bin] [--scaling ROUNDS] [--verify COUNT]\n");
        return 2;
    }
    Engine::Lightmapper lightmapper{Engine::LightmapperSettings{}};
    if (!Bench::LoadModel(options.model, options.scale, lightmapper)) {
        std::fprintf(stderr, "cannot read model %s\n", options.model);
        return 1;
    }
    std::vector<KdRay> rays;
    float maxDistance = 0;
    if (!Bench::ReadRays(options.rays, rays, maxDistance)) {
        std::fprintf(stderr, "cannot read ray file %s\n", options.rays);
        return 1;
    }

    // The lightmapper's tree stage, as Build runs it.
    const Engine::LmMesh& mesh = lightmapper.Mesh();
    Engine::StagedBuild build(lightmapper);
    auto start = std::chrono::steady_clock::now();
    build.Trees();
    const double kdBuildSeconds = Seconds(start);
    const Engine::TriangleKdTree& tree = build.context.trees.kdTree;
    if (tree.SlotCount() < options.threads) {
        std::fprintf(stderr, "at most %d threads\n", tree.SlotCount());
        return 2;
    }
    const Engine::TriangleMeshView view = tree.BoundElements()->View();

    // The BVH on one thread, then on a pool of two to compare.
    Engine::WideBvh bvh;
    Core::ParallelFor pool;
    pool.Start(2);
    std::vector<double> bvhBuild1, bvhBuild1Cpu, bvhBuild2;
    for (int round = 0; round < 3; round++) {
        start = std::chrono::steady_clock::now();
        const double cpuStart = ThreadCpuSeconds();
        bvh.Build(view);
        bvhBuild1Cpu.push_back(ThreadCpuSeconds() - cpuStart);
        bvhBuild1.push_back(Seconds(start));
        start = std::chrono::steady_clock::now();
        bvh.Build(view, &pool);
        bvhBuild2.push_back(Seconds(start));
    }
    const Engine::WideBvh::Stats& stats = bvh.GetStats();

    std::printf("triangles: %zu\n", mesh.triangles.size());
    std::printf("kd_nodes: %zu\nkd_leaves: %zu\nkd_leaf_entries: %zu\nkd_depth: %d\n", tree.nodes.size(),
                tree.leaves.size(), tree.leafElements.size(), tree.Depth());
    std::printf("kd_build_s: %.4f\n", kdBuildSeconds);
    std::printf("bvh_nodes: %d\nbvh_leaves: %d\nbvh_depth: %d\nbvh_mb: %.2f\n", stats.nodeCount, stats.leafCount,
                stats.depth, double(stats.bytes) / 1e6);
    std::printf("bvh_kernel: %s\n", bvh.Kernel() == Engine::BvhKernel::avx2 ? "avx2" : "sse2");
    std::printf("bvh_build_1_s: %.4f\nbvh_build_1_cpu_s: %.4f\nbvh_build_2_s: %.4f\n", Bench::Median(bvhBuild1),
                Bench::Median(bvhBuild1Cpu), Bench::Median(bvhBuild2));
    std::printf("rays: %zu\n", rays.size());

    std::vector<float> kdDistances, bvhDistances, embreeDistances;
    std::vector<double> kdRates, bvhRates, embreeRates;
    auto traceKd = [&](int slot, size_t i) { return tree.RayNearest(slot, 0, rays[i], nullptr, maxDistance); };
    auto traceBvh = [&](int, size_t i) { return bvh.RayNearest(0, rays[i], nullptr, maxDistance); };
#ifdef KETRA_BENCH_EMBREE
    Bench::EmbreeScene embree(mesh, options.threads);
    auto traceEmbree = [&](int, size_t i) { return embree.Trace(rays[i], maxDistance); };
#endif
    const double count = double(rays.size());
    // Per round and tracer, rays per processor second of the tracing thread (one thread only).
    std::vector<double> kdCpuRates, bvhCpuRates, embreeCpuRates;
    double cpu = 0;
    for (int round = 0; round < options.rounds; round++) {
        kdRates.push_back(count / RunRays(rays.size(), options.threads, kdDistances, traceKd, &cpu) / 1e6);
        kdCpuRates.push_back(count / cpu / 1e6);
        bvhRates.push_back(count / RunRays(rays.size(), options.threads, bvhDistances, traceBvh, &cpu) / 1e6);
        bvhCpuRates.push_back(count / cpu / 1e6);
#ifdef KETRA_BENCH_EMBREE
        embreeRates.push_back(count / RunRays(rays.size(), options.threads, embreeDistances, traceEmbree, &cpu) / 1e6);
        embreeCpuRates.push_back(count / cpu / 1e6);
#endif
    }
    size_t hits = 0;
    for (float d : bvhDistances)
        hits += d != Engine::noHit;
    const double kdRate = Bench::Median(kdRates), bvhRate = Bench::Median(bvhRates);
    std::printf("hits: %zu\n", hits);
    std::printf("rounds: %d\nthreads: %d\n", options.rounds, options.threads);
    std::printf("kd_mrays_per_s: %.3f\n", kdRate);
    std::printf("bvh_mrays_per_s: %.3f\n", bvhRate);
    std::printf("bvh_over_kd: %.3f\n", bvhRate / kdRate);
    if (options.threads == 1)
        std::printf("kd_mrays_per_cpu_s: %.3f\n", Bench::Median(kdCpuRates));
#ifdef KETRA_BENCH_EMBREE
    const double embreeRate = Bench::Median(embreeRates);
    std::vector<double> ratios;
    for (size_t r = 0; r < bvhRates.size(); r++)
        ratios.push_back(bvhRates[r] / embreeRates[r]);
    std::printf("embree_mrays_per_s: %.3f\n", embreeRate);
    std::printf("kd_over_embree: %.3f\n", kdRate / embreeRate);
    std::printf("bvh_over_embree: %.3f\n", bvhRate / embreeRate);
    std::printf("bvh_over_embree_per_round_median: %.3f\n", Bench::Median(ratios));
    if (options.threads == 1) {
        std::vector<double> cpuRatios;
        for (size_t r = 0; r < bvhCpuRates.size(); r++)
            cpuRatios.push_back(bvhCpuRates[r] / embreeCpuRates[r]);
        std::printf("bvh_mrays_per_cpu_s: %.3f\n", Bench::Median(bvhCpuRates));
        std::printf("embree_mrays_per_cpu_s: %.3f\n", Bench::Median(embreeCpuRates));
        std::printf("bvh_over_embree_cpu: %.3f\n", Bench::Median(cpuRatios));
    }
    size_t agree = 0;
    for (size_t i = 0; i < rays.size(); i++) {
        const float a = bvhDistances[i], b = embreeDistances[i];
        const bool aHit = a != Engine::noHit, bHit = b != Engine::noHit;
        agree += aHit == bHit && (!aHit || std::fabs(a - b) <= 1e-4f * std::max(1.0f, a));
    }
    std::printf("embree_agree_share: %.6f\n", rays.empty() ? 1.0 : double(agree) / double(rays.size()));
#endif

    CompareTrees(view, rays, maxDistance, kdDistances, bvhDistances);
    if (options.verify > 0)
        Verify(view, rays, maxDistance, bvhDistances, options.verify);

    if (options.scalingRounds > 0 && options.threads >= 2) {
        std::vector<double> one, many;
        bool agree = true;
        std::vector<float> single, multiple;
        for (int round = 0; round < options.scalingRounds; round++) {
            one.push_back(count / RunRays(rays.size(), 1, single, traceBvh) / 1e6);
            many.push_back(count / RunRays(rays.size(), options.threads, multiple, traceBvh) / 1e6);
            agree = agree && std::memcmp(single.data(), multiple.data(), single.size() * sizeof(float)) == 0;
        }
        const double oneMedian = Bench::Median(one), manyMedian = Bench::Median(many);
        std::printf("scaling_rounds: %d\n", options.scalingRounds);
        std::printf("bvh_mrays_per_s_1: %.3f\n", oneMedian);
        std::printf("bvh_mrays_per_s_%d: %.3f\n", options.threads, manyMedian);
        std::printf("bvh_speedup_%d: %.3f\n", options.threads, oneMedian > 0 ? manyMedian / oneMedian : 0.0);
        std::printf("threads_agree: %d\n", agree ? 1 : 0);
    }

    if (options.out) {
        FILE* file = std::fopen(options.out, "wb");
        if (!file || std::fwrite(bvhDistances.data(), sizeof(float), bvhDistances.size(), file) != bvhDistances.size()) {
            std::fprintf(stderr, "cannot write %s\n", options.out);
            if (file)
                std::fclose(file);
            return 1;
        }
        std::fclose(file);
    }
    return 0;
}
