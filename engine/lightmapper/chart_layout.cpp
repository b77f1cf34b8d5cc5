#include "engine/lightmapper/chart_layout.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <vector>

#include "core/hash_map.h"

namespace Engine {
namespace {

// Growth of the texel size while a grid does not fit a page: each step costs one more layout
// of the group, a larger step wastes more resolution.
constexpr float coarseningStep = 1.1f;

// The chart's two axes in the projection plane and the extent of its points along them.
struct ChartFrame {
    Geom::Vec2 a{1, 0}, b{0, 1};
    float minA = 0, maxA = -1, minB = 0, maxB = -1;
};

// Distinct projected corner points (0 and -0 count as equal); also fills the group's 3-D
// bounds and the 2-D box of the points.
std::vector<Geom::Vec2> DistinctChartPoints(const LmMesh& mesh, LmGroup& group, Geom::Box2& box)
{
    Core::HashMap<Geom::Vec2, int32_t> seen;
    std::vector<Geom::Vec2> points;
    const int32_t axis = group.ProjectionAxis();
    group.bounds = Geom::Box3();
    for (int32_t t : group.triangles) {
        for (int32_t corner : mesh.triangles[size_t(t)].pos) {
            Geom::Vec3 p = mesh.positions[size_t(corner)];
            Geom::Vec2 q = ProjectToPlane(p, axis);
            Geom::Vec2 key{q.x + 0.0f, q.y + 0.0f};  // -0 + 0 is +0
            bool added = false;
            seen.FindOrAdd(key, 0, added);
            if (added)
                points.push_back(q);
            box.Add(q);
            group.bounds.Add(p);
        }
    }
    return points;
}

Geom::Vec2 NormalizedOrSame(Geom::Vec2 d)
{
    float length = Geom::Length(d);
    return length > 0 ? Geom::Vec2{d.x / length, d.y / length} : d;
}

// Principal direction by five power iterations on the covariance, starting from the box's
// diagonal.
Geom::Vec2 PrincipalDirection(const std::vector<Geom::Vec2>& points, const Geom::Box2& box)
{
    float cxx = 0, cxy = 0, cyy = 0;
    if (points.size() > 1) {
        double meanX = 0, meanY = 0;
        for (Geom::Vec2 p : points) {
            meanX += p.x;
            meanY += p.y;
        }
        meanX /= double(points.size());
        meanY /= double(points.size());
        double sxx = 0, sxy = 0, syy = 0;
        for (Geom::Vec2 p : points) {
            double dx = p.x - meanX, dy = p.y - meanY;
            sxx += dx * dx;
            sxy += dx * dy;
            syy += dy * dy;
        }
        double n = double(points.size() - 1);
        cxx = float(sxx / n);
        cxy = float(sxy / n);
        cyy = float(syy / n);
    }
    Geom::Vec2 d = box.IsEmpty() ? Geom::Vec2{0, 0} : NormalizedOrSame({box.max.x - box.min.x, box.max.y - box.min.y});
    for (int i = 0; i < 5; i++)
        d = NormalizedOrSame({d.x * cxx + d.y * cxy, d.x * cxy + d.y * cyy});
    if (d.x == 0 && d.y == 0)
        d = {1, 0};
    return d;
}

// The principal frame when its box is strictly smaller than the axis-aligned one.
ChartFrame ChooseFrame(const std::vector<Geom::Vec2>& points, const Geom::Box2& box)
{
    Geom::Vec2 d = PrincipalDirection(points, box);
    ChartFrame principal;
    principal.a = d;
    principal.b = {d.y, -d.x};
    for (size_t i = 0; i < points.size(); i++) {
        float a = points[i].x * d.x + points[i].y * d.y;
        float b = points[i].x * d.y - points[i].y * d.x;
        if (i == 0) {
            principal.minA = principal.maxA = a;
            principal.minB = principal.maxB = b;
        } else {
            principal.minA = std::min(principal.minA, a);
            principal.maxA = std::max(principal.maxA, a);
            principal.minB = std::min(principal.minB, b);
            principal.maxB = std::max(principal.maxB, b);
        }
    }
    float frameArea = points.empty() ? 0 : (principal.maxA - principal.minA) * (principal.maxB - principal.minB);
    float alignedArea = box.IsEmpty() ? 0 : (box.max.x - box.min.x) * (box.max.y - box.min.y);
    if (alignedArea <= frameArea || points.empty()) {
        ChartFrame aligned;
        aligned.minA = box.min.x;
        aligned.maxA = box.max.x;
        aligned.minB = box.min.y;
        aligned.maxB = box.max.y;
        return aligned;
    }
    return principal;
}

// The next texel size while a grid does not fit. Below about 1e-44 the 10 % step rounds back to
// the same denormal; the next float up keeps the loop moving there. Every other size takes the
// plain step, so ordinary layouts are unchanged.
float Coarser(float size)
{
    float next = size * coarseningStep;
    return next > size ? next : std::nextafter(size, std::numeric_limits<float>::infinity());
}

bool IsFinite(const Geom::Mat3& m)
{
    for (const Geom::Vec3& row : m.row) {
        if (!std::isfinite(row.x) || !std::isfinite(row.y) || !std::isfinite(row.z))
            return false;
    }
    return true;
}

float RoundHalfAwayFromZero(float x) { return std::trunc(x >= 0 ? x + 0.5f : x - 0.5f); }

// Texels along one frame axis: centres on a lattice of pitch `size` that encloses [lo, hi].
// Counted in floats: a chart far larger than any page must come out as too large, not wrap
// round to a small integer.
float GridExtent(float lo, float hi, float size, float& first)
{
    first = std::floor(lo / size);
    float extent = RoundHalfAwayFromZero((std::ceil(hi / size) * size - first * size) / size) + 1;
    return std::max(extent, 2.0f);
}

}  // namespace

bool PlanGroupGrid(const LmMesh& mesh, const LightmapperSettings& settings, LmGroup& group)
{
    Geom::Box2 box;
    std::vector<Geom::Vec2> points = DistinctChartPoints(mesh, group, box);
    ChartFrame frame = ChooseFrame(points, box);

    // A page narrower than the smallest grid could never be fitted.
    const float limit = float(std::max(settings.atlasSize, 2));
    group.texelSize[0] = group.texelSize[1] = group.requestedTexelSize;
    float i0 = 0, j0 = 0;
    int32_t width = 0, height = 0;
    for (;;) {
        float w = GridExtent(frame.minA, frame.maxA, group.texelSize[0], i0);
        float h = GridExtent(frame.minB, frame.maxB, group.texelSize[1], j0);
        if (w <= limit && h <= limit) {
            width = int32_t(w);
            height = int32_t(h);
            break;
        }
        // Only a chart spanning most of the float range gets here: its extent overflows.
        if (!std::isfinite(group.texelSize[0] * coarseningStep) || !std::isfinite(group.texelSize[1] * coarseningStep))
            return false;
        group.texelSize[0] = Coarser(group.texelSize[0]);
        group.texelSize[1] = Coarser(group.texelSize[1]);
    }
    group.gridWidth = width;
    group.gridHeight = height;

    const float tu = group.texelSize[0], tv = group.texelSize[1];
    Geom::Vec2 origin{i0 * tu * frame.a.x + j0 * tv * frame.b.x, i0 * tu * frame.a.y + j0 * tv * frame.b.y};
    group.texelToChart.row[0] = {tu * frame.a.x, tu * frame.a.y, 0};
    group.texelToChart.row[1] = {tv * frame.b.x, tv * frame.b.y, 0};
    group.texelToChart.row[2] = {origin.x, origin.y, 1};
    // Corners reach their texels through the inverse: one that overflows would place them at
    // NaN. Within the option ranges the determinant tU * tV stays far inside the float range.
    Geom::Mat3 chartToTexel;
    return IsFinite(group.texelToChart) && group.texelToChart.Inverse(chartToTexel) && IsFinite(chartToTexel);
}

void AllocateGroupTexels(const LightmapperSettings& settings, LmGroup& group)
{
    const size_t texels = size_t(group.gridWidth) * size_t(group.gridHeight);
    group.samplesPerTexel = SamplesPerTexel(settings);
    group.coverage.assign((texels + 63) / 64, 0);
    const int32_t bases = BasesUsed(settings);
    for (int32_t b = 0; b < maxBases; b++)
        group.basis[b].assign(b < bases ? texels : 0, Geom::Vec3{0, 0, 0});
    // The light and bounce buffers only serve the lighting passes.
    const bool lighting = !AmbientOcclusionMode(settings);
    group.light.assign(lighting ? texels : 0, Geom::Vec3{0, 0, 0});
    for (std::vector<Geom::Vec3>& buffer : group.bounce)
        buffer.assign(lighting ? texels : 0, Geom::Vec3{0, 0, 0});
}

bool LayoutGroup(const LmMesh& mesh, const LightmapperSettings& settings, LmGroup& group)
{
    if (!PlanGroupGrid(mesh, settings, group))
        return false;
    AllocateGroupTexels(settings, group);
    return true;
}

int32_t PlanGroupGrids(const LmMesh& mesh, const LightmapperSettings& settings, Core::ParallelFor& pool,
                       const BuildProgress& progress, std::vector<LmGroup>& groups)
{
    progress.Report(0, 0, "Grouping (allocate)");
    // One flag per group: each body writes only its own.
    std::vector<uint8_t> failed(groups.size(), 0);
    pool.Run([&](int32_t g, int32_t) { failed[size_t(g)] = !PlanGroupGrid(mesh, settings, groups[size_t(g)]); },
             int32_t(groups.size()), 1);
    auto first = std::find(failed.begin(), failed.end(), uint8_t(1));
    return first == failed.end() ? -1 : int32_t(first - failed.begin());
}

void AllocateGroupTexels(const LightmapperSettings& settings, Core::ParallelFor& pool, std::vector<LmGroup>& groups)
{
    pool.Run([&](int32_t g, int32_t) { AllocateGroupTexels(settings, groups[size_t(g)]); }, int32_t(groups.size()), 1);
}

int32_t LayoutGroups(const LmMesh& mesh, const LightmapperSettings& settings, Core::ParallelFor& pool,
                     const BuildProgress& progress, std::vector<LmGroup>& groups)
{
    int32_t failed = PlanGroupGrids(mesh, settings, pool, progress, groups);
    if (failed < 0)
        AllocateGroupTexels(settings, pool, groups);
    return failed;
}

}  // namespace Engine
