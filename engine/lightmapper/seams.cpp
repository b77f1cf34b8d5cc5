// Seam fixing: where a mesh edge joins two charts, the lightmap holds that edge twice, at two
// unrelated places; small luma steps on the texels under both copies make them agree.

#include "engine/lightmapper/seams.h"

#include <algorithm>
#include <cmath>

#include "core/hash_map.h"
#include "core/log.h"
#include "engine/lightmapper/connectivity.h"

namespace Engine {

namespace {

// Stitching points per texel of seam length: enough that every texel under a seam is read by a
// point or two; more points cost the optimiser more samples per try without closing seams better.
constexpr float pointsPerTexel = 3.0f;
// Squared RGB distance a texel may never reach from its start in the ambient-occlusion mode:
// seams close by nudging colours, not by repainting them.
constexpr int32_t maxDistanceSquared = 3072;
// The cost of a colour that is out of bounds, and the bound of a first cost: larger than any sum.
constexpr double unboundedCost = 1e307;

struct SeamKey {
    int32_t lower, higher, triangleA, triangleB;
};
struct SeamSides {
    int32_t edgeA, edgeB;
};
struct TexelKey {
    int32_t page, x, y;
};

// Round half away from zero, then truncate.
int32_t RoundToInt(float value) { return int32_t(value + (value < 0 ? -0.5f : 0.5f)); }

// The corner of triangle `t` on the other side of edge (a, b) with the opposite direction: j with
// corner j at b and corner j + 1 at a; -1 when the triangle runs along the edge the same way.
int32_t OppositeEdge(const LmTriangle& t, int32_t a, int32_t b)
{
    for (int32_t j = 0; j < 3; j++) {
        if (t.pos[j] == b && t.pos[(j + 1) % 3] == a)
            return j;
    }
    return -1;
}

// Texel coordinates on a page of width x height: integers are texel centres.
Geom::Vec2 TexelPosition(Geom::Vec2 uv, int32_t width, int32_t height)
{
    const float w = float(width), h = float(height);
    return {(uv.x - 0.5f / w) * w, (uv.y - 0.5f / h) * h};
}

// A bilinear sample at p reads only the texels of the 2 x 2 block from (trunc x, trunc y) while
// -1 <= x < width and -1 <= y < height (the sampler clamps to the edge texel, which that block
// then holds). The optimiser relies on it: the points in a texel's list are all that texel
// changes, so each accepted step lowers the total mismatch and the passes end.
bool InsidePage(Geom::Vec2 p, const Image::Bitmap& page)
{
    return p.x >= -1.0f && p.x < float(page.Width()) && p.y >= -1.0f && p.y < float(page.Height());
}

const Image::Bitmap* PageBitmap(const Atlas& pages, int32_t page)
{
    const AtlasPage* found = pages.Page(page);
    return found && !found->bitmap.IsEmpty() ? &found->bitmap : nullptr;
}

// Calls visit(x, y) for each texel of the 2 x 2 block of position p that lies on the page.
template <class Visit>
void ForEachBlockTexel(Geom::Vec2 p, int32_t width, int32_t height, Visit visit)
{
    const int32_t x0 = int32_t(p.x), y0 = int32_t(p.y);
    for (int32_t dy = 0; dy < 2; dy++) {
        for (int32_t dx = 0; dx < 2; dx++) {
            const int32_t x = x0 + dx, y = y0 + dy;
            if (x >= 0 && x < width && y >= 0 && y < height)
                visit(x, y);
        }
    }
}

int32_t Clamp255(int32_t value) { return std::clamp(value, 0, 255); }

int32_t SignedScale(int32_t value, int32_t factor)
{
    const int32_t scaled = (std::abs(value) * factor + 32768) >> 16;
    return value < 0 ? -scaled : scaled;
}

}  // namespace

float SeamCosineThreshold(const LightmapperSettings& settings)
{
    const float degrees = AmbientOcclusionMode(settings) ? 60.0f : 47.0f;
    return std::cos(degrees * 0.017453292f);
}

std::vector<SeamEdge> FindSeamEdges(const LmMesh& mesh, const LightmapperSettings& settings,
                                    const std::vector<LmGroup>& groups)
{
    const float threshold = SeamCosineThreshold(settings);
    Core::HashMap<SeamKey, SeamSides> seams;
    for (int32_t g = 0; g < int32_t(groups.size()); g++) {
        for (int32_t t : groups[size_t(g)].triangles) {
            const LmTriangle& tri = mesh.triangles[size_t(t)];
            const Geom::Vec3 normal = mesh.normals[size_t(tri.faceNormal)];
            for (int32_t k = 0; k < 3; k++) {
                const int32_t a = tri.pos[k], b = tri.pos[(k + 1) % 3];
                const int32_t n = FindNeighbour(mesh, tri.modelId, a, b, t);
                if (n < 0)
                    continue;
                const LmTriangle& other = mesh.triangles[size_t(n)];
                if (other.group == g)
                    continue;
                if (Geom::Dot(mesh.normals[size_t(other.faceNormal)], normal) < threshold)
                    continue;
                // The same winding on both sides is a face flipped against its neighbour: walking
                // both sides from the shared vertex would pair the edge's ends the wrong way round.
                const int32_t j = OppositeEdge(other, a, b);
                if (j < 0)
                    continue;
                const bool tFirst = t < n;
                const SeamKey key{std::min(a, b), std::max(a, b), tFirst ? t : n, tFirst ? n : t};
                seams.FindOrAdd(key, tFirst ? SeamSides{k, j} : SeamSides{j, k});
            }
        }
    }
    std::vector<SeamEdge> edges;
    edges.reserve(size_t(seams.Count()));
    for (const auto& entry : seams) {
        edges.push_back({entry.key.lower, entry.key.higher, entry.key.triangleA, entry.key.triangleB,
                         entry.value.edgeA, entry.value.edgeB});
    }
    return edges;
}

std::vector<StitchingPoint> ExtractStitchingPoints(const LmMesh& mesh, const std::vector<SeamEdge>& edges,
                                                   const Atlas& pages)
{
    std::vector<StitchingPoint> points;
    for (const SeamEdge& edge : edges) {
        const LmTriangle& a = mesh.triangles[size_t(edge.triangleA)];
        const LmTriangle& b = mesh.triangles[size_t(edge.triangleB)];
        const Image::Bitmap* pageA = PageBitmap(pages, a.page);
        const Image::Bitmap* pageB = PageBitmap(pages, b.page);
        if (!pageA || !pageB)
            continue;
        // Both sides start at the same mesh vertex: B runs along the edge the other way.
        const Geom::Vec2 startA = TexelPosition(a.lmUv[edge.edgeA], pageA->Width(), pageA->Height());
        const Geom::Vec2 endA = TexelPosition(a.lmUv[(edge.edgeA + 1) % 3], pageA->Width(), pageA->Height());
        const Geom::Vec2 startB = TexelPosition(b.lmUv[(edge.edgeB + 1) % 3], pageB->Width(), pageB->Height());
        const Geom::Vec2 endB = TexelPosition(b.lmUv[edge.edgeB], pageB->Width(), pageB->Height());
        const Geom::Vec2 alongA = endA - startA, alongB = endB - startB;
        const float lengthA = Geom::Length(alongA), lengthB = Geom::Length(alongB);
        // Packing puts every corner on its page, so no side is longer than its page's diagonal;
        // coordinates that are not a placement's (not finite, or far off the page) would ask for
        // any number of points, beyond what a point count can hold.
        const float longestA = float(pageA->Width() + pageA->Height());
        const float longestB = float(pageB->Width() + pageB->Height());
        if (!(lengthA <= longestA && lengthB <= longestB))
            continue;
        const int32_t count = std::max(RoundToInt(pointsPerTexel * lengthA), RoundToInt(pointsPerTexel * lengthB));
        for (int32_t i = 0; i < count; i++) {
            const float s = i == 0 ? 0.0f : float(i) / float(count - 1);
            const StitchingPoint point{a.page, b.page, startA + alongA * s, startB + alongB * s};
            if (InsidePage(point.positionA, *pageA) && InsidePage(point.positionB, *pageB))
                points.push_back(point);
        }
    }
    return points;
}

StitchingTexels CollectStitchingTexels(const std::vector<StitchingPoint>& points, const Atlas& pages)
{
    StitchingTexels result;
    Core::HashMap<TexelKey, int32_t> index;
    // (texel, point) in point order; a texel under both sides of one point is listed once.
    std::vector<int32_t> pairTexel, pairPoint;
    std::vector<int32_t> lastPoint;
    for (int32_t k = 0; k < int32_t(points.size()); k++) {
        const StitchingPoint& p = points[size_t(k)];
        const int32_t sidePages[2] = {p.pageA, p.pageB};
        const Geom::Vec2 sidePositions[2] = {p.positionA, p.positionB};
        for (int32_t side = 0; side < 2; side++) {
            const Image::Bitmap* page = PageBitmap(pages, sidePages[side]);
            if (!page)
                continue;
            ForEachBlockTexel(sidePositions[side], page->Width(), page->Height(), [&](int32_t x, int32_t y) {
                bool added = false;
                const int32_t t = index.FindOrAdd({sidePages[side], x, y}, index.Count(), added);
                if (added) {
                    result.texels.push_back({sidePages[side], x, y});
                    lastPoint.push_back(-1);
                }
                if (lastPoint[size_t(t)] == k)
                    return;
                lastPoint[size_t(t)] = k;
                pairTexel.push_back(t);
                pairPoint.push_back(k);
            });
        }
    }
    // Counting sort by texel; pairs come in point order, so every list comes out increasing.
    result.pointStart.assign(result.texels.size() + 1, 0);
    for (int32_t t : pairTexel)
        result.pointStart[size_t(t) + 1]++;
    for (size_t t = 0; t < result.texels.size(); t++)
        result.pointStart[t + 1] += result.pointStart[t];
    std::vector<int32_t> fill(result.pointStart.begin(), result.pointStart.end() - 1);
    result.points.resize(pairPoint.size());
    for (size_t i = 0; i < pairPoint.size(); i++)
        result.points[size_t(fill[size_t(pairTexel[i])]++)] = pairPoint[i];
    return result;
}

YCbCr ToYCbCr(uint32_t pixel)
{
    const int32_t r = int32_t((pixel >> 16) & 0xFF), g = int32_t((pixel >> 8) & 0xFF), b = int32_t(pixel & 0xFF);
    return {(19595 * r + 38470 * g + 7471 * b + 32768) >> 16,
            std::min(255, ((b + 257) * 32768 - 21712 * g - 11056 * r) >> 16),
            std::min(255, ((r + 257) * 32768 - 27440 * g - 5328 * b) >> 16)};
}

uint32_t FromYCbCr(YCbCr colour, uint32_t alpha)
{
    const int32_t x = colour.cr - 128, z = colour.cb - 128;
    const int32_t r = Clamp255(colour.y + SignedScale(x, 91881));
    const int32_t b = Clamp255(colour.y + SignedScale(z, 116130));
    // An arithmetic shift: the green offset is negative as often as not.
    const int32_t g = Clamp255(colour.y + ((-z * 22554 - x * 46802 + 32768) >> 16));
    return alpha | uint32_t(r) << 16 | uint32_t(g) << 8 | uint32_t(b);
}

uint32_t StepLuma(uint32_t pixel, int32_t step)
{
    YCbCr colour = ToYCbCr(pixel);
    const bool up = step > 0;
    if (colour.y == (up ? 255 : 0))
        return pixel;
    colour.y += up ? 1 : -1;
    return FromYCbCr(colour, pixel & 0xFF000000u);
}

int32_t ColourDistanceSquared(uint32_t a, uint32_t b)
{
    int32_t sum = 0;
    for (int shift = 0; shift < 24; shift += 8) {
        const int32_t d = int32_t((a >> shift) & 0xFF) - int32_t((b >> shift) & 0xFF);
        sum += d * d;
    }
    return sum;
}

double SeamMismatch(const std::vector<StitchingPoint>& points, const Atlas& pages)
{
    double sum = 0;
    for (const StitchingPoint& p : points) {
        const Image::Bitmap* a = PageBitmap(pages, p.pageA);
        const Image::Bitmap* b = PageBitmap(pages, p.pageB);
        if (a && b) {
            sum += ColourDistanceSquared(a->SampleBilinear(p.positionA.x, p.positionA.y),
                                         b->SampleBilinear(p.positionB.x, p.positionB.y));
        }
    }
    return sum;
}

namespace {

// The live pixels of one basis's stitching texels and where each point's samples read them.
class SeamPixels {
public:
    // Where a point's two samples read, worked out once: the points never move.
    struct PointTaps {
        int32_t pageA, pageB;
        Image::Bitmap::BilinearTaps a, b;
    };

