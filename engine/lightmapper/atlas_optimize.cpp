#include <algorithm>
#include <cstdio>
#include <string>

#include "core/log.h"
#include "engine/lightmapper/atlas_build.h"
#include "engine/lightmapper/lightmapper.h"

namespace Engine {
namespace {

// Pages of the final atlases leave uncovered texels red and transparent; trial pages are thrown
// away, so they keep the packer's opaque default.
constexpr uint32_t finalFill = 0x00FF0000u;
constexpr uint32_t trialFill = 0xFFFF0000u;
// The shrink searches never try pages smaller than this on both sides.
constexpr int32_t minimumTrialSide = 16;

struct Shrink {
    Lightmapper& lm;
    std::vector<LmGroup*> lastGroups;
    int32_t pass = 1;

    // Packs the last page's groups into one trial page of w x h; the trial is thrown away.
    bool TrialFits(int32_t w, int32_t h)
    {
        Atlas trial[maxBases];
        for (int32_t b = 0; b < lm.basisCount; b++) {
            trial[b] = Atlas(w, h, trialFill);
            trial[b].withPixels = false;  // the trial's pixels would be thrown away unseen
        }
        char title[64];
        std::snprintf(title, sizeof title, "Optimizing atlas, pass %d", pass);
        lm.Report(0, 100, title);
        return BuildAtlases(lm, w, h, lastGroups, trial, false) && trial[0].PageCount() <= 1;
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
        if (shrink.lm.IsCancelled())
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
        if (shrink.lm.IsCancelled())
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
// the last page.
void RebakeLastPage(Lightmapper& lm, const std::vector<LmGroup*>& lastGroups, int32_t lastPage, int32_t width,
                    int32_t height)
{
    Core::LogFormat("Re-baking last atlas to %d x %d", width, height);
    lm.Report(0, 100, "Optimizing atlas, final pass");
    Atlas rebaked[maxBases];
    for (int32_t b = 0; b < lm.basisCount; b++)
        rebaked[b] = Atlas(width, height, finalFill);
    if (!BuildAtlases(lm, width, height, lastGroups, rebaked, true))
        Core::Log("Fatal: failed to build last optimized atlas!");
    for (LmGroup* group : lastGroups) {
        group->page = lastPage;
        for (int32_t t : group->triangles)
            lm.triangles[size_t(t)].page = lastPage;
    }
    if (lm.flags & PotLightmaps) {
        int32_t potWidth = NextPowerOfTwo(width), potHeight = NextPowerOfTwo(height);
        Core::LogFormat("Extending last atlas to %d x %d", potWidth, potHeight);
        for (int32_t b = 0; b < lm.basisCount; b++) {
            if (AtlasPage* page = rebaked[b].Page(0))
                page->bitmap.Resize(potWidth, potHeight);  // new texels opaque black
        }
        for (LmGroup* group : lastGroups) {
            for (int32_t t : group->triangles) {
                for (Geom::Vec2& uv : lm.triangles[size_t(t)].lmUv)
                    uv = {RemapCoordinate(uv.x, width, potWidth), RemapCoordinate(uv.y, height, potHeight)};
            }
        }
    }
    for (int32_t b = 0; b < lm.basisCount; b++) {
        AtlasPage* target = lm.atlases[b].Page(lastPage);
        AtlasPage* source = rebaked[b].Page(0);
        if (target && source)
            target->bitmap.Swap(source->bitmap);
    }
}

void BleedPages(Lightmapper& lm)
{
    for (int32_t b = 0; b < lm.basisCount; b++) {
        for (auto& page : lm.atlases[b].pages)
            page->bitmap.Bleed(0, 1, true);
    }
}

}  // namespace

void OptimizeAtlas(Lightmapper& lm)
{
    const int32_t size = lm.atlasSize;
    // The first packing only places the groups; the pages are drawn once it is known which of
    // them stay. A last page that shrinks is never drawn at full size.
    for (int32_t b = 0; b < lm.basisCount; b++) {
        lm.atlases[b].Reset(size, size);
        lm.atlases[b].withPixels = false;
    }
    std::vector<LmGroup*> allGroups;
    for (auto& group : lm.groups)
        allGroups.push_back(group.get());
    std::vector<GroupPlacement> placements;
    if (!BuildAtlases(lm, size, size, allGroups, lm.atlases, true, &placements))
        Core::Log("Fatal: failed to build initial atlas groups!");
    for (int32_t b = 0; b < lm.basisCount; b++)
        lm.atlases[b].withPixels = true;
    const int32_t lastPage = lm.atlases[0].PageCount() - 1;
    if (lastPage < 0)
        return;

    Shrink shrink{lm, {}};
    for (LmGroup* group : allGroups) {
        if (group->page == lastPage)
            shrink.lastGroups.push_back(group);
    }
    int32_t bestWidth = size, bestHeight = size;
    if (!(lm.flags & NoAtlasOptimize)) {
        bool forcePot = lm.flags & ForcePotAtlas;
        if (!ShrinkBothSides(shrink, size, forcePot, bestWidth, bestHeight) ||
            !ShrinkHeight(shrink, forcePot, bestWidth, bestHeight)) {
            // Cancelled: the pages stay as first packed.
            PaintPages(lm, placements, lm.atlases, 0, lastPage + 1);
            return;
        }
    }
    bool rebake = bestWidth != size || bestHeight != size;
    PaintPages(lm, placements, lm.atlases, 0, rebake ? lastPage : lastPage + 1);
    if (rebake) {
        RebakeLastPage(lm, shrink.lastGroups, lastPage, bestWidth, bestHeight);
        // A re-bake that failed before its first group leaves the last page as first packed.
        if (lm.atlases[0].Page(lastPage)->bitmap.IsEmpty())
            PaintPages(lm, placements, lm.atlases, lastPage, lastPage + 1);
    }

    BleedPages(lm);
    // Seam stitching would run here, between the two bleeds.
    BleedPages(lm);
    Core::LogFormat("Number of atlases: %d (num_bases=%d)", lm.atlases[0].PageCount(), lm.basisCount);
}

}  // namespace Engine
