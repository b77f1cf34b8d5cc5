#include "engine/lightmapper/final_gather.h"

#include <algorithm>
#include <cmath>
#include <string>

#include "core/log.h"
#include "core/timer.h"
#include "engine/lightmapper/ambient_occlusion.h"
#include "engine/lightmapper/hemisphere_samples.h"
#include "engine/lightmapper/lighting.h"
#include "engine/lightmapper/post_process.h"
#include "engine/lightmapper/texel_runs.h"
#include "engine/lightmapper/texels.h"

namespace Engine {
namespace {

bool IsBlack(Geom::Vec3 c) { return c.x == 0 && c.y == 0 && c.z == 0; }

Geom::Vec3 Modulate(Geom::Vec3 a, Geom::Vec3 b) { return {a.x * b.x, a.y * b.y, a.z * b.z}; }

// The group's light buffer at texel coordinates uv, bilinear between the four texels around it
// (indices clamped to the grid). Coordinates that are not finite read black.
Geom::Vec3 SampleLight(const LmGroup& group, Geom::Vec2 uv)
{
    if (!std::isfinite(uv.x) || !std::isfinite(uv.y))
        return {0, 0, 0};
    const float fx0 = std::floor(uv.x), fy0 = std::floor(uv.y);
    const float fx = uv.x - fx0, fy = uv.y - fy0;
    // Clamped as floats first: a coordinate far off the grid must not overflow the conversion.
    const int32_t w = group.gridWidth, h = group.gridHeight;
    const int32_t x0 = int32_t(std::clamp(fx0, -1.0f, float(w)));
    const int32_t y0 = int32_t(std::clamp(fy0, -1.0f, float(h)));
    const int32_t xa = std::clamp(x0, 0, w - 1), xb = std::clamp(x0 + 1, 0, w - 1);
    const int32_t ya = std::clamp(y0, 0, h - 1), yb = std::clamp(y0 + 1, 0, h - 1);
    const Geom::Vec3* top = group.light.data() + size_t(ya) * size_t(w);
    const Geom::Vec3* bottom = group.light.data() + size_t(yb) * size_t(w);
    const Geom::Vec3 upper = top[xa] * (1 - fx) + top[xb] * fx;
    const Geom::Vec3 lower = bottom[xa] * (1 - fx) + bottom[xb] * fx;
    return upper * (1 - fy) + lower * fy;
}

struct GatherPass {
    const LmMesh& mesh;
    const std::vector<GatherSurface>& surfaces;
    const LightmapperSettings& settings;
    const TriangleTrees& trees;
    const BuildProgress& progress;
    LmCharts& charts;
    SampleSet samples;
    int32_t sampleCount;

    // The light a ray brings back from the surface it met, with the weight of its direction;
    // false when the ray does not count (missed, unlit surface, its back, or black).
    bool RayLight(const KdRay& ray, Geom::Vec3 normal, int32_t thread, Geom::Vec3& radiance, float& weight) const
    {
        int32_t hit = -1;
        const float d = trees.RayNearest(thread, lightingRayMode, ray, &hit, gatherRayLength);
        if (hit < 0 || !(d > 0) || d == noHit)
            return false;
        const GatherSurface& h = surfaces[size_t(hit)];
        if (!(h.flags & TriangleLit) || h.group < 0)
            return false;
        const bool twoSided = (h.flags & TriangleTwoSided) != 0;
        if (!twoSided && Geom::Dot(ray.direction, h.faceNormal) > 0)
            return false;
        float b1, b2;
        RayTriangleEdges(ray, h.p0, h.e1, h.e2, rayTriangleTolerance, b1, b2);
        const Geom::Vec2 uv = h.uv0 + (h.uv1 - h.uv0) * b1 + (h.uv2 - h.uv0) * b2;
        Geom::Vec3 hitNormal = Geom::Normalized(h.n0 + (h.n1 - h.n0) * b1 + (h.n2 - h.n0) * b2);
        if (IsBlack(hitNormal))
            hitNormal = h.faceNormal;
        if (twoSided && Geom::Dot(hitNormal, ray.direction) > 0)
            hitNormal = -hitNormal;
        radiance = Modulate(SampleLight(charts.groups[size_t(h.group)], uv), h.reflectance);
        if (IsBlack(radiance))
            return false;
        weight = std::max(0.0f, -Geom::Dot(normal, ray.direction) * Geom::Dot(hitNormal, ray.direction));
        return true;
    }