    SeamPixels(const SeamBasis& basis, Atlas& pages) : basis(basis)
    {
        // Every stitching texel lies on a page (collection checked it against basis 0, whose page
        // sizes every basis shares), so its pixel and its points' pages all exist.
        for (int32_t p = 0; p < pages.PageCount(); p++)
            bitmaps.push_back(&pages.Page(p)->bitmap);
        taps.reserve(basis.points.size());
        for (const StitchingPoint& p : basis.points) {
            taps.push_back({p.pageA, p.pageB, bitmaps[size_t(p.pageA)]->TapsAt(p.positionA.x, p.positionA.y),
                            bitmaps[size_t(p.pageB)]->TapsAt(p.positionB.x, p.positionB.y)});
        }
        pixels.reserve(size_t(basis.texels.Count()));
        for (const StitchingTexels::Texel& texel : basis.texels.texels)
            pixels.push_back(&bitmaps[size_t(texel.page)]->At(texel.x, texel.y));
    }

    uint32_t SampleA(int32_t point) const
    {
        const PointTaps& p = taps[size_t(point)];
        return bitmaps[size_t(p.pageA)]->SampleBilinear(p.a);
    }
    uint32_t SampleB(int32_t point) const
    {
        const PointTaps& p = taps[size_t(point)];
        return bitmaps[size_t(p.pageB)]->SampleBilinear(p.b);
    }

