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

// Packs the groups, in list order, into the atlases (one per basis, placement decided on
// basis 0) and copies their bitmaps into the pages. Final mode also writes every triangle's
// page and lightmap coordinates. False when a group is larger than a page, or when a trial
// (non-final) build would need a second page. A cancelled build returns true at once.
bool BuildAtlases(Lightmapper& lightmapper, int32_t pageWidth, int32_t pageHeight, const std::vector<LmGroup*>& groups,
                  Atlas* atlases, bool final);

// The atlas stage: packs every group into full pages, shrinks the last page by trial
// packings, re-bakes it at the smallest size found (extended to powers of two unless allowed
// otherwise) and bleeds colour around the charts.
void OptimizeAtlas(Lightmapper& lightmapper);

}  // namespace Engine
