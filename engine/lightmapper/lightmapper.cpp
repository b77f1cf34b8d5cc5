#include "engine/lightmapper/lightmapper.h"

#include "core/cpu_info.h"
#include "core/log.h"
#include "core/timer.h"

namespace Engine {

namespace {

// Log lines and progress titles of the stages, in build order. Each stage announces itself with
// its pair before it runs.
struct StageText {
    const char* logLine;
    const char* title;
};
constexpr StageText connectivityStage = {"LM: building connectivity", "Building connectivity"};

}  // namespace

Lightmapper::Lightmapper(const LightmapperSettings& settings)
    : flags(settings.flags),
      texelSize(settings.texelSize),
      noSamples(settings.sampleCount < 1),
      atlasSize(settings.atlasSize),
      sampleCount(settings.sampleCount),
      samplesPerTexel(settings.superSampling ? 25 : 1),
      epsilon(settings.epsilon),
      basisCount(settings.basisCount),
      gamma(settings.gamma),
      aoDistance(settings.aoDistance),
      aoPower(settings.aoPower),
      blurKernel(settings.blurKernel),
      planeBins(size_t(planeBinMask) + 1)
{
}

Lightmapper::~Lightmapper() = default;

void Lightmapper::Cancel()
{
    cancelled.store(1);
    pool.SkipRemainingChunks();
}

void Lightmapper::Report(float percent, float value, const std::string& title)
{
    if (progress)
        progress(percent, value, title);
}

void Lightmapper::PrepareThreadScratch()
{
    int32_t threadCount = Core::GetLogicalCoreCount();
    threadCandidates.resize(size_t(threadCount));
    for (std::vector<int32_t>& candidates : threadCandidates)
        candidates.clear();
    // The kd-tree's per-thread mailboxes are sized and reset here as well, once the tree exists.
}

// Emissive objects light the scene themselves: they are lit from the start (0x80) and, with
// 0x20, neither link to other objects nor block the rays that look for light.
void Lightmapper::MarkEmissiveTriangles()
{
    for (LmTriangle& t : triangles) {
        if (t.object < 0)
            continue;
        Geom::Vec3 colour = objects[size_t(t.object)].colour;
        if (colour.x != 0 || colour.y != 0 || colour.z != 0)
            t.flags |= LmEmissive;
    }
}

void Lightmapper::ReleaseGroups()
{
    groups.clear();
}

bool Lightmapper::Build(bool aoOnly, bool skipFinalGather)
{
    cancelled.exchange(0);
    // Read by the tracing stages once they are part of the sequence.
    [[maybe_unused]] const bool noFinalGather = skipFinalGather || noSamples || sampleCount < 1;
    [[maybe_unused]] const bool aoMode = aoOnly || aoDistance > 0;

    Core::Timer buildTimer;
    buildTimer.Start();
    PrepareThreadScratch();
    MarkEmissiveTriangles();

    if (IsCancelled())
        return false;
    Core::Log(connectivityStage.logLine);
    Report(0, 0, connectivityStage.title);
    BuildConnectivity();

    if (IsCancelled())
        return false;
    // The remaining stages take their places here, each behind its own cancellation check:
    // the kd-tree ("LM: building tree", "Building KdTree"); grouping ("LM: grouping",
    // "Grouping", timed and followed by "took %d msec"); the group tasks; ambient occlusion when
    // aoDistance > 0 ("LM: Ambient occlusion", "Ambient occlusion"); the lighting passes unless
    // aoMode ("LM: pre-raytracing", "LM: final gather" unless noFinalGather, "LM: raytracing");
    // and the atlas ("LM: atlas", "Building atlas", reported with value 100).

    Core::Log("LM: done");
    ReleaseGroups();
    Core::LogFormat("LM: full rebuild took %d msec", int(buildTimer.Stop()));
    Report(-1, -1, std::string());
    return !IsCancelled();
}

}  // namespace Engine