    // The part of a texel's cost before its points: its squared distance from its start, or the
    // out-of-bounds cost.
    double StartCost(int32_t t, uint32_t colour) const
    {
        const int32_t distance = ColourDistanceSquared(colour, basis.startColours[size_t(t)]);
        return basis.bounded && distance >= maxDistanceSquared ? unboundedCost : double(distance);
    }

    const SeamBasis& basis;
    std::vector<Image::Bitmap*> bitmaps;
    std::vector<uint32_t*> pixels;  // per stitching texel
    std::vector<PointTaps> taps;    // per point
};

// One luma step down and then one up from the better of the two: the first that lowers the cost
// stays. cost(colour, bound, current) is the texel's cost with `colour` in place (`current`: the
// colour it had), or `bound` once the sum reaches it. True when the texel changed.
template <class Cost>
bool TryLumaSteps(uint32_t& live, Cost cost)
{
    const uint32_t c0 = live;
    double best = cost(c0, unboundedCost, true);
    uint32_t bestColour = c0;
    bool changed = false;
    // A step that leaves the pixel as it is costs what it cost and cannot win.
    const uint32_t down = StepLuma(c0, -1);
    if (down != c0) {
        live = down;
        const double e = cost(down, best, false);
        if (e < best) {
            best = e;
            bestColour = down;
            changed = true;
        }
    }
    const uint32_t up = StepLuma(bestColour, +1);
    if (up != bestColour) {
        live = up;
        const double e = cost(up, best, false);
        if (e < best) {
            bestColour = up;
            changed = true;
        }
    }
    live = bestColour;
    return changed;
}

// Every cost sampled afresh: the plain form of the optimiser.
class PlainSeamOptimiser {
public:
    PlainSeamOptimiser(const SeamBasis& basis, Atlas& pages) : pixels(basis, pages) {}

