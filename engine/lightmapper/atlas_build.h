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

// Packs the groups, in list order, into the first `basisCount` atlases (placement decided on
// basis 0) and copies their bitmaps into the pages; atlases without pixels only pack. Sets each
// group's page and orientation and appends its placement to `placements`. False when a group is
// larger than a page, or when a trial (non-final) build would need a second page. A cancelled
// build returns true at once.
bool BuildAtlases(int32_t basisCount, const BuildProgress& progress, int32_t pageWidth, int32_t pageHeight,
                  const std::vector<LmGroup*>& groups, Atlas* atlases, bool final,
                  std::vector<GroupPlacement>& placements);

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
