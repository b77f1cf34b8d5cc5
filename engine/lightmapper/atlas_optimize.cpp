#include <algorithm>
#include <cstdio>
#include <string>

#include "core/assert.h"
#include "core/log.h"
#include "engine/lightmapper/atlas_build.h"
#include "engine/lightmapper/seams.h"

namespace Engine {
namespace {

// The shrink searches never try pages smaller than this on both sides.
constexpr int32_t minimumTrialSide = 16;

struct Shrink {
    int32_t basisCount;
    const BuildProgress& progress;
    std::vector<LmGroup*> lastGroups;
    std::vector<GroupPlacement> trialPlacements;
    int32_t pass = 1;

    // Packs the last page's groups into one trial page of w x h; the trial is thrown away.
    bool TrialFits(int32_t w, int32_t h)
    {
        Atlas trial[maxBases];
        for (int32_t b = 0; b < basisCount; b++) {
            trial[b] = Atlas(w, h, opaqueFillColour);
            trial[b].withPixels = false;  // the trial's pixels would be thrown away unseen
        }
        char title[64];
        std::snprintf(title, sizeof title, "Optimizing atlas, pass %d", pass);
        progress.Report(0, 100, title);
        trialPlacements.clear();
        return BuildAtlases(basisCount, progress, w, h, lastGroups, trial, false, trialPlacements) &&
               trial[0].PageCount() <= 1;
    }
};

int32_t NextPowerOfTwo(int32_t x)
{
    int32_t p = 1;
    while (p < x)
        p *= 2;
    return p;
}

// Both sides together, as multiples of 8 (or halving with ForcePotAtlas). False when cancelled.
bool ShrinkBothSides(Shrink& shrink, int32_t size, bool forcePot, int32_t& bestWidth, int32_t& bestHeight)
{
    int32_t lo = 0, hi = size / 8, w = size, h = size;
    for (;;) {
        if (shrink.progress.IsCancelled())
            return false;
        if (hi <= lo)
            return true;
        int32_t mid = (lo + hi) / 2;
        if (forcePot) {
            w /= 2;
            h /= 2;
        } else {
            w = h = mid * 8;
        }
        if (w < minimumTrialSide && h < minimumTrialSide)
            return true;
        if (shrink.TrialFits(w, h)) {
            hi = mid - 1;
            if (w < bestWidth && h < bestHeight) {
                bestWidth = w;
                bestHeight = h;
            }
        } else {
            lo = mid + 1;
            if (forcePot)
                return true;
        }
        shrink.pass++;
    }
}

// Then the height alone, from the best width. False when cancelled.
bool ShrinkHeight(Shrink& shrink, bool forcePot, int32_t bestWidth, int32_t& bestHeight)
{
    int32_t lo = 0, hi = bestHeight, h = bestHeight;
    for (;;) {
        if (shrink.progress.IsCancelled())
            return false;
        if (hi <= lo)
            return true;
        int32_t mid = (lo + hi) / 2;
        h = forcePot ? h / 2 : mid * 8;
        if (h < minimumTrialSide)
            return true;
        if (shrink.TrialFits(bestWidth, h)) {
            hi = mid - 1;
            bestHeight = std::min(bestHeight, h);
        } else {
            lo = mid + 1;
            if (forcePot)
                return true;
        }
        shrink.pass++;
    }
}

// Keeps every corner on its texel when the page grows from w x h to pw x ph at the top-left.
float RemapCoordinate(float u, int32_t size, int32_t grownSize)
{
    return 0.5f / float(grownSize) + (u - 0.5f / float(size)) * (float(size) / float(grownSize));
}

// Packs the last page's groups once more at the size found and puts the result in place of
// the last page; gives their triangles the new page's coordinates.
void RebakeLastPage(LmMesh& mesh, const LightmapperSettings& settings, const BuildProgress& progress,
                    const std::vector<LmGroup*>& lastGroups, int32_t lastPage, int32_t width, int32_t height,
                    Atlas* atlases)
{
    Core::LogFormat("Re-baking last atlas to %d x %d", width, height);
    progress.Report(0, 100, "Optimizing atlas, final pass");
    const int32_t bases = BasesUsed(settings);
    Atlas rebaked[maxBases];
    for (int32_t b = 0; b < bases; b++)
        rebaked[b] = Atlas(width, height, uncoveredTexelColour);
    std::vector<GroupPlacement> placements;
    const bool packed = BuildAtlases(bases, progress, width, height, lastGroups, rebaked, true, placements);
    if (progress.IsCancelled())
        return;
    // A trial packing of these very groups at this size fitted on one page, and packing is
    // deterministic.
    KETRA_ASSERT(packed && rebaked[0].PageCount() == 1);
    for (GroupPlacement& placed : placements) {
        placed.page = lastPage;
        placed.group->page = lastPage;
    }
    WriteLightmapCoordinates(mesh, placements, width, height);
    if (settings.flags & PotLightmaps) {
        int32_t potWidth = NextPowerOfTwo(width), potHeight = NextPowerOfTwo(height);
        Core::LogFormat("Extending last atlas to %d x %d", potWidth, potHeight);
        for (int32_t b = 0; b < bases; b++)
            rebaked[b].Page(0)->bitmap.Resize(potWidth, potHeight);  // new texels opaque black
        for (LmGroup* group : lastGroups) {
            for (int32_t t : group->triangles) {
                for (Geom::Vec2& uv : mesh.triangles[size_t(t)].lmUv)
                    uv = {RemapCoordinate(uv.x, width, potWidth), RemapCoordinate(uv.y, height, potHeight)};
            }
        }
    }
    for (int32_t b = 0; b < bases; b++)
        atlases[b].Page(lastPage)->bitmap.Swap(rebaked[b].Page(0)->bitmap);
}

void BleedPages(int32_t basisCount, Atlas* atlases)
{
    for (int32_t b = 0; b < basisCount; b++) {
        for (auto& page : atlases[b].pages)
            page->bitmap.Bleed(0, 1, true);
    }
}

}  // namespace

void OptimizeAtlas(LmMesh& mesh, const LightmapperSettings& settings, Core::ParallelFor& pool,
                   const BuildProgress& progress, std::vector<LmGroup>& groups, Atlas* atlases)
{
    const int32_t size = settings.atlasSize;
    const int32_t bases = BasesUsed(settings);
    // The first packing only places the groups; the pages are drawn once it is known which of
    // them stay. A last page that shrinks is never drawn at full size.
    for (int32_t b = 0; b < bases; b++) {
        atlases[b].Reset(size, size);
        atlases[b].withPixels = false;
    }
    std::vector<LmGroup*> allGroups;
    for (LmGroup& group : groups)
        allGroups.push_back(&group);
    std::vector<GroupPlacement> placements;
    const bool packed = BuildAtlases(bases, progress, size, size, allGroups, atlases, true, placements);
    // Layout keeps every grid within a page, and a final packing starts a page whenever the
    // open ones are full.
    KETRA_ASSERT(packed || progress.IsCancelled());
    WriteLightmapCoordinates(mesh, placements, size, size);
    for (int32_t b = 0; b < bases; b++)
        atlases[b].withPixels = true;
    const int32_t lastPage = atlases[0].PageCount() - 1;
    if (lastPage < 0)
        return;

    Shrink shrink{bases, progress, {}, {}};
    for (LmGroup* group : allGroups) {
        if (group->page == lastPage)
            shrink.lastGroups.push_back(group);
    }
    int32_t bestWidth = size, bestHeight = size;
    if (!(settings.flags & NoAtlasOptimize)) {
        bool forcePot = settings.flags & ForcePotAtlas;
        if (!ShrinkBothSides(shrink, size, forcePot, bestWidth, bestHeight) ||
            !ShrinkHeight(shrink, forcePot, bestWidth, bestHeight)) {
            // Cancelled: the pages stay as first packed.
            PaintPages(bases, placements, atlases, 0, lastPage + 1);
            return;
        }
    }
    bool rebake = bestWidth != size || bestHeight != size;
    PaintPages(bases, placements, atlases, 0, rebake ? lastPage : lastPage + 1);
    if (rebake) {
        RebakeLastPage(mesh, settings, progress, shrink.lastGroups, lastPage, bestWidth, bestHeight, atlases);
        // A re-bake cancelled before it was swapped in leaves the last page as first packed.
        if (atlases[0].Page(lastPage)->bitmap.IsEmpty())
            PaintPages(bases, placements, atlases, lastPage, lastPage + 1);
    }

    BleedPages(bases, atlases);
    FixSeams(mesh, settings, pool, progress, groups, atlases);
    BleedPages(bases, atlases);
    Core::LogFormat("Number of atlases: %d (num_bases=%d)", atlases[0].PageCount(), bases);
}

}  // namespace Engine