    bool TryTexel(int32_t t)
    {
        return TryLumaSteps(*pixels.pixels[size_t(t)], [&](uint32_t colour, double bound, bool) {
            double sum = pixels.StartCost(t, colour);
            if (sum >= unboundedCost)
                return sum;
            const StitchingTexels& texels = pixels.basis.texels;
            for (int32_t i = texels.pointStart[size_t(t)]; i < texels.pointStart[size_t(t) + 1]; i++) {
                const int32_t p = texels.points[size_t(i)];
                sum += ColourDistanceSquared(pixels.SampleA(p), pixels.SampleB(p));
                if (sum >= bound)
                    return bound;
            }
            return sum;
        });
    }

private:
    SeamPixels pixels;
};

// Keeps every point's two samples of the live pages. A try then samples only the sides that read
// the texel it moves; the texel's current cost and every other side come from the store, which
// holds exactly what sampling would give, so every cost is the plain optimiser's to the bit.
class SeamOptimiser {
public:
    SeamOptimiser(const SeamBasis& basis, Atlas& pages) : pixels(basis, pages)
    {
        const int32_t pointCount = int32_t(basis.points.size());
        for (int32_t p = 0; p < pointCount; p++) {
            samples.push_back(pixels.SampleA(p));
            samples.push_back(pixels.SampleB(p));
        }
        const StitchingTexels& texels = basis.texels;
        sidesReading.resize(texels.points.size());
        for (int32_t t = 0; t < texels.Count(); t++) {
            const StitchingTexels::Texel& texel = texels.texels[size_t(t)];
            for (int32_t i = texels.pointStart[size_t(t)]; i < texels.pointStart[size_t(t) + 1]; i++) {
                const SeamPixels::PointTaps& p = pixels.taps[size_t(texels.points[size_t(i)])];
                sidesReading[size_t(i)] = uint8_t((p.pageA == texel.page && Reads(p.a, texel) ? 1 : 0) |
                                                  (p.pageB == texel.page && Reads(p.b, texel) ? 2 : 0));
            }
        }
    }

