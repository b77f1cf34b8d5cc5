#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <vector>

#include "engine/lightmapper/group.h"
#include "engine/lightmapper/mesh.h"
#include "engine/lightmapper/records.h"
#include "engine/lightmapper/texels.h"
#include "geom/vec.h"

namespace Engine {

// What the lighting passes (direct light, final gather) share.

// Rays that look for light: triangles hidden from rays by their flags stay hidden unless they
// are their own object's (emitters are), unlike the ambient-occlusion rays of mode 0.
constexpr int32_t lightingRayMode = 32;
// Length of a gather ray: farther than any scene this tool bakes.
constexpr float gatherRayLength = 4096;

// Weight of each sub-sample slot of a supersampled texel: the centre of the 5 x 5 pattern
// counts most, its corners least.
extern const float slotWeights[25];

// The unit vector along `direction` (also for tiny and huge ones); zero for a zero or
// non-finite vector.
Geom::Vec3 UnitDirection(Geom::Vec3 direction);

// False for a record the passes cannot use: a type out of range, a non-finite value, a negative
// range or attenuation term, attenuation all zero (point and spot), no direction (spot and
// directional), cone cosines outside -1..1 or inner below outer.
bool UsableLight(const LightRecord& light);

// How strongly a light reaches point p with unit normal n: the cosine at the surface times the
// distance attenuation and the spot cone; 0 beyond the range or behind the surface. Visibility
// is not tested here. An ambient light gives 1.
float LightIntensity(const LightRecord& light, Geom::Vec3 p, Geom::Vec3 n);

// The texel's tangent frame: the interpolated tangent made orthogonal to the normal, the
// bitangent by the tangent's handedness. Directions are stored in the bases in this frame.
struct TangentFrame {
    Geom::Vec3 tangent, bitangent, normal;

    Geom::Vec3 ToTangentSpace(Geom::Vec3 v) const
    {
        return {Geom::Dot(v, tangent), Geom::Dot(v, bitangent), Geom::Dot(v, normal)};
    }
    Geom::Vec3 ToWorld(Geom::Vec3 v) const { return tangent * v.x + bitangent * v.y + normal * v.z; }
};

TangentFrame MakeTangentFrame(const TexelSample& sample);

// The surface sample a lighting pass traces from: EvaluateTexelSample, with the triangle's face
// normal standing in where the interpolated normal vanishes (opposite corner normals), as the
// ambient-occlusion pass does.
void EvaluateLitSample(const LmMesh& mesh, float epsilon, int32_t triangleIndex, const LmGroup& group,
                       Geom::Vec2 chartPoint, TexelSample& sample);

// Triangles that received light during a pass. Several threads mark the same triangle at once,
// and others read its flag word meanwhile (EvaluateTexelSample reads the border bits), so the
// marks are atomic bits of their own, ORed into the flag words once the pass is over.
class LitMarks {
public:
    explicit LitMarks(int32_t triangleCount)
        : words(std::make_unique<std::atomic<uint32_t>[]>((size_t(triangleCount) + 31) / 32)),
          wordCount((size_t(triangleCount) + 31) / 32)
    {
    }

    void Mark(int32_t triangle)
    {
        std::atomic<uint32_t>& word = words[size_t(triangle) >> 5];
        const uint32_t bit = 1u << (triangle & 31);
        // Most marks repeat: a load first spares the cache line a write from every thread.
        if (!(word.load(std::memory_order_relaxed) & bit))
            word.fetch_or(bit, std::memory_order_relaxed);
    }

    // Sets TriangleLit on every marked triangle; call when no pass runs.
    void ApplyTo(LmMesh& mesh) const;

private:
    std::unique_ptr<std::atomic<uint32_t>[]> words;
    size_t wordCount;
};

// Emissive objects light the scene themselves: their triangles get TriangleEmissive (lit from
// the start, and their own object). Runs before connectivity, which the second bit changes.
void MarkEmissiveTriangles(LmMesh& mesh);

// The lighting passes read and write all four bases and the light and bounce buffers, whatever
// the number of bases the build keeps; allocates what layout left out (zeroed).
void PrepareLightingBuffers(std::vector<LmGroup>& groups);

}  // namespace Engine
