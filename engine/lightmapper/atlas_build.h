#pragma once

#include <cstdint>
#include <vector>

#include "core/parallel_for.h"
#include "engine/lightmapper/atlas.h"
#include "engine/lightmapper/build_context.h"
#include "engine/lightmapper/group.h"
#include "engine/lightmapper/lightmapper_settings.h"
#include "engine/lightmapper/mesh.h"
#include "geom/vec.h"
#include "image/bitmap/bitmap.h"

namespace Engine {

// Draws one basis of a group's texels into `target` (transposed groups with their axes
// swapped): covered texels become opaque 8-bit colours, uncovered ones uncoveredTexelColour.
void RenderGroupBitmap(const LmGroup& group, const std::vector<Geom::Vec3>& texelColours, Image::Bitmap& target,
                       int32_t basis);

// Where a build put a group: its page, the page texel that shows the group bitmap's top-left
// pixel, and the orientation the group was packed in.
struct GroupPlacement {
    LmGroup* group = nullptr;
    int32_t page = -1;
    int32_t x = 0, y = 0;
    bool transposed = false;
};

// The empty parts of each group's placed rectangle that packing gives back, relative to the
// rectangle. They follow from the group's coverage, orientation and rectangle alone, not from
// where it lands, so the packings of one group list (the trials of the atlas stage) work them out
// once per group, not once per packing.
class GroupHoles {
public:
    // The holes of the n-th group of the list, packed as given.
    const std::vector<PackRect>& Of(int32_t n, const LmGroup& group, int32_t rw, int32_t rh, int32_t ox, int32_t oy);

private:
    struct Entry {
        const LmGroup* group = nullptr;
        bool transposed = false;
        int32_t rw = 0, rh = 0, ox = 0, oy = 0;
        std::vector<PackRect> holes;
    };
    std::vector<Entry> entries;
};

// Packs the groups, in list order, into the first `basisCount` atlases (placement decided on
// basis 0) and copies their bitmaps into the pages; atlases without pixels only pack. Sets each
// group's page and orientation and appends its placement to `placements`. False when a group is
// larger than a page, or when a trial (non-final) build would need a second page. A cancelled
// build returns true at once. `holes`, when given, keeps what packings of this same list have
// worked out before.
bool BuildAtlases(int32_t basisCount, const BuildProgress& progress, int32_t pageWidth, int32_t pageHeight,
                  const std::vector<LmGroup*>& groups, Atlas* atlases, bool final,
                  std::vector<GroupPlacement>& placements, GroupHoles* holes = nullptr);

// Gives the placed groups' triangles their page and lightmap coordinates on pages of
// pageWidth x pageHeight, addressing texel centres.
void WriteLightmapCoordinates(LmMesh& mesh, const std::vector<GroupPlacement>& placements, int32_t pageWidth,
                              int32_t pageHeight);

// Gives the pages firstPage .. endPage - 1 of atlases packed without pixels the bitmaps a build
// with pixels would have left: the fill colour, then every placed group's bitmap in placement
// order.
void PaintPages(int32_t basisCount, const std::vector<GroupPlacement>& placements, Atlas* atlases, int32_t firstPage,
                int32_t endPage);

// The atlas stage: packs every group into full pages, shrinks the last page by trial
// packings, re-bakes it at the smallest size found (extended to powers of two unless allowed
// otherwise), bleeds colour around the charts and, between two bleeds, fixes seams (on the
// pool). Writes the atlases of the bases the build uses, the groups' pages and orientations, and
// the triangles' pages and lightmap coordinates.
void OptimizeAtlas(LmMesh& mesh, const LightmapperSettings& settings, Core::ParallelFor& pool,
                   const BuildProgress& progress, std::vector<LmGroup>& groups, Atlas* atlases);

}  // namespace Engine