    bool TryTexel(int32_t t)
    {
        const StitchingTexels& texels = pixels.basis.texels;
        const int32_t first = texels.pointStart[size_t(t)], end = texels.pointStart[size_t(t) + 1];
        const bool changed = TryLumaSteps(*pixels.pixels[size_t(t)], [&](uint32_t colour, double bound, bool current) {
            double sum = pixels.StartCost(t, colour);
            if (sum >= unboundedCost)
                return sum;
            for (int32_t i = first; i < end; i++) {
                const int32_t p = texels.points[size_t(i)];
                const uint8_t sides = current ? 0 : sidesReading[size_t(i)];
                const uint32_t a = sides & 1 ? pixels.SampleA(p) : samples[size_t(2 * p)];
                const uint32_t b = sides & 2 ? pixels.SampleB(p) : samples[size_t(2 * p + 1)];
                sum += ColourDistanceSquared(a, b);
                if (sum >= bound)
                    return bound;
            }
            return sum;
        });
        if (changed) {
            for (int32_t i = first; i < end; i++) {
                const int32_t p = texels.points[size_t(i)];
                if (sidesReading[size_t(i)] & 1)
                    samples[size_t(2 * p)] = pixels.SampleA(p);
                if (sidesReading[size_t(i)] & 2)
                    samples[size_t(2 * p + 1)] = pixels.SampleB(p);
            }
        }
        return changed;
    }

private:
    static bool Reads(const Image::Bitmap::BilinearTaps& taps, const StitchingTexels::Texel& texel)
    {
        return (texel.x == taps.x0 || texel.x == taps.x1) && (texel.y == taps.y0 || texel.y == taps.y1);
    }

