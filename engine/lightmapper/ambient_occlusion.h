#pragma once

#include <cstdint>

namespace Engine {

class Lightmapper;

// The per-task generator: two 64-bit words; the value used is the low 32 bits of s1 after a
// step. Seeded from the task index alone, so results do not depend on threads or order.
struct AoRandom {
    uint64_t s0 = 0, s1 = 0;

    void Seed(uint64_t k);
    uint32_t Next();
};

// For every covered texel, the mean openness of the hemisphere above it along a rotated,
// cosine-weighted Hammersley set of rays, then each chart's post-processing.
void RunAmbientOcclusion(Lightmapper& lightmapper);

}  // namespace Engine
