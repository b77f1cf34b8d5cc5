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

namespace Engine {

// A mesh edge whose two triangles lie in different charts: the lightmap shows it twice, at two
// unrelated places, and the two copies should show the same colours.
struct SeamEdge {
    int32_t lower, higher;          // the edge's two position indices
    int32_t triangleA, triangleB;   // A < B
    int32_t edgeA, edgeB;           // edge e of a triangle runs from corner e to corner (e + 1) % 3
};

// One place on a seam, in texel coordinates of both sides' pages (integers are texel centres).
struct StitchingPoint {
    int32_t pageA, pageB;
    Geom::Vec2 positionA, positionB;
};

// The page texels that the stitching points read, in order of first discovery, each with the
// points whose 2 x 2 sampling block (on a side on its page) holds it, in increasing order:
// points[pointStart[t] .. pointStart[t + 1]).
struct StitchingTexels {
    struct Texel {
        int32_t page, x, y;
    };
    std::vector<Texel> texels;
    std::vector<int32_t> pointStart;
    std::vector<int32_t> points;

    int32_t Count() const { return int32_t(texels.size()); }
};

// Faces bending by more than this are a crease the lightmap may show: cos 60 degrees in the
// ambient-occlusion mode, cos 47 degrees in the lighting mode.
float SeamCosineThreshold(const LightmapperSettings& settings);

// Edges between two charts whose faces bend by no more than the threshold and which the two
// triangles run along in opposite directions, in order of first meeting (charts in list order,
// their triangles in order, edges 0 to 2).
std::vector<SeamEdge> FindSeamEdges(const LmMesh& mesh, const LightmapperSettings& settings,
                                    const std::vector<LmGroup>& groups);

// About three points per texel along each seam (by its longer side), the first at the shared
// vertex; positions in `pages` (basis 0), whose page indices the triangles carry. Edges with a
// side on no page get none, and points off a page (beyond -1 or the page size on either side,
// where a sample would read texels outside its 2 x 2 block) are left out.
std::vector<StitchingPoint> ExtractStitchingPoints(const LmMesh& mesh, const std::vector<SeamEdge>& edges,
                                                   const Atlas& pages);

// The 2 x 2 texels under each side of each point, on its page, in order of first discovery
// (point by point, side A then B, rows then columns), each with its points.
StitchingTexels CollectStitchingTexels(const std::vector<StitchingPoint>& points, const Atlas& pages);

// Luma steps: full-range YCbCr of 8-bit RGB in 16-bit fixed point.
struct YCbCr {
    int32_t y, cb, cr;
};
YCbCr ToYCbCr(uint32_t pixel);
// RGB of the pixel 0xAARRGGBB with the alpha byte `alpha` (already shifted into place).
uint32_t FromYCbCr(YCbCr colour, uint32_t alpha);
// The pixel with its luma moved by one step up (step > 0) or down (otherwise), chroma and alpha
// kept; the pixel itself when the luma is already at that end.
uint32_t StepLuma(uint32_t pixel, int32_t step);

// Squared RGB distance of two pixels (alpha ignored).
int32_t ColourDistanceSquared(uint32_t a, uint32_t b);

// Sum over the points of the squared RGB distance between the bilinear samples of the two sides
// in `pages`: what seam fixing lowers.
double SeamMismatch(const std::vector<StitchingPoint>& points, const Atlas& pages);

// What the optimiser of one basis works on: the seams' points and texels (shared by all bases)
// and each stitching texel's colour before seam fixing.
struct SeamBasis {
    const std::vector<StitchingPoint>& points;
    const StitchingTexels& texels;
    const std::vector<uint32_t>& startColours;  // per stitching texel
    // With the ambient-occlusion mode a texel never moves as far as a squared RGB distance of
    // 3072 from its start.
    bool bounded;
};

// Moves the stitching texels of one basis's pages luma step by luma step, in order, accepting a
// step only when it lowers the texel's mismatch at its points plus its squared distance from its
// start; repeats passes until a pass changes nothing or the build is cancelled. Returns the
// number of passes. Two shortcuts that change no result: texels whose points read nothing that
// changed since they last stayed put are not tried again (a try would give the same answer), and
// each point's two samples are kept, so a try samples only the sides that read its texel.
int32_t OptimizeSeamBasis(const SeamBasis& basis, Atlas& pages, const BuildProgress& progress);
// The plain form, without the shortcuts: every texel in every pass, every cost sampled afresh.
int32_t OptimizeSeamBasisEveryTexel(const SeamBasis& basis, Atlas& pages, const BuildProgress& progress);

// Makes the colours on both sides of every seam agree (only with FixLightmapSeams): finds the
// seams, samples them, and adjusts the texels under the samples of each basis the build
// optimises (basis 0; in the lighting mode every basis but 2) on the pool, one basis per call.
// Runs between the two bleeds of the atlas stage; changes only the RGB of stitching texels.
void FixSeams(const LmMesh& mesh, const LightmapperSettings& settings, Core::ParallelFor& pool,
              const BuildProgress& progress, const std::vector<LmGroup>& groups, Atlas* atlases);

}  // namespace Engine
