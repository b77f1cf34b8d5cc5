#include "engine/lightmapper/ambient_occlusion.h"

#include <algorithm>
#include <cmath>
#include <vector>

#include "core/log.h"
#include "core/timer.h"
#include "engine/lightmapper/post_process.h"
#include "engine/lightmapper/texel_runs.h"
#include "engine/lightmapper/texels.h"

namespace Engine {
namespace {

constexpr float degreesToRadians = 0.017453292f;

inline uint64_t RotateRight(uint64_t x, int n) { return (x >> n) | (x << (64 - n)); }

// The Hammersley set of the pass, shared read-only by every task: radius sqrt(i / N) and the
// base angle 360 * radicalInverse(i) in degrees.
struct SampleSet {
    std::vector<float> radius;
    std::vector<float> turn;
};

SampleSet MakeSampleSet(int32_t count)
{
    SampleSet set;
    set.radius.resize(size_t(std::max(count, 0)));
    set.turn.resize(set.radius.size());
    for (int32_t i = 0; i < count; i++) {
        float u = float(i) / float(count);
        uint32_t bits = uint32_t(i);
        bits = (bits << 16) | (bits >> 16);
        bits = ((bits & 0x00FF00FFu) << 8) | ((bits & 0xFF00FF00u) >> 8);
        bits = ((bits & 0x0F0F0F0Fu) << 4) | ((bits & 0xF0F0F0F0u) >> 4);
        bits = ((bits & 0x33333333u) << 2) | ((bits & 0xCCCCCCCCu) >> 2);
        bits = ((bits & 0x55555555u) << 1) | ((bits & 0xAAAAAAAAu) >> 1);
        float v = float(double(bits) * 2.3283064365386963e-10);
        set.radius[size_t(i)] = std::sqrt(u);
        set.turn[size_t(i)] = 360.0f * v;
    }
    return set;
}

// The frame of the hemisphere above a surface point.
struct HemisphereFrame {
    Geom::Vec3 n, b1, b2;
};

// n along the surface normal, b2 from the world axis two after n's dominant one, b1 = b2 x n.
HemisphereFrame MakeFrame(Geom::Vec3 normal)
{
    HemisphereFrame f;
    f.n = Geom::Normalized(normal);
    const int32_t m = Geom::DominantAxis(f.n);
    Geom::Vec3 e{0, 0, 0};
    e[(m + 2) % 3] = 1;
    float nn = Geom::Dot(f.n, f.n);
    f.b2 = Geom::Normalized(nn > 0 ? e - f.n * Geom::Dot(f.n, e) / nn : e);
    f.b1 = Geom::Cross(f.b2, f.n);
    return f;
}

// The rays of one surface point: one origin, and sample i of the set turned by the texel's
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
        const float r = samples.radius[size_t(i)];
        const float phi = (samples.turn[size_t(i)] + rotation) * degreesToRadians;
        const float b = r * std::cos(phi), c = r * std::sin(phi);
        const float a = std::sqrt(std::max(0.0f, 1.0f - b * b - c * c));
        ray.direction = frame.n * a + frame.b1 * b + frame.b2 * c;
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
            const float rotation = float(random.Next()) * 2.3283064e-10f * 360.0f;
            TexelRays rays(samples, s, settings.epsilon, rotation);
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
