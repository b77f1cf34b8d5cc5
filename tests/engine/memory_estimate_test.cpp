#include "engine/lightmapper/memory_estimate.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "chart_fixture.h"

namespace {

// What the charts' per-texel buffers really hold once laid out and packed: their capacity, which
// is what they take from the heap.
uint64_t ChartBufferBytes(const std::vector<Engine::LmGroup>& groups)
{
    uint64_t bytes = 0;
    for (const Engine::LmGroup& group : groups) {
        bytes += group.coverage.capacity() * sizeof(uint64_t) + group.texelTris.capacity() * sizeof(int32_t) +
                 group.texelRuns.capacity();
        for (const auto& basis : group.basis)
            bytes += basis.capacity() * sizeof(Geom::Vec3);
        bytes += group.light.capacity() * sizeof(Geom::Vec3);
        for (const auto& bounce : group.bounce)
            bytes += bounce.capacity() * sizeof(Geom::Vec3);
    }
    return bytes;
}

TEST(MemoryEstimate, CoversTheBuffersTheChartsGetWithoutGrossExcess)
{
    // Rolling terrain cut finely compared with the texels: many short triangle runs per row,
    // the costly case for the run-length coded triangles under the samples.
    // The lighting mode (no ambient-occlusion distance) adds its light and bounce buffers.
    const struct {
        int cells;
        float step, texelSize;
        bool lighting;
    } cases[] = {{40, 0.25f, 0.25f, false}, {40, 0.1f, 0.25f, false}, {10, 1.0f, 0.05f, false},
                 {40, 0.25f, 0.25f, true}, {10, 1.0f, 0.05f, true}};
    for (const auto& c : cases) {
        Engine::LightmapperSettings settings = ChartTest::Settings(c.texelSize);
        settings.atlasSize = 256;
        if (c.lighting)
            settings.aoDistance = 0;
        auto staged = ChartTest::Prepare(settings, ChartTest::Terrain(c.cells, c.step, 7));
        ASSERT_TRUE(staged->build.Groups());
        const uint64_t real = ChartBufferBytes(staged->groups);
        const uint64_t estimate = Engine::PlannedBakeBytes(staged->groups, settings, 1);
        const uint64_t onePage = 256 * 256 * 4;
        // Blurring the largest chart takes a mask byte and a colour per texel on top.
        uint64_t largest = 0;
        for (const Engine::LmGroup& group : staged->groups)
            largest = std::max(largest, uint64_t(group.gridWidth) * uint64_t(group.gridHeight));
        const uint64_t blur = largest * (1 + sizeof(Geom::Vec3));
        const std::string name = std::to_string(c.cells) + " cells" + (c.lighting ? ", lighting" : "");
        EXPECT_GE(estimate, real + onePage + blur) << name;
        EXPECT_LE(estimate, 3 * (real + onePage + blur)) << name;
    }
}

}  // namespace
