#include "engine/lightmapper/direct_light.h"

#include <string>

#include "engine/lightmapper/lighting.h"
#include "engine/lightmapper/post_process.h"
#include "engine/lightmapper/texel_runs.h"
#include "engine/lightmapper/texels.h"

namespace Engine {
namespace {

struct DirectLightPass {
    const LmMesh& mesh;
    const LightmapperSettings& settings;
    const TriangleTrees& trees;
    const BuildProgress& progress;
    LmCharts& charts;
    LitMarks& lit;
    bool firstPass;
    int32_t bases;

    // Whether nothing keeps the light from the ray origin o; `toLight` runs from o to the light
    // (for a directional light, against its direction over its range).
    bool Sees(const LightRecord& light, Geom::Vec3 o, Geom::Vec3 toLight, float distance, int32_t thread) const
    {
        if (light.type == LightDirectional) {
            // Sunlight comes in only through the openings that are flagged for it.
            if (!(distance > 0))
                return false;
            const KdRay ray{o, toLight / distance};
            int32_t hit = -1;
            const float d = trees.RayNearest(thread, lightingRayMode, ray, &hit, distance);
            return hit >= 0 && d > 0 && d != noHit && (mesh.triangles[size_t(hit)].flags & TriangleCoarse);
        }
        if (!(distance > 0))
            return true;  // the light sits on the point itself
        const KdRay ray{o + toLight, toLight / -distance};
        return !trees.RayAny(thread, lightingRayMode, ray, distance);
    }

    // Adds one light's slot-weighted contribution to one texel.
    void LightTexel(const LightRecord& light, const LmGroup& group, int32_t x, int32_t y, const int32_t* slots,
                    int32_t thread, Geom::Vec3* sums) const
    {
        const Geom::Vec3 zero{0, 0, 0};
        Geom::Vec3 accumulated[maxBases] = {zero, zero, zero, zero};
        float weightSum = 0;
        for (int32_t s = 0; s < group.samplesPerTexel; s++) {
            weightSum += slotWeights[s];
            const int32_t triangle = slots[s];
            if (triangle < 0)
                continue;
            if (light.type == LightAmbient) {
                lit.Mark(triangle);
                if (firstPass)
                    accumulated[0] += light.colour * slotWeights[s];
                continue;
            }
            const Geom::Vec2 offset = subsampleOffsets[s];
            const Geom::Vec2 p = ChartPoint(group, float(x) + offset.x, float(y) + offset.y);
            TexelSample sample;
            EvaluateLitSample(mesh, settings.epsilon, triangle, group, p, sample);
            const Geom::Vec3 o = sample.position + sample.normal * settings.epsilon;
            const Geom::Vec3 toLight =
                light.type == LightDirectional ? light.direction * -light.range : light.position - o;
            const float distance = Geom::Length(toLight);
            if (light.type != LightDirectional && distance > light.range)
                continue;
            if (Geom::Dot(sample.normal, toLight) < 0)
                continue;
            if (!Sees(light, o, toLight, distance, thread))
                continue;
            lit.Mark(triangle);
            const float intensity = LightIntensity(light, sample.position, sample.normal) * slotWeights[s];
            if (firstPass) {
                accumulated[0] += light.colour * intensity;
                if (bases > 2) {
                    const float grey = (light.colour.x + light.colour.y + light.colour.z) / 3;
                    const Geom::Vec3 local = MakeTangentFrame(sample).ToTangentSpace(Geom::Normalized(toLight));
                    accumulated[2] += local * (intensity * grey);
                }
            } else {
                accumulated[1] += light.colour * intensity;
            }
        }
        for (int32_t b = 0; b < bases; b++)
            sums[b] = weightSum != 0 ? accumulated[b] / weightSum : accumulated[b];
    }

    void RunTask(int32_t taskIndex, int32_t thread) const
    {
        const int32_t taskCount = int32_t(charts.tasks.size());
        progress.Report(100.0f * float(taskIndex) / float(taskCount), -1, std::string());
        const GroupTask& task = charts.tasks[size_t(taskIndex)];
        LmGroup& group = charts.groups[size_t(task.group)];
        if (group.groupFlags & GroupCoarse)
            return;
        int32_t slots[25];
        Geom::Vec3 sums[maxBases];
        for (const LightRecord& light : mesh.lights) {
            TexelRunCursor cursor(group, task.firstRun);
            for (int32_t y = task.firstRow; y < task.firstRow + task.rowCount; y++) {
                if (progress.IsCancelled())
                    return;
                for (int32_t x = 0; x < group.gridWidth; x++) {
                    if (cursor.Next(slots) < 0)
                        continue;
                    LightTexel(light, group, x, y, slots, thread, sums);
                    const size_t texel = size_t(y) * size_t(group.gridWidth) + size_t(x);
                    for (int32_t b = 0; b < bases; b++)
                        group.basis[b][texel] += sums[b];
                }
            }
        }
    }
};

}  // namespace

void RunDirectLight(LmMesh& mesh, const LightmapperSettings& settings, LmBuildContext& context, LmCharts& charts,
                    bool firstPass)
{
    LitMarks lit(mesh.TriangleCount());
    const DirectLightPass pass{mesh, settings, context.trees, context.progress, charts, lit, firstPass,
                               BasesUsed(settings)};
    context.pool.Run([&pass](int32_t task, int32_t thread) { pass.RunTask(task, thread); },
                     int32_t(charts.tasks.size()), 1);
    lit.ApplyTo(mesh);
    if (firstPass)
        return;
    std::vector<LmGroup>& groups = charts.groups;
    context.pool.Run(
        [&](int32_t g, int32_t) {
            if (settings.flags & SmoothDirectLight)
                BlurGroup(settings, 3, groups[size_t(g)], true);
        },
        int32_t(groups.size()), 1);
}

}  // namespace Engine