    SeamPixels pixels;
    std::vector<uint32_t> samples;      // per point: side A, side B
    std::vector<uint8_t> sidesReading;  // per list entry: bit 0 side A reads the texel, bit 1 side B
};

// For each point, the stitching texels whose lists hold it: the lists turned inside out.
void PointTexels(const StitchingTexels& texels, int32_t pointCount, std::vector<int32_t>& start,
                 std::vector<int32_t>& list)
{
    start.assign(size_t(pointCount) + 1, 0);
    for (int32_t p : texels.points)
        start[size_t(p) + 1]++;
    for (int32_t p = 0; p < pointCount; p++)
        start[size_t(p) + 1] += start[size_t(p)];
    std::vector<int32_t> fill(start.begin(), start.end() - 1);
    list.resize(texels.points.size());
    for (int32_t t = 0; t < texels.Count(); t++) {
        for (int32_t i = texels.pointStart[size_t(t)]; i < texels.pointStart[size_t(t) + 1]; i++)
            list[size_t(fill[size_t(texels.points[size_t(i)])]++)] = t;
    }
}

}  // namespace

int32_t OptimizeSeamBasisEveryTexel(const SeamBasis& basis, Atlas& pages, const BuildProgress& progress)
{
    PlainSeamOptimiser optimiser(basis, pages);
    int32_t passes = 0;
    for (bool changed = true; changed && !progress.IsCancelled();) {
        changed = false;
        for (int32_t t = 0; t < basis.texels.Count(); t++)
            changed |= optimiser.TryTexel(t);
        passes++;
    }
    return passes;
}

int32_t OptimizeSeamBasis(const SeamBasis& basis, Atlas& pages, const BuildProgress& progress)
{
    SeamOptimiser optimiser(basis, pages);
    const StitchingTexels& texels = basis.texels;
    std::vector<int32_t> pointTexelStart, pointTexels;
    PointTexels(texels, int32_t(basis.points.size()), pointTexelStart, pointTexels);

    // A texel's try depends on its own pixel and on the pixels its points read, which are those
    // of the texels sharing a point with it. Until one of them changes, trying it again gives
    // the same answer, no change; so only texels marked since their last try are tried, in the
    // same order and passes as trying them all.
    std::vector<uint8_t> pending(size_t(texels.Count()), 1);
    int32_t passes = 0;
    for (bool changed = true; changed && !progress.IsCancelled();) {
        changed = false;
        for (int32_t t = 0; t < texels.Count(); t++) {
            if (!pending[size_t(t)])
                continue;
            pending[size_t(t)] = 0;
            if (!optimiser.TryTexel(t))
                continue;
            changed = true;
            pending[size_t(t)] = 1;
            for (int32_t i = texels.pointStart[size_t(t)]; i < texels.pointStart[size_t(t) + 1]; i++) {
                const int32_t p = texels.points[size_t(i)];
                for (int32_t j = pointTexelStart[size_t(p)]; j < pointTexelStart[size_t(p) + 1]; j++)
                    pending[size_t(pointTexels[size_t(j)])] = 1;
            }
        }
        passes++;
    }
    return passes;
}

void FixSeams(const LmMesh& mesh, const LightmapperSettings& settings, Core::ParallelFor& pool,
              const BuildProgress& progress, const std::vector<LmGroup>& groups, Atlas* atlases)
{
    if (!(settings.flags & FixLightmapSeams) || progress.IsCancelled())
        return;
    Core::Log("LM: fix seams");
    progress.Report(0, 100, "Fixing seams");
    const std::vector<SeamEdge> edges = FindSeamEdges(mesh, settings, groups);
    Core::LogFormat("%d seam edges found", int32_t(edges.size()));
    const std::vector<StitchingPoint> points = ExtractStitchingPoints(mesh, edges, atlases[0]);
    Core::LogFormat("%d stitching points extracted", int32_t(points.size()));
    const StitchingTexels texels = CollectStitchingTexels(points, atlases[0]);
    Core::LogFormat("%d stitching texels extracted", texels.Count());

    Core::Log("optimizing seams");
    // Only the stitching texels' colours before seam fixing are ever read back, so they are all
    // that is kept of the pages as they were.
    const int32_t bases = BasesUsed(settings);
    std::vector<uint32_t> startColours[maxBases];
    for (int32_t b = 0; b < bases; b++) {
        startColours[b].reserve(size_t(texels.Count()));
        for (const StitchingTexels::Texel& texel : texels.texels)
            startColours[b].push_back(atlases[b].Page(texel.page)->bitmap.At(texel.x, texel.y));
    }
    const bool bounded = AmbientOcclusionMode(settings);
    pool.Run(
        [&](int32_t b, int32_t) {
            // In the lighting mode basis 2 is left as traced.
            if (b != 0 && (bounded || b == 2))
                return;
            Core::LogFormat("Basis %d", b);
            OptimizeSeamBasis({points, texels, startColours[b], bounded}, atlases[b], progress);
        },
        bases, 1);
}

}  // namespace Engine
