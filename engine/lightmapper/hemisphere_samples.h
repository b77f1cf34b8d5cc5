#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <vector>

#include "geom/vec.h"

namespace Engine {

// The stratified, cosine-weighted ray directions that the hemisphere passes (ambient occlusion,
// final gather) cast from a surface point: the Hammersley set of `count` points, turned about
// the normal by a per-texel angle.

// Shared read-only by every task of a pass: radius sqrt(i / N) and the base angle
// 360 * radicalInverse(i) in degrees.
struct SampleSet {
    std::vector<float> radius;
    std::vector<float> turn;

    int32_t Count() const { return int32_t(radius.size()); }
};

SampleSet MakeSampleSet(int32_t count);

// The frame of the hemisphere above a surface point: n along the surface normal, b2 from the
// world axis two after n's dominant one, b1 = b2 x n.
struct HemisphereFrame {
    Geom::Vec3 n, b1, b2;
};

HemisphereFrame MakeFrame(Geom::Vec3 normal);

// The texel's turn of the set, in degrees, from the next value of its task's generator.
inline float TexelRotation(uint32_t random) { return float(random) * 2.3283064e-10f * 360.0f; }

// Direction i of the set turned by `rotation` degrees, in world space.
inline Geom::Vec3 HemisphereDirection(const HemisphereFrame& frame, const SampleSet& samples, int32_t i,
                                      float rotation)
{
    constexpr float degreesToRadians = 0.017453292f;
    const float r = samples.radius[size_t(i)];
    const float phi = (samples.turn[size_t(i)] + rotation) * degreesToRadians;
    const float b = r * std::cos(phi), c = r * std::sin(phi);
    const float a = std::sqrt(std::max(0.0f, 1.0f - b * b - c * c));
    return frame.n * a + frame.b1 * b + frame.b2 * c;
}

}  // namespace Engine
