#include "engine/lightmapper/atlas_build.h"

#include <algorithm>
#include <cmath>

#include "geom/mat3.h"

namespace Engine {
namespace {

// Rows of (dR, dG, dB) added to the truncated channels: for a grey texel the weights of the
// channel fractions sum to 1, so the three channels together carry the fraction in eighths.
constexpr int32_t ditherTable[8][3] = {
    {0, 0, 0}, {0, 0, 1}, {1, 0, 0}, {1, 0, 1}, {0, 1, 0}, {0, 1, 1}, {1, 1, 0}, {1, 1, 1},
};

// Converting a float outside the int range is undefined, so channels are brought into a range
// that truncates to the same clamped byte first; NaN counts as 0.
int32_t TruncatedChannel(float x) { return x >= -1.0f ? int32_t(std::min(x, 256.0f)) : -1; }

int32_t ClampByte(int32_t value) { return std::clamp(value, 0, 255); }

float Fraction(float x) { return x - std::trunc(x); }

int32_t RoundedChannel(float x) { return TruncatedChannel(x >= 0 ? x + 0.5f : x - 0.5f); }

uint32_t DitheredColour(Geom::Vec3 c)
{
    float r = c.x * 255.0f, g = c.y * 255.0f, b = c.z * 255.0f;
    // A weighted fraction that rounds up to 8, or a negative channel, would index outside the
    // table: the row is clamped to it.
    float row = 8.0f * (0.3f * Fraction(r) + 0.59f * Fraction(g) + 0.11f * Fraction(b));
    int32_t k = row >= 0.0f ? int32_t(std::min(row, 7.0f)) : 0;
    int32_t red = ClampByte(TruncatedChannel(r) + ditherTable[k][0]);
    int32_t green = ClampByte(TruncatedChannel(g) + ditherTable[k][1]);
    int32_t blue = ClampByte(TruncatedChannel(b) + ditherTable[k][2]);
    return 0xFF000000u | uint32_t(red) << 16 | uint32_t(green) << 8 | uint32_t(blue);
}

uint32_t RoundedColour(Geom::Vec3 c)
{
    int32_t red = ClampByte(RoundedChannel(c.x * 255.0f));
    int32_t green = ClampByte(RoundedChannel(c.y * 255.0f));
    int32_t blue = ClampByte(RoundedChannel(c.z * 255.0f));
    return 0xFF000000u | uint32_t(red) << 16 | uint32_t(green) << 8 | uint32_t(blue);
}

int32_t RoundUpTo4(int32_t x) { return (x + 3) & ~3; }

// Lightmap coordinates of every corner of the placed group, addressing texel centres of the
// page: a corner on texel centre (i, j) of the chart gets u = (X + i + 0.5) / W.
void WritePlacedGroup(LmMesh& mesh, const GroupPlacement& placed, int32_t pageWidth, int32_t pageHeight)
{
    const LmGroup& group = *placed.group;
    for (int32_t triangleIndex : group.triangles)
        mesh.triangles[size_t(triangleIndex)].page = placed.page;
    Geom::Mat3 chartToTexel;
    if (!group.texelToChart.Inverse(chartToTexel))
        return;
    int32_t axis = group.ProjectionAxis();
    float w = float(pageWidth), h = float(pageHeight);
    for (int32_t triangleIndex : group.triangles) {
        LmTriangle& triangle = mesh.triangles[size_t(triangleIndex)];
        for (int k = 0; k < 3; k++) {
            Geom::Vec2 p = ProjectToPlane(mesh.Corner(triangle, k), axis);
            Geom::Vec3 texel = chartToTexel.TransformRow({p.x, p.y, 1.0f});
            float s = placed.transposed ? texel.y : texel.x;
            float t = placed.transposed ? texel.x : texel.y;
            triangle.lmUv[k] = {(float(placed.x) + s) / w + 0.5f / w, (float(placed.y) + t) / h + 0.5f / h};
        }
    }
}

// The empty parts of a placed group rectangle worth giving back to the page's packer: cells of
// the group bitmap without coverage, less one ring around covered texels, in rectangles of at
// least 4 texels on one side, relative to the rectangle. A bitmap pixel is opaque exactly where its
// texel is covered, so the coverage bits stand in for the bitmap.
std::vector<PackRect> PlacedGroupHoles(const LmGroup& group, int32_t rw, int32_t rh, int32_t ox, int32_t oy)
{
    int32_t gw = RoundUpTo4(rw), gh = RoundUpTo4(rh);
    int32_t bw = group.transposed ? group.gridHeight : group.gridWidth;
    int32_t bh = group.transposed ? group.gridWidth : group.gridHeight;
    std::vector<uint8_t> occupied(size_t(gw) * size_t(gh), 1);
    for (int32_t y = 0; y < bh; y++) {
        uint8_t* row = occupied.data() + size_t(y + oy) * size_t(gw) + size_t(ox);
        for (int32_t x = 0; x < bw; x++) {
            int32_t texel = group.transposed ? x * group.gridWidth + y : y * group.gridWidth + x;
            row[x] = group.IsCovered(texel);
        }
    }
    return FindHoles(gw, gh, occupied);
}

void GiveBackHoles(AtlasPage& page, const std::vector<PackRect>& holes, const AtlasPlacement& placement)
{
    for (const PackRect& hole : holes) {
        if (hole.w > 0 && hole.h > 0)
            page.FreeRect({hole.x + placement.x, hole.y + placement.y, hole.w, hole.h});
    }
}

}  // namespace

void RenderGroupBitmap(const LmGroup& group, const std::vector<Geom::Vec3>& texelColours, Image::Bitmap& target,
                       int32_t basis)
{
    int32_t w = group.transposed ? group.gridHeight : group.gridWidth;
    int32_t h = group.transposed ? group.gridWidth : group.gridHeight;
    target.Resize(w, h);
    bool dither = basis < 2;
    for (int32_t y = 0; y < h; y++) {
        uint32_t* row = target.RowPixels(y);
        for (int32_t x = 0; x < w; x++) {
            int32_t texel = group.transposed ? x * group.gridWidth + y : y * group.gridWidth + x;
            if (!group.IsCovered(texel)) {
                row[x] = uncoveredTexelColour;
                continue;
            }
            Geom::Vec3 c = texelColours[size_t(texel)];
            row[x] = dither ? DitheredColour(c) : RoundedColour(c);
        }
    }
}

const std::vector<PackRect>& GroupHoles::Of(int32_t n, const LmGroup& group, int32_t rw, int32_t rh, int32_t ox,
                                            int32_t oy)
{
    if (entries.size() <= size_t(n))
        entries.resize(size_t(n) + 1);
    Entry& entry = entries[size_t(n)];
    if (entry.group != &group || entry.transposed != group.transposed || entry.rw != rw || entry.rh != rh ||
        entry.ox != ox || entry.oy != oy) {
        entry = {&group, group.transposed, rw, rh, ox, oy, PlacedGroupHoles(group, rw, rh, ox, oy)};
    }
    return entry.holes;
}

bool BuildAtlases(int32_t basisCount, const BuildProgress& progress, int32_t pageWidth, int32_t pageHeight,
                  const std::vector<LmGroup*>& groups, Atlas* atlases, bool final,
                  std::vector<GroupPlacement>& placements, GroupHoles* holes)
{
    GroupHoles ownHoles;
    if (!holes)
        holes = &ownHoles;
    Image::Bitmap groupBitmap;
    int32_t count = int32_t(groups.size());
    for (int32_t n = 0; n < count; n++) {
        LmGroup& group = *groups[size_t(n)];
        progress.Report(float(n) * 100.0f / float(count), -1, std::string());
        if (progress.IsCancelled())
            return true;
        group.transposed = group.gridWidth < group.gridHeight;
        AtlasPlacement placement;
        for (int32_t b = 0; b < basisCount; b++) {
            int32_t pw = std::min((group.transposed ? group.gridHeight : group.gridWidth) + 2, pageWidth);
            int32_t ph = std::min((group.transposed ? group.gridWidth : group.gridHeight) + 2, pageHeight);
            if (!atlases[b].CanFit(pw, ph) && atlases[b].CanFit(ph, pw))
                group.transposed = !group.transposed;
            // Packing alone needs only the bitmap's size.
            bool pixels = atlases[b].withPixels;
            if (pixels)
                RenderGroupBitmap(group, group.basis[b], groupBitmap, b);
            int32_t bw = group.transposed ? group.gridHeight : group.gridWidth;
            int32_t bh = group.transposed ? group.gridWidth : group.gridHeight;
            int32_t rw = std::min(bw + 2, pageWidth), rh = std::min(bh + 2, pageHeight);
            if (b == 0) {
                placement = atlases[0].Insert(rw, rh);
                if (!final && placement.page >= 1)
                    return false;
            } else {
                atlases[b].MatchPageCount(atlases[0]);
            }
            group.page = placement.page;
            if (rw < bw || rh < bh || placement.page < 0)
                return false;
            int32_t ox = bw + 2 <= rw ? 1 : 0, oy = bh + 2 <= rh ? 1 : 0;
            AtlasPage& page = *atlases[b].Page(placement.page);
            if (pixels)
                Image::Bitmap::Blit(page.bitmap, groupBitmap, placement.x + ox, placement.y + oy, 0, 0, -1, -1);
            if (b == 0) {
                placements.push_back({&group, placement.page, placement.x + ox, placement.y + oy, group.transposed});
                GiveBackHoles(page, holes->Of(n, group, rw, rh, ox, oy), placement);
            }
        }
    }
    return true;
}

void WriteLightmapCoordinates(LmMesh& mesh, const std::vector<GroupPlacement>& placements, int32_t pageWidth,
                              int32_t pageHeight)
{
    for (const GroupPlacement& placed : placements)
        WritePlacedGroup(mesh, placed, pageWidth, pageHeight);
}

void PaintPages(int32_t basisCount, const std::vector<GroupPlacement>& placements, Atlas* atlases, int32_t firstPage,
                int32_t endPage)
{
    Image::Bitmap groupBitmap;
    for (int32_t b = 0; b < basisCount; b++) {
        Atlas& atlas = atlases[b];
        int32_t pageCount = std::min(endPage, atlas.PageCount());
        for (int32_t p = std::max(firstPage, 0); p < pageCount; p++) {
            AtlasPage& page = *atlas.Page(p);
            page.bitmap.Resize(page.width, page.height);
            page.bitmap.FillPixel(atlas.fillColour);
        }
        for (const GroupPlacement& placed : placements) {
            if (placed.page < firstPage || placed.page >= pageCount)
                continue;
            // Later packings of the group may have turned it; it is drawn as it was placed.
            LmGroup& group = *placed.group;
            bool transposed = group.transposed;
            group.transposed = placed.transposed;
            RenderGroupBitmap(group, group.basis[b], groupBitmap, b);
            group.transposed = transposed;
            Image::Bitmap::Blit(atlas.Page(placed.page)->bitmap, groupBitmap, placed.x, placed.y, 0, 0, -1, -1);
        }
    }
}

}  // namespace Engine
