#include "engine/lightmapper/memory_estimate.h"

#include <algorithm>
#include <cstddef>
#include <functional>

namespace Engine {
namespace {

// Bytes per texel, from the buffers the stages allocate. Packing reserves a triangle (4 bytes)
// and a run length (1 byte) per texel for the run-length coded triangles under the samples, and
// a chart keeps that reservation however many runs it needs; the coverage bits round up to a
// byte. The texel colours take 12 per basis, and the lighting mode adds its light and bounce
// buffers.
constexpr uint64_t colourBytes = 12;
constexpr uint64_t coverageAndRunBytes = 6;
// Blurring a chart takes a mask byte and a colour copy per texel while it runs.
constexpr uint64_t blurScratchBytes = 13;
// A page texel is one 32-bit pixel per basis.
constexpr uint64_t pagePixelBytes = 4;

uint64_t TexelCount(const LmGroup& group) { return uint64_t(group.gridWidth) * uint64_t(group.gridHeight); }

}  // namespace

uint64_t PlannedBakeBytes(const std::vector<LmGroup>& groups, const LightmapperSettings& settings,
                          int32_t threadCount)
{
    const uint64_t bases = uint64_t(BasesUsed(settings));
    // The lighting mode's light buffer and one bounce buffer per possible basis (all of them are
    // allocated, whatever the basis count).
    const uint64_t lightingBuffers = AmbientOcclusionMode(settings) ? 0 : 1 + uint64_t(maxBases);
    const uint64_t perTexel = colourBytes * (bases + lightingBuffers) + coverageAndRunBytes;

    std::vector<uint64_t> texels;
    texels.reserve(groups.size());
    uint64_t allTexels = 0;
    for (const LmGroup& group : groups) {
        texels.push_back(TexelCount(group));
        allTexels += texels.back();
    }
    // The largest charts may be blurred at the same time.
    const size_t concurrent = std::min(texels.size(), size_t(std::max(threadCount, 1)));
    std::partial_sort(texels.begin(), texels.begin() + std::ptrdiff_t(concurrent), texels.end(), std::greater<>());
    uint64_t blurredTogether = 0;
    for (size_t i = 0; i < concurrent; i++)
        blurredTogether += texels[i];

    // Packing leaves gaps; the slack of one more page covers them and the last page's rest.
    const uint64_t pageSize = uint64_t(std::max(settings.atlasSize, 1));
    const uint64_t pageTexels = allTexels + pageSize * pageSize;
    return allTexels * perTexel + blurredTogether * blurScratchBytes + pageTexels * pagePixelBytes * bases;
}

}  // namespace Engine
