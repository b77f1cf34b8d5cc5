#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "ao_fixture.h"
#include "engine/lightmapper/lightmapper.h"

using AoTest::AddQuad;
using AoTest::Bake;
using AoTest::Baked;
using AoTest::RawSettings;
using Engine::Lightmapper;

namespace {

// An open box with a shelf and a tilted panel inside: charts facing every way, texels that see
// near and far geometry, and enough tasks that two threads interleave.
Baked BakeRoom(int32_t threads, int32_t kernel, Engine::TracerKind tracer = Engine::TracerKind::bvh)
{
    Engine::LightmapperSettings settings = RawSettings(24, 3.0f, 0.25f);
    settings.blurKernel = kernel;
    settings.atlasSize = 512;
    Lightmapper lm(settings);
    const float s = 6.0f;
    AddQuad(lm, {0, 0, 0}, {s, 0, 0}, {0, s, 0}, {0, 0, 1});
    AddQuad(lm, {0, 0, 0}, {0, s, 0}, {0, 0, s}, {1, 0, 0});
    AddQuad(lm, {s, 0, 0}, {0, 0, s}, {0, s, 0}, {-1, 0, 0});
    AddQuad(lm, {0, 0, 0}, {0, 0, s}, {s, 0, 0}, {0, 1, 0});
    AddQuad(lm, {1, 1, 1.5f}, {0, 3, 0}, {3, 0, 0}, {0, 0, 0});             // shelf, face normals
    AddQuad(lm, {2, 4, 0.5f}, {2, 0, 0}, {0, 1, 1.5f}, {0.3f, -0.7f, 0.6f});  // tilted panel
    return Bake(lm, threads, tracer);
}

void ExpectSameBits(const Baked& a, const Baked& b, const char* what)
{
    ASSERT_TRUE(a.built && b.built) << what;
    ASSERT_EQ(a.texels.size(), b.texels.size()) << what;
    EXPECT_EQ(a.rays, b.rays) << what;
    size_t differing = 0;
    for (size_t i = 0; i < a.texels.size(); i++)
        differing += std::memcmp(&a.texels[i].value, &b.texels[i].value, sizeof(Geom::Vec3)) != 0;
    EXPECT_EQ(differing, 0u) << what << ": texels differ out of " << a.texels.size();
}

}  // namespace

TEST(AmbientOcclusionThreads, ValuesDoNotDependOnThreadCountOrRun)
{
    for (int32_t kernel : {1, 0}) {  // raw values, then blurred and powered per group
        Baked one = BakeRoom(1, kernel);
        Baked two = BakeRoom(2, kernel);
        Baked again = BakeRoom(2, kernel);
        ASSERT_GT(one.rays, 0u);
        ExpectSameBits(one, two, kernel == 1 ? "raw, 1 vs 2 threads" : "blurred, 1 vs 2 threads");
        ExpectSameBits(two, again, kernel == 1 ? "raw, run to run" : "blurred, run to run");
    }
}

// The kd-tree stays the reference tracer: where no ray grazes a cell border of it within the
// triangle test's tolerance, the two structures give every texel the same bits.
TEST(AmbientOcclusionThreads, KdTreeAndBvhGiveTheSameTexels)
{
    for (int32_t kernel : {1, 0}) {
        const Baked kdTree = BakeRoom(2, kernel, Engine::TracerKind::kdTree);
        const Baked bvh = BakeRoom(2, kernel, Engine::TracerKind::bvh);
        ASSERT_GT(bvh.rays, 0u);
        ExpectSameBits(kdTree, bvh, kernel == 1 ? "raw, kd-tree vs BVH" : "blurred, kd-tree vs BVH");
    }
}
