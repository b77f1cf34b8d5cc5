#pragma once

#include <cstdint>
#include <vector>

#include "engine/lightmapper/lightmapper_settings.h"
#include "geom/box.h"
#include "geom/mat3.h"
#include "geom/vec.h"

namespace Engine {

// Bit of LmGroup::groupFlags: made from triangles whose object flags ask for an eighth of the
// resolution (texel size x 8).
constexpr uint32_t GroupCoarse = 0x08;

// A chart: triangles of one projection key and one texel size that are flattened together onto
// one axis plane and get one rectangular texel grid. The group's index in the chart list is
// what its triangles carry in `group`.
struct LmGroup {
    std::vector<int32_t> triangles;  // in the order they joined

    uint32_t projKey = 0;         // low two bits: the dropped axis of the chart plane
    int32_t gridWidth = 0;
    int32_t gridHeight = 0;
    int32_t page = -1;            // atlas page, -1 until placed
    uint32_t groupFlags = 0;
    // World units per texel that the group's triangles ask for: only triangles asking for the
    // same size join one group.
    float requestedTexelSize = 0;
    // World units per texel along the chart's two axes as laid out: the requested size,
    // coarsened while the grid would not fit a page.
    float texelSize[2] = {0, 0};
    int32_t samplesPerTexel = 1;
    Geom::Box3 bounds;            // 3-D bounds of the triangles
    Geom::Box2 texelBox;          // union of the members' texel boxes as they joined
    // Texel (i, j) lies at chart point i * row[0] + j * row[1] + row[2] (first two components).
    Geom::Mat3 texelToChart;
    bool transposed = false;      // stored in its page with the axes swapped

    // Per-texel data, row-major, index j * gridWidth + i.
    std::vector<uint64_t> coverage;   // bit set: some sample of the texel lies on a triangle
    std::vector<int32_t> texelTris;   // run-length coded triangle per sample, -1 = none
    std::vector<uint8_t> texelRuns;   // run lengths, 1 .. 255
    // Texel colours per basis. Only the bases and buffers a build uses are allocated: a bake in
    // ambient-occlusion mode touches basis 0 alone, and the other eight buffers would cost
    // 96 bytes per texel for nothing.
    std::vector<Geom::Vec3> basis[maxBases];
    std::vector<Geom::Vec3> light;               // light of the previous bounce
    std::vector<Geom::Vec3> bounce[maxBases];    // bounce accumulation

    int32_t ProjectionAxis() const { return int32_t(projKey & 3); }
    int32_t TexelCount() const { return gridWidth * gridHeight; }
    bool IsCovered(int32_t texel) const { return (coverage[size_t(texel) >> 6] >> (texel & 63)) & 1; }
    void SetCovered(int32_t texel) { coverage[size_t(texel) >> 6] |= uint64_t(1) << (texel & 63); }
};

// A slice of whole rows of one group: the unit of work of the tracing passes.
struct GroupTask {
    int32_t group;
    int32_t firstRow;
    int32_t rowCount;
    int32_t firstRun;  // index in texelTris / texelRuns of the first run of the first texel
};

// What grouping makes and the tracing passes and the atlas stage work on: the charts in their
// final order and their rows cut into tasks. A build releases them at its end.
struct LmCharts {
    std::vector<LmGroup> groups;
    std::vector<GroupTask> tasks;
};

// Drops the coordinate of `axis` (0 x, 1 y, 2 z): the chart plane of a projected group.
inline Geom::Vec2 ProjectToPlane(Geom::Vec3 p, int32_t axis)
{
    switch (axis) {
    case 0: return {p.y, p.z};
    case 1: return {p.x, p.z};
    default: return {p.x, p.y};
    }
}

}  // namespace Engine
