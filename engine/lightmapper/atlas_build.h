#pragma once

#include <cstdint>
#include <vector>

#include "engine/lightmapper/atlas.h"
#include "engine/lightmapper/group.h"
#include "geom/vec.h"
#include "image/bitmap/bitmap.h"

namespace Engine {

class Lightmapper;

// Draws one basis of a group's texels into `target` (transposed groups with their axes
// swapped): covered texels become opaque 8-bit colours, uncovered ones 0x00FF0000.
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

// Packs the groups, in list order, into the atlases (one per basis, placement decided on
// basis 0) and copies their bitmaps into the pages; atlases without pixels only pack. Final mode
// also writes every triangle's page and lightmap coordinates. False when a group is larger than
// a page, or when a trial (non-final) build would need a second page. A cancelled build returns
// true at once. The placements of the groups that were copied, or would have been, are appended
// to `placements` when given.
bool BuildAtlases(Lightmapper& lightmapper, int32_t pageWidth, int32_t pageHeight, const std::vector<LmGroup*>& groups,
                  Atlas* atlases, bool final, std::vector<GroupPlacement>* placements = nullptr);

// Gives the pages firstPage .. endPage - 1 of atlases packed without pixels the bitmaps a build
// with pixels would have left: the fill colour, then every placed group's bitmap in placement
// order.
void PaintPages(Lightmapper& lightmapper, const std::vector<GroupPlacement>& placements, Atlas* atlases,
                int32_t firstPage, int32_t endPage);

// The atlas stage: packs every group into full pages, shrinks the last page by trial
// packings, re-bakes it at the smallest size found (extended to powers of two unless allowed
// otherwise) and bleeds colour around the charts.
void OptimizeAtlas(Lightmapper& lightmapper);

}  // namespace Engine
