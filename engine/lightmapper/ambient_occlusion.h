#pragma once

#include <cstdint>

#include "core/delegate.h"
#include "engine/lightmapper/build_context.h"
#include "engine/lightmapper/group.h"
#include "engine/lightmapper/lightmapper_settings.h"
#include "engine/lightmapper/mesh.h"

namespace Engine {

// The per-task generator: two 64-bit words; the value used is the low 32 bits of s1 after a
// step. Seeded from the task index alone, so results do not depend on threads or order.
struct AoRandom {
    uint64_t s0 = 0, s1 = 0;

    void Seed(uint64_t k);
    uint32_t Next();
};

// The ambient-occlusion pass: for every covered texel of every task, the mean openness of the
// hemisphere above it along a rotated, cosine-weighted Hammersley set of rays, added to basis 0;
// then each group's post-processing. Traces through the context's trees, one thread slot per
// pool thread; writes only the groups' buffers.
void RunAmbientOcclusion(const LmMesh& mesh, const LightmapperSettings& settings, LmBuildContext& context,
                         LmCharts& charts);

// The rays the pass traces, bit for bit and in its order: for every traced texel of every task,
// visit(rays, count) with the texel's sampleCount rays (one origin). For benchmarks that trace
// the same rays another way; runs on the calling thread.
void ForEachAoTexelRays(const LmMesh& mesh, const LightmapperSettings& settings, const LmCharts& charts,
                        const Core::Delegate<void(const KdRay* rays, int32_t count)>& visit);

}  // namespace Engine
