#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

#include "core/hash_map.h"
#include "core/parallel_for.h"
#include "engine/lightmapper/atlas.h"
#include "engine/lightmapper/build_context.h"
#include "engine/lightmapper/group.h"
#include "engine/lightmapper/lightmapper_settings.h"
#include "engine/lightmapper/mesh.h"
#include "engine/lightmapper/records.h"
#include "geom/vec.h"

namespace Engine {

// Takes a mesh triangle by triangle, welds it, and on Build turns it into charts and lightmap
// atlases. The mesh is kept here; a build's charts, trees and scratch live only as long as the
// build (see build_context.h and group.h), and its results are the triangles' pages and lightmap
// coordinates and the atlas pages.
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
    // Index of the object with this name, -1 when none.
    int32_t FindObject(const std::string& name) const;
    // Replaces every corner normal by the smoothed vertex normal of its position.
    void BuildVertexNormals(float smoothingAngleDegrees);

    // Light for the lighting mode (an ambient-occlusion build ignores it). AddLight stores the
    // record with a unit direction; it stores nothing and returns false for a record the passes
    // cannot use (see UsableLight).
    bool AddLight(const LightRecord& light);
    // The object's emitted colour (non-zero makes it light the scene) and the share of light
    // it passes on; false when no object has this name or a component is not finite.
    bool SetObjectColour(const std::string& name, Geom::Vec3 colour);
    bool SetObjectReflectance(const std::string& name, Geom::Vec3 reflectance);

    // Connectivity: the edge table, filled during intake, and the neighbour links and tangents
    // that every run of BuildConnectivity recomputes from the current projection keys.
    int32_t RegisterEdge(int32_t modelId, int32_t a, int32_t b, int32_t triangleIndex);
    int32_t FindNeighbour(int32_t modelId, int32_t a, int32_t b, int32_t triangleIndex) const;
    void BuildConnectivity();

    // Runs the stages; false when the build was cancelled. The charts are released at the end,
    // unless `keptCharts` is given: then they are moved there, as the atlas stage left them.
    bool Build(bool aoOnly, bool skipFinalGather, LmCharts* keptCharts = nullptr);
    // Safe from any thread: the build stops at its next check.
    void Cancel();
    bool IsCancelled() const { return cancelled.load() != 0; }

    // What the stages report through; safe from any thread while the lightmapper lives.
    BuildProgress Progress() const { return BuildProgress(progress, cancelled); }

    const LightmapperSettings& Settings() const { return settings; }
    const LmMesh& Mesh() const { return mesh; }
    // For running stages one by one outside Build (tests, benchmarks).
    LmMesh& Mesh() { return mesh; }
    // One atlas per basis; the first BasesUsed(Settings()) hold the pages of the last build.
    const Atlas& Atlases(int32_t basis) const { return atlases[basis]; }
    Core::ParallelFor& Pool() { return pool; }

    // Bound by the caller; stage bodies call it from any thread.
    LightmapperProgress progress;

private:
    int32_t WeldPosition(Geom::Vec3 p);
    int32_t WeldNormal(Geom::Vec3 n);
    int32_t WeldUv(Geom::Vec2 uv);
    int32_t WeldPlane(const LmPlane& plane, const Geom::Vec3 corners[3]);

    const LightmapperSettings settings;
    LmMesh mesh;
    Atlas atlases[maxBases];
    Core::ParallelFor pool;
    std::atomic<int32_t> cancelled{0};

    // Intake's lookups from welded values to their list entries.
    Core::HashMap<Geom::Vec3, int32_t> positionIndex;
    Core::HashMap<Geom::Vec3, int32_t> normalIndex;
    Core::HashMap<Geom::Vec2, int32_t> uvIndex;
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
};

}  // namespace Engine
