#include "engine/lightmapper/ambient_occlusion.h"

#include <algorithm>
#include <cmath>
#include <vector>

#include "core/log.h"
#include "core/timer.h"
#include "engine/lightmapper/hemisphere_samples.h"
#include "engine/lightmapper/post_process.h"
#include "engine/lightmapper/texel_runs.h"
#include "engine/lightmapper/texels.h"

namespace Engine {
namespace {

inline uint64_t RotateRight(uint64_t x, int n) { return (x >> n) | (x << (64 - n)); }

// The rays of one surface point: one origin, and direction i of the set turned by the texel's
// rotation about the normal.
struct TexelRays {
    const SampleSet& samples;
    HemisphereFrame frame;
    KdRay ray;
    float rotation;

    TexelRays(const SampleSet& set, const TexelSample& s, float epsilon, float turn)
        : samples(set), frame(MakeFrame(s.normal)), rotation(turn)
    {
        ray.origin = s.position + s.normal * epsilon;
    }

    const KdRay& Ray(int32_t i)
    {
        ray.direction = HemisphereDirection(frame, samples, i, rotation);
        return ray;
    }
};

// The texels of one task in the pass's order, with what the pass needs of each: visit(x, y,
// untraced, rays). The generator is seeded from the task alone, so the rays do not depend on the
// thread or the order of tasks. Stops early (false) when the build is cancelled.
template <class Visit>
bool VisitTaskTexels(const LmMesh& mesh, const LightmapperSettings& settings, const LmCharts& charts,
                     const SampleSet& samples, const BuildProgress* progress, int32_t taskIndex, Visit&& visit)
{
    AoRandom random;
    random.Seed(uint64_t(taskIndex));
    const GroupTask& task = charts.tasks[size_t(taskIndex)];
    const LmGroup& group = charts.groups[size_t(task.group)];
    TexelRunCursor cursor(group, task.firstRun);
    int32_t slots[25];
    for (int32_t y = task.firstRow; y < task.firstRow + task.rowCount; y++) {
        if (progress && progress->IsCancelled())
            return false;
        for (int32_t x = 0; x < group.gridWidth; x++) {
            const int32_t triangle = cursor.Next(slots);
            if (triangle < 0)
                continue;
            const LmTriangle& t = mesh.triangles[size_t(triangle)];
            const Geom::Vec2 p = ChartPoint(group, float(x), float(y));
            TexelSample s;
            EvaluateTexelSample(mesh, settings.epsilon, triangle, group, p, s);
            // A zero interpolated normal (opposite corner normals) has no hemisphere: the
            // triangle's own normal stands in for the frame and the ray origins.
            if (s.normal.x == 0 && s.normal.y == 0 && s.normal.z == 0)
                s.normal = mesh.normals[size_t(t.faceNormal)];
            TexelRays rays(samples, s, settings.epsilon, TexelRotation(random.Next()));
            visit(x, y, (t.flags & TriangleUntraced) != 0, rays);
        }
    }
    return true;
}

struct AoPass {
    const LmMesh& mesh;
    const LightmapperSettings& settings;
    const TriangleTrees& trees;
    const BuildProgress& progress;
    LmCharts& charts;
    SampleSet samples;
    int32_t sampleCount;

    // Mean score of the rays from one surface point.
    float Occlusion(TexelRays& rays, int32_t thread) const
    {
        const float distance = settings.aoDistance;
        float sum = 0;
        for (int32_t i = 0; i < sampleCount; i++) {
            const float d = trees.RayNearest(thread, 0, rays.Ray(i), nullptr, distance);
            if (d > 0)
                sum += std::clamp(d / distance, 0.0f, 1.0f);
        }
        // With no samples there is nothing to average: the texel is closed, never NaN.
        return sampleCount > 0 ? sum / float(sampleCount) : 0.0f;
    }

    void RunTask(int32_t taskIndex, int32_t thread) const
    {
        const int32_t taskCount = int32_t(charts.tasks.size());
        progress.Report(100.0f * float(taskIndex) / float(taskCount), -1, std::string());
        LmGroup& group = charts.groups[size_t(charts.tasks[size_t(taskIndex)].group)];
        VisitTaskTexels(mesh, settings, charts, samples, &progress, taskIndex,
                        [&](int32_t x, int32_t y, bool untraced, TexelRays& rays) {
                            const float value = untraced ? 1.0f : Occlusion(rays, thread);
                            group.basis[0][size_t(y * group.gridWidth + x)] += Geom::Vec3{value, value, value};
                        });
    }
};

}  // namespace

void AoRandom::Seed(uint64_t k)
{
    s0 = s1 = k;
    for (int i = 0; i < 64; i++)
        Next();
}

uint32_t AoRandom::Next()
{
    uint64_t a = s0, b = s1;
    s0 = a + RotateRight(b ^ 0xCF14F4EBC5462216ull, 1);
    s1 = b + RotateRight(a ^ 0x9576080C75ECFC58ull, 9);
    return uint32_t(s1);
}

void RunAmbientOcclusion(const LmMesh& mesh, const LightmapperSettings& settings, LmBuildContext& context,
                         LmCharts& charts)
{
    const int32_t sampleCount = settings.sampleCount;
    std::vector<LmGroup>& groups = charts.groups;
    const int32_t groupCount = int32_t(groups.size());
    Core::Timer timer;
    timer.Start();
    Core::Log("AO");
    context.pool.Run(
        [&groups](int32_t g, int32_t) {
            for (std::vector<Geom::Vec3>& buffer : groups[size_t(g)].bounce)
                std::fill(buffer.begin(), buffer.end(), Geom::Vec3{0, 0, 0});
        },
        groupCount, 1);
    AoPass pass{mesh, settings, context.trees, context.progress, charts, MakeSampleSet(sampleCount),
                std::max(sampleCount, 0)};
    context.pool.Run([&pass](int32_t task, int32_t thread) { pass.RunTask(task, thread); },
                     int32_t(charts.tasks.size()), 1);
    context.pool.Run([&](int32_t g, int32_t) { PostProcessAoGroup(settings, groups[size_t(g)]); }, groupCount, 1);
    Core::LogFormat("\ttook %d msec", int(timer.Stop()));
}

void ForEachAoTexelRays(const LmMesh& mesh, const LightmapperSettings& settings, const LmCharts& charts,
                        const Core::Delegate<void(const KdRay* rays, int32_t count)>& visit)
{
    const int32_t sampleCount = std::max(settings.sampleCount, 0);
    const SampleSet samples = MakeSampleSet(sampleCount);
    std::vector<KdRay> buffer(static_cast<size_t>(sampleCount));
    for (int32_t task = 0; task < int32_t(charts.tasks.size()); task++) {
        VisitTaskTexels(mesh, settings, charts, samples, nullptr, task,
                        [&](int32_t, int32_t, bool untraced, TexelRays& rays) {
                            if (untraced)
                                return;
                            for (int32_t i = 0; i < sampleCount; i++)
                                buffer[size_t(i)] = rays.Ray(i);
                            visit(buffer.data(), sampleCount);
                        });
    }
}

}  // namespace Engine