    void RunTask(int32_t taskIndex, int32_t thread) const
    {
        const int32_t taskCount = int32_t(charts.tasks.size());
        progress.Report(100.0f * float(taskIndex) / float(taskCount), -1, std::string());
        AoRandom random;
        random.Seed(uint64_t(taskIndex));
        const GroupTask& task = charts.tasks[size_t(taskIndex)];
        LmGroup& group = charts.groups[size_t(task.group)];
        TexelRunCursor cursor(group, task.firstRun);
        const float count = float(sampleCount);
        for (int32_t y = task.firstRow; y < task.firstRow + task.rowCount; y++) {
            if (progress.IsCancelled())
                return;
            for (int32_t x = 0; x < group.gridWidth; x++) {
                const int32_t triangle = cursor.NextTriangle();
                if (triangle < 0)
                    continue;
                TexelSample s;
                EvaluateLitSample(mesh, settings.epsilon, triangle, group, ChartPoint(group, float(x), float(y)), s);
                const HemisphereFrame frame = MakeFrame(s.normal);
                const TangentFrame tangentFrame = MakeTangentFrame(s);
                const float rotation = TexelRotation(random.Next());
                KdRay ray;
                ray.origin = s.position + s.normal * settings.epsilon;
                Geom::Vec3 weighted{0, 0, 0}, direction{0, 0, 0}, plain{0, 0, 0};
                bool counted = false;
                for (int32_t i = 0; i < sampleCount; i++) {
                    ray.direction = HemisphereDirection(frame, samples, i, rotation);
                    Geom::Vec3 radiance;
                    float w;
                    if (!RayLight(ray, s.normal, thread, radiance, w))
                        continue;
                    counted = true;
                    weighted += radiance * w;
                    plain += radiance;
                    const float mean = (radiance.x + radiance.y + radiance.z) / 3;
                    direction += tangentFrame.ToTangentSpace(ray.direction) * (w * mean);
                }
                if (!counted)
                    continue;
                const size_t texel = size_t(y) * size_t(group.gridWidth) + size_t(x);
                group.bounce[0][texel] += weighted / count;
                group.bounce[2][texel] += direction / count;
                group.bounce[3][texel] += plain / count;
            }
        }
    }
};

}  // namespace

std::vector<GatherSurface> MakeGatherSurfaces(const LmMesh& mesh)
{
    std::vector<GatherSurface> surfaces(mesh.triangles.size());
    for (size_t i = 0; i < surfaces.size(); i++) {
        const LmTriangle& t = mesh.triangles[i];
        GatherSurface& s = surfaces[i];
        s.p0 = mesh.Corner(t, 0);
        s.e1 = mesh.Corner(t, 1) - s.p0;
        s.e2 = mesh.Corner(t, 2) - s.p0;
        s.n0 = mesh.normals[size_t(t.nrm[0])];
        s.n1 = mesh.normals[size_t(t.nrm[1])];
        s.n2 = mesh.normals[size_t(t.nrm[2])];
        s.uv0 = t.lmUv[0];
        s.uv1 = t.lmUv[1];
        s.uv2 = t.lmUv[2];
        s.faceNormal = mesh.normals[size_t(t.faceNormal)];
        s.reflectance = t.object >= 0 ? mesh.objects[size_t(t.object)].reflectance : Geom::Vec3{1, 1, 1};
        s.group = t.group;
        s.flags = t.flags;
    }
    return surfaces;
}

void GatherBounce(const LmMesh& mesh, const std::vector<GatherSurface>& surfaces, const LightmapperSettings& settings,
                  LmBuildContext& context, LmCharts& charts, int32_t sampleCount)
{
    const GatherPass pass{mesh,   surfaces, settings, context.trees, context.progress,
                          charts, MakeSampleSet(sampleCount), std::max(sampleCount, 0)};
    context.pool.Run([&pass](int32_t task, int32_t thread) { pass.RunTask(task, thread); },
                     int32_t(charts.tasks.size()), 1);
}

void MergeBounce(const LightmapperSettings& settings, LmGroup& group)
{
    // -k 1 turns the blur off, not the bounce: the gathered light is added all the same.
    if (settings.blurKernel != 1 && (settings.flags & FinalBlur)) {
        const int32_t kernel = settings.blurKernel == 0 ? AutoKernelSize(group) : (settings.blurKernel | 1);
        // Four rounds: a gather of a few rays per texel is noisy, and one kernel's width does
        // not smooth it out.
        for (int round = 0; round < 4; round++)
            BlurGroup(settings, kernel, group, false);
    }
    for (int32_t b = 0; b < maxBases; b++) {
        std::vector<Geom::Vec3>& basis = group.basis[b];
        const std::vector<Geom::Vec3>& bounce = group.bounce[b];
        for (size_t t = 0; t < basis.size(); t++)
            basis[t] += bounce[t];
    }
}

void ApplyDominantDirection(const LmMesh& mesh, const LightmapperSettings& settings, LmGroup& group,
                            int32_t sampleCount)
{
    if (sampleCount <= 0)
        return;
    const float count = float(sampleCount);
    TexelRunCursor cursor(group, 0);
    for (int32_t y = 0; y < group.gridHeight; y++) {
        for (int32_t x = 0; x < group.gridWidth; x++) {
            const int32_t triangle = cursor.NextTriangle();
            if (triangle < 0)
                continue;
            const size_t texel = size_t(y) * size_t(group.gridWidth) + size_t(x);
            const Geom::Vec3 gathered = group.basis[3][texel];
            if (IsBlack(gathered))
                continue;
            TexelSample s;
            EvaluateLitSample(mesh, settings.epsilon, triangle, group, ChartPoint(group, float(x), float(y)), s);
            const Geom::Vec3 dominant = Geom::Normalized(MakeTangentFrame(s).ToWorld(group.basis[2][texel]));
            const float c = std::max(0.0f, Geom::Dot(dominant, s.normal));
            // Once per sample left, each a share of that count: the sum keeps the rounding of
            // the repeated addition.
            for (int32_t k = 0; k < sampleCount; k++)
                group.basis[1][texel] += gathered * c / count;
        }
    }
}

void RunFinalGather(LmMesh& mesh, const LightmapperSettings& settings, LmBuildContext& context, LmCharts& charts,
                    int32_t bounces)
{
    std::vector<LmGroup>& groups = charts.groups;
    const int32_t groupCount = int32_t(groups.size());
    int32_t sampleCount = settings.sampleCount;
    for (LmGroup& group : groups) {
        for (size_t t = 0; t < group.light.size(); t++)
            group.light[t] += group.basis[0][t];
    }
    std::vector<GatherSurface> surfaces = MakeGatherSurfaces(mesh);
    Core::Timer timer;
    timer.Start();
    for (int32_t i = 0; i < bounces && sampleCount > 0 && !context.progress.IsCancelled(); i++) {
        Core::LogFormat("LM: bounce %d", i);
        const std::string title = "Indirect bounce " + std::to_string(i + 1) + "/" + std::to_string(bounces);
        context.progress.Report(0, 50.0f + 50.0f * float(i) / float(bounces), title);
        context.pool.Run(
            [&groups](int32_t g, int32_t) {
                for (std::vector<Geom::Vec3>& buffer : groups[size_t(g)].bounce)
                    std::fill(buffer.begin(), buffer.end(), Geom::Vec3{0, 0, 0});
            },
            groupCount, 1);
        GatherBounce(mesh, surfaces, settings, context, charts, sampleCount);
        context.pool.Run([&](int32_t g, int32_t) { MergeBounce(settings, groups[size_t(g)]); }, groupCount, 1);
        // Every surface has now taken part in a bounce: the next one gathers from all of them.
        for (size_t t = 0; t < surfaces.size(); t++) {
            mesh.triangles[t].flags |= TriangleLit;
            surfaces[t].flags |= TriangleLit;
        }
        for (LmGroup& group : groups)
            group.light = group.bounce[0];
        sampleCount /= 4;
    }
    context.pool.Run([&](int32_t g, int32_t) { ApplyDominantDirection(mesh, settings, groups[size_t(g)], sampleCount); },
                     groupCount, 1);
    Core::LogFormat("\ttook %d msec", int(timer.Stop()));
}

}  // namespace Engine
