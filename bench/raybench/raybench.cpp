// ketra-raybench MODEL.obj RAYS.bin [-i SCALE] [-j THREADS] [--out DISTS.bin] [--scaling ROUNDS]
//
// Builds the triangle kd-tree over a model and traces every ray of a ray file (as written by
// make_rays.py: "KRAY", version 1, count, maximum distance, then 6 floats a ray) with
// RayNearest in mode 0 up to the file's maximum distance. Prints one "name value" line per
// figure. --out writes one little-endian float per ray: the distance, or 1e37 for a miss.
// --scaling ROUNDS (with -j 2 or more) then traces the rays with one thread and with THREADS
// threads in turn, ROUNDS times each, and prints the speedup of the medians.

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

#ifdef KETRA_RAYBENCH_EMBREE
#include <embree3/rtcore.h>
#endif

namespace {

using Engine::KdRay;
using Geom::Vec3;

double ProcessCpuSeconds()
{
    return double(std::clock()) / CLOCKS_PER_SEC;
}

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
    int scalingRounds = 0;
};

bool ParseOptions(int argc, char** argv, Options& options)
{
    for (int i = 1; i < argc; i++) {
        const std::string arg = argv[i];
        if ((arg == "-i" || arg == "-j" || arg == "--out" || arg == "--scaling") && i + 1 < argc) {
            const char* value = argv[++i];
            if (arg == "-i")
                options.scale = std::strtof(value, nullptr);
            else if (arg == "-j")
                options.threads = std::atoi(value);
            else if (arg == "--scaling")
                options.scalingRounds = std::atoi(value);
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
    return options.model && options.rays && options.threads >= 1 && options.scale > 0 && options.scalingRounds >= 0;
}

struct Tracer {
    const Engine::TriangleKdTree* tree = nullptr;
    const std::vector<KdRay>* rays = nullptr;
    float maxDistance = 0;
    std::vector<float> distances;

    // Chunks of rays are claimed from one counter; each thread traces with its own slot.
    double Run(int threadCount)
    {
        distances.assign(rays->size(), Engine::noHit);
        std::atomic<size_t> next{0};
        const size_t chunk = 1024;
        auto body = [&](int slot) {
            for (;;) {
                const size_t start = next.fetch_add(chunk);
                if (start >= rays->size())
                    return;
                const size_t end = std::min(start + chunk, rays->size());
                for (size_t i = start; i < end; i++)
                    distances[i] = tree->RayNearest(slot, 0, (*rays)[i], nullptr, maxDistance);
            }
        };
        const auto start = std::chrono::steady_clock::now();
        std::vector<std::thread> threads;
        for (int slot = 1; slot < threadCount; slot++)
            threads.emplace_back(body, slot);
        body(0);
        for (std::thread& thread : threads)
            thread.join();
        return Seconds(start);
    }
};

// One thread and `threads` threads take turns on the same rays in this process, so both see the
// same machine; prints the medians, their ratio and whether both gave the same distances.
void MeasureScaling(Tracer& tracer, int threads, int rounds)
{
    std::vector<double> one, many;
    bool agree = true;
    for (int round = 0; round < rounds; round++) {
        one.push_back(double(tracer.rays->size()) / tracer.Run(1) / 1e6);
        const std::vector<float> single = tracer.distances;
        many.push_back(double(tracer.rays->size()) / tracer.Run(threads) / 1e6);
        agree = agree && std::memcmp(single.data(), tracer.distances.data(), single.size() * sizeof(float)) == 0;
    }
    const double oneMedian = Bench::Median(one), manyMedian = Bench::Median(many);
    std::printf("scaling_rounds: %d\n", rounds);
    std::printf("mrays_per_s_1: %.3f\n", oneMedian);
    std::printf("mrays_per_s_%d: %.3f\n", threads, manyMedian);
    std::printf("speedup_%d: %.3f\n", threads, oneMedian > 0 ? manyMedian / oneMedian : 0.0);
    std::printf("threads_agree: %d\n", agree ? 1 : 0);
}

#ifdef KETRA_RAYBENCH_EMBREE
// Embree on the same triangles and rays, nearest hit in (1/2304, maxDistance], for scale.
double TraceEmbree(const Engine::LmMesh& mesh, const std::vector<KdRay>& rays, float maxDistance, int threadCount,
                   std::vector<float>& distances)
{
    RTCDevice device = rtcNewDevice(threadCount == 1 ? "threads=1" : nullptr);
    RTCScene scene = rtcNewScene(device);
    RTCGeometry geometry = rtcNewGeometry(device, RTC_GEOMETRY_TYPE_TRIANGLE);
    float* vertices = static_cast<float*>(rtcSetNewGeometryBuffer(geometry, RTC_BUFFER_TYPE_VERTEX, 0,
                                                                  RTC_FORMAT_FLOAT3, 3 * sizeof(float),
                                                                  mesh.positions.size()));
    std::memcpy(vertices, mesh.positions.data(), mesh.positions.size() * sizeof(Vec3));
    unsigned* indices = static_cast<unsigned*>(rtcSetNewGeometryBuffer(
        geometry, RTC_BUFFER_TYPE_INDEX, 0, RTC_FORMAT_UINT3, 3 * sizeof(unsigned), mesh.triangles.size()));
    for (size_t i = 0; i < mesh.triangles.size(); i++) {
        for (int k = 0; k < 3; k++)
            indices[i * 3 + size_t(k)] = unsigned(mesh.triangles[i].pos[k]);
    }
    rtcCommitGeometry(geometry);
    rtcAttachGeometry(scene, geometry);
    rtcReleaseGeometry(geometry);
    rtcCommitScene(scene);

    distances.assign(rays.size(), Engine::noHit);
    std::atomic<size_t> next{0};
    const size_t chunk = 1024;
    auto body = [&]() {
        RTCIntersectContext context;
        rtcInitIntersectContext(&context);
        for (;;) {
            const size_t start = next.fetch_add(chunk);
            if (start >= rays.size())
                return;
            const size_t end = std::min(start + chunk, rays.size());
            for (size_t i = start; i < end; i++) {
                const KdRay& ray = rays[i];
                RTCRayHit hit;
                hit.ray.org_x = ray.origin.x;
                hit.ray.org_y = ray.origin.y;
                hit.ray.org_z = ray.origin.z;
                hit.ray.dir_x = ray.direction.x;
                hit.ray.dir_y = ray.direction.y;
                hit.ray.dir_z = ray.direction.z;
                hit.ray.tnear = Engine::selfHitDistance;
                hit.ray.tfar = maxDistance;
                hit.ray.mask = ~0u;
                hit.ray.flags = 0;
                hit.ray.time = 0;
                hit.hit.geomID = RTC_INVALID_GEOMETRY_ID;
                rtcIntersect1(scene, &context, &hit);
                if (hit.hit.geomID != RTC_INVALID_GEOMETRY_ID)
                    distances[i] = hit.ray.tfar;
            }
        }
    };
    const auto start = std::chrono::steady_clock::now();
    std::vector<std::thread> threads;
    for (int t = 1; t < threadCount; t++)
        threads.emplace_back(body);
    body();
    for (std::thread& thread : threads)
        thread.join();
    const double seconds = Seconds(start);
    rtcReleaseScene(scene);
    rtcReleaseDevice(device);
    return seconds;
}
#endif

}  // namespace

int main(int argc, char** argv)
{
    Options options;
    if (!ParseOptions(argc, argv, options)) {
        std::fprintf(stderr, "usage: ketra-raybench MODEL.obj RAYS.bin [-i SCALE] [-j THREADS] [--out DISTS.bin] [--scaling ROUNDS]\n");
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
    const auto buildStart = std::chrono::steady_clock::now();
    const double buildCpuStart = ProcessCpuSeconds();
    build.Trees();
    const double buildSeconds = Seconds(buildStart);
    const double buildCpuSeconds = ProcessCpuSeconds() - buildCpuStart;
    const Engine::TriangleKdTree& tree = build.context.trees.kdTree;
    if (tree.SlotCount() < options.threads) {
        std::fprintf(stderr, "at most %d threads\n", tree.SlotCount());
        return 2;
    }

    Tracer tracer;
    tracer.tree = &tree;
    tracer.rays = &rays;
    tracer.maxDistance = maxDistance;
    const double cpuStart = ProcessCpuSeconds();
    const double traceSeconds = tracer.Run(options.threads);
    const double traceCpuSeconds = ProcessCpuSeconds() - cpuStart;
    size_t hits = 0;
    for (float d : tracer.distances)
        hits += d != Engine::noHit;
    const double mrays = double(rays.size()) / traceSeconds / 1e6;

    std::printf("triangles: %zu\n", mesh.triangles.size());
    std::printf("nodes: %zu\nleaves: %zu\nleaf_entries: %zu\ndepth: %d\n", tree.nodes.size(), tree.leaves.size(),
                tree.leafElements.size(), tree.Depth());
    // Changes to the build must leave the tree as it is: a checksum of nodes and leaf lists.
    const uint32_t treeHash = Core::HashBytes(tree.leafElements.data(), tree.leafElements.size() * 4,
                                              Core::HashBytes(tree.nodes.data(), tree.nodes.size() * sizeof(Engine::KdNode), 0));
    std::printf("tree_hash: %08x\n", treeHash);
    std::printf("build_s: %.4f\n", buildSeconds);
    std::printf("build_cpu_s: %.4f\n", buildCpuSeconds);
    std::printf("rays: %zu\n", rays.size());
    std::printf("hits: %zu\n", hits);
    std::printf("trace_s: %.4f\n", traceSeconds);
    std::printf("mrays_per_s: %.3f\n", mrays);
    // CPU time of the trace, all threads: steadier than the wall clock on a shared machine.
    std::printf("trace_cpu_s: %.4f\n", traceCpuSeconds);

#ifdef KETRA_RAYBENCH_EMBREE
    std::vector<float> embreeDistances;
    const double embreeSeconds = TraceEmbree(mesh, rays, maxDistance, options.threads, embreeDistances);
    const double embreeMrays = double(rays.size()) / embreeSeconds / 1e6;
    size_t agree = 0;
    for (size_t i = 0; i < rays.size(); i++) {
        const float a = tracer.distances[i], b = embreeDistances[i];
        const bool aHit = a != Engine::noHit, bHit = b != Engine::noHit;
        agree += aHit == bHit && (!aHit || std::fabs(a - b) <= 1e-4f * std::max(1.0f, a));
    }
    std::printf("embree_mrays_per_s: %.3f\n", embreeMrays);
    std::printf("ratio: %.3f\n", mrays / embreeMrays);
    std::printf("agree_share: %.6f\n", rays.empty() ? 1.0 : double(agree) / double(rays.size()));
#endif

    if (options.scalingRounds > 0 && options.threads >= 2)
        MeasureScaling(tracer, options.threads, options.scalingRounds);

    if (options.out) {
        FILE* file = std::fopen(options.out, "wb");
        if (!file || std::fwrite(tracer.distances.data(), sizeof(float), tracer.distances.size(), file) !=
                         tracer.distances.size()) {
            std::fprintf(stderr, "cannot write %s\n", options.out);
            if (file)
                std::fclose(file);
            return 1;
        }
        std::fclose(file);
    }
    return 0;
}
