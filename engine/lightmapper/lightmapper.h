#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "core/delegate.h"
#include "core/hash_map.h"
#include "core/parallel_for.h"
#include "engine/lightmapper/atlas.h"
#include "engine/lightmapper/group.h"
#include "engine/lightmapper/lightmapper_settings.h"
#include "engine/lightmapper/records.h"
#include "engine/spatial/triangle_ops.h"
#include "geom/vec.h"

namespace Engine {

// Progress of a build: percentage, a stage-specific value the console ignores, and a title that
// is non-empty only when a stage starts.
using LightmapperProgress = Core::Delegate<void(float percent, float value, const std::string& title)>;

// Takes a mesh triangle by triangle, welds it, and on Build turns it into charts and lightmap
// atlases. Stages are member operations over the flat records below, indexed by signed 32-bit
// integers with -1 meaning none.
class Lightmapper {
public:
    // Planes closer than this to every corner of a new triangle are shared with it, so nearly
    // coplanar triangles project onto the same axis; larger values merge more faces that are
    // really slightly bent.
    static constexpr float planeTolerance = 0.00086805556f;  // 1/1152
    // Planes are binned by distance in steps of 1/32 (wrapping after 4096 bins); a new triangle
    // looks for a plane to share in its own bin and the one on either side.
    static constexpr float planeBinScale = 32.0f;
    static constexpr int32_t planeBinMask = 4095;

    explicit Lightmapper(const LightmapperSettings& settings);
    ~Lightmapper();
    Lightmapper(const Lightmapper&) = delete;
    Lightmapper& operator=(const Lightmapper&) = delete;

    // Intake. Returns the new triangle's index, or -1 for a degenerate triangle, which leaves no
    // edge behind (its welded vertex data and object record stay).
    int32_t AddTriangle(const InputTriangle& input);
    // Sizes the lists for a mesh of this many triangles before intake, so that handing it over
    // does not keep moving the records it has already taken. Optional.
    void Reserve(int32_t triangleCount);
    int32_t FindOrAddObject(const std::string& name);
    // False when no object has this name.
    bool SetAlphaMap(const std::string& name, const Image::Bitmap& alphaMap);
    // Replaces every corner normal by the smoothed vertex normal of its position.
    void BuildVertexNormals(float smoothingAngleDegrees);

    // Connectivity: the edge table, filled during intake, and the neighbour links and tangents
    // that every run of BuildConnectivity recomputes from the current projection keys.
    int32_t RegisterEdge(int32_t modelId, int32_t a, int32_t b, int32_t triangleIndex);
    int32_t FindNeighbour(int32_t modelId, int32_t a, int32_t b, int32_t triangleIndex) const;
    void BuildConnectivity();

    // Runs the stages; false when the build was cancelled.
    bool Build(bool aoOnly, bool skipFinalGather);
    // Safe from any thread: the build stops at its next check.
    void Cancel();
    bool IsCancelled() const { return cancelled.load() != 0; }
    // Hands progress to the bound delegate, if any. Stage bodies call it from any thread.
    void Report(float percent, float value, const std::string& title);

    // --- State shared by the stages ---

    LightmapperProgress progress;
    std::vector<LmTriangle> triangles;  // in AddTriangle order
    std::vector<std::shared_ptr<LmGroup>> groups;  // charts; released at the end of Build
    // Rows of the charts cut into units of tracing work; rebuilt after grouping.
    std::vector<GroupTask> tasks;
    // One atlas per basis; only the first basisCount are used. Filled by the atlas stage.
    Atlas atlases[maxBases];

    // Welded mesh lists; equal bit patterns share one entry, so 0.0 and -0.0 differ.
    std::vector<Geom::Vec3> positions;
    std::vector<Geom::Vec3> normals;  // vertex normals and face normals alike
    std::vector<Geom::Vec2> uvs;
    std::vector<LmObject> objects;
    std::vector<LmEdge> edges;
    std::vector<LmPlane> planes;

    // Copied settings.
    uint32_t flags;
    float texelSize;
    bool noSamples;
    int32_t atlasSize;
    int32_t sampleCount;
    int32_t samplesPerTexel;
    float epsilon;
    int32_t basisCount;
    float gamma;
    float aoDistance;
    float aoPower;
    int32_t blurKernel;

    // The kd-tree over all triangles (element id = triangle index), one mailbox per thread slot.
    TriangleKdTree kdTree;
    // The tree stage: fills and builds kdTree from the current triangles, positions, flags and
    // alpha maps (tree_stage.cpp). Flags or alpha maps changed afterwards are not seen by rays.
    void BuildKdTree();

    // One candidate list per thread for the box queries of grouping and texel rasterisation.
    std::vector<std::vector<int32_t>> threadCandidates;

    Core::ParallelFor pool;
    std::atomic<int32_t> cancelled{0};

private:
    int32_t WeldPosition(Geom::Vec3 p);
    int32_t WeldNormal(Geom::Vec3 n);
    int32_t WeldUv(Geom::Vec2 uv);
    int32_t WeldPlane(const LmPlane& plane, const Geom::Vec3 corners[3]);
    // FindNeighbour for an edge whose index is already known.
    int32_t NeighbourAcross(int32_t edgeIndexOfTriangle, int32_t triangleIndex) const;
    void PrepareThreadScratch();
    void MarkEmissiveTriangles();
    void ReleaseGroups();

    Core::HashMap<Geom::Vec3, int32_t> positionIndex;
    Core::HashMap<Geom::Vec3, int32_t> normalIndex;
    Core::HashMap<Geom::Vec2, int32_t> uvIndex;
    Core::HashMap<LmEdgeKey, int32_t> edgeIndex;
    Core::HashMap<LmPlane, int32_t> planeIndex;
    std::unordered_map<std::string, int32_t> objectIndex;
    int32_t lastObject = -1;  // consecutive triangles mostly share their object

    // Planes of one distance bin in insertion order, one array per component so that the
    // welding scan reads them in long runs.
    struct PlaneBin {
        std::vector<float> nx, ny, nz, distance;
        std::vector<int32_t> planeIndices;
    };
    int32_t FirstFittingPlane(const PlaneBin& bin, Geom::Vec3 normal, const Geom::Vec3 corners[3]) const;
    std::vector<PlaneBin> planeBins;  // 4096 bins by distance

    // What the tree's triangle tests read, copied out of the triangles by BuildKdTree.
    TriangleElements treeElements;
    std::vector<TriangleCorners> treeTriangles;
    std::vector<const Image::Bitmap*> treeAlphaMaps;
};

}  // namespace Engine
