#include "engine/lightmapper/lighting.h"

#include <algorithm>
#include <bit>
#include <cmath>

namespace Engine {

const float slotWeights[25] = {
    0.9f, 1.0f, 1.0f,  1.0f, 0.9f,  //
    1.0f, 1.1f, 1.15f, 1.1f, 1.0f,  //
    1.0f, 1.15f, 1.2f, 1.15f, 1.0f,  //
    1.0f, 1.1f, 1.15f, 1.1f, 1.0f,  //
    0.9f, 1.0f, 1.0f,  1.0f, 0.9f,
};

float LightIntensity(const LightRecord& light, Geom::Vec3 p, Geom::Vec3 n)
{
    if (light.type == LightAmbient)
        return 1;
    const bool directional = light.type == LightDirectional;
    Geom::Vec3 toLight = directional ? -light.direction : light.position - p;
    const float distance = Geom::Length(toLight);
    if (!directional && distance > light.range)
        return 0;
    toLight = Geom::Normalized(toLight);
    float attenuation = 1;
    if (!directional) {
        const Geom::Vec3 k = light.attenuation;
        attenuation = 1 / (k.x + k.y * distance + k.z * distance * distance);
        if (light.type == LightSpot) {
            const float c = -Geom::Dot(toLight, light.direction);
            // Written so that equal cosines (a hard cone edge) never divide by zero.
            if (c < light.spotOuterCos)
                attenuation = 0;
            else if (c < light.spotInnerCos)
                attenuation *= (c - light.spotOuterCos) / (light.spotInnerCos - light.spotOuterCos);
        }
    }
    return std::max(0.0f, Geom::Dot(toLight, n) * attenuation);
}

TangentFrame MakeTangentFrame(const TexelSample& sample)
{
    TangentFrame frame;
    frame.normal = sample.normal;
    const Geom::Vec3 t{sample.tangent.x, sample.tangent.y, sample.tangent.z};
    frame.tangent = Geom::Normalized(t - sample.normal * Geom::Dot(t, sample.normal));
    const float handedness = sample.tangent.w >= 0 ? 1.0f : -1.0f;
    frame.bitangent = Geom::Cross(sample.normal, frame.tangent) * handedness;
    return frame;
}

void EvaluateLitSample(const LmMesh& mesh, float epsilon, int32_t triangleIndex, const LmGroup& group,
                       Geom::Vec2 chartPoint, TexelSample& sample)
{
    EvaluateTexelSample(mesh, epsilon, triangleIndex, group, chartPoint, sample);
    if (sample.normal.x == 0 && sample.normal.y == 0 && sample.normal.z == 0)
        sample.normal = mesh.normals[size_t(mesh.triangles[size_t(triangleIndex)].faceNormal)];
}

void MarkEmissiveTriangles(LmMesh& mesh)
{
    for (LmTriangle& t : mesh.triangles) {
        if (t.object < 0)
            continue;
        const Geom::Vec3 colour = mesh.objects[size_t(t.object)].colour;
        if (colour.x != 0 || colour.y != 0 || colour.z != 0)
            t.flags |= TriangleEmissive;
    }
}

void LitMarks::ApplyTo(LmMesh& mesh) const
{
    for (size_t w = 0; w < wordCount; w++) {
        uint32_t bits = words[w].load(std::memory_order_relaxed);
        while (bits) {
            const int bit = std::countr_zero(bits);
            bits &= bits - 1;
            mesh.triangles[w * 32 + size_t(bit)].flags |= TriangleLit;
        }
    }
}

void PrepareLightingBuffers(std::vector<LmGroup>& groups)
{
    for (LmGroup& group : groups) {
        const size_t texels = size_t(group.TexelCount());
        for (std::vector<Geom::Vec3>& buffer : group.basis) {
            if (buffer.size() != texels)
                buffer.assign(texels, Geom::Vec3{0, 0, 0});
        }
        if (group.light.size() != texels)
            group.light.assign(texels, Geom::Vec3{0, 0, 0});
        for (std::vector<Geom::Vec3>& buffer : group.bounce) {
            if (buffer.size() != texels)
                buffer.assign(texels, Geom::Vec3{0, 0, 0});
        }
    }
}

}  // namespace Engine
