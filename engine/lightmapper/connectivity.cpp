// Connectivity: the edge table, neighbour links and per-corner tangent frames.

#include <algorithm>
#include <cmath>

#include "engine/lightmapper/connectivity.h"

namespace Engine {

namespace {

LmEdgeKey EdgeKey(int32_t modelId, int32_t a, int32_t b)
{
    return {std::min(a, b), std::max(a, b), modelId};
}

// Tangent frame of one corner: the triangle's texture-space tangent made orthogonal to the
// vertex normal, with the handedness of the bitangent in w.
Geom::Vec4 CornerTangent(Geom::Vec3 n, Geom::Vec3 tangent, Geom::Vec3 bitangent)
{
    Geom::Vec3 t = tangent;
    // A zero normal (possible with normals taken from a file) has nothing to project out, and
    // dividing by its zero length would spread NaNs into every later stage.
    float nn = Geom::Dot(n, n);
    if (nn != 0)
        t = tangent - n * (Geom::Dot(n, tangent) / nn);

    float length = Geom::Length(t);
    if (length <= 1e-37f) {
        // No usable texture direction: pick the axis after the normal's dominant one, so a
        // normal along x gets z, along y gets x, along z gets y.
        const int32_t axis = Geom::DominantAxis(n);
        t = {0, 0, 0};
        t[(axis + 2) % 3] = 1;
        length = 1;
    }
    if (length != 0)
        t = t / length;

    float handedness = Geom::Dot(Geom::Cross(n, t), bitangent) < 0 ? -1.0f : 1.0f;
    return {t.x, t.y, t.z, handedness};
}

}  // namespace

int32_t RegisterEdge(LmMesh& mesh, int32_t modelId, int32_t a, int32_t b, int32_t triangleIndex)
{
    LmEdgeKey key = EdgeKey(modelId, a, b);
    bool added = false;
    int32_t index = mesh.edgeIndex.FindOrAdd(key, int32_t(mesh.edges.size()), added);
    if (added) {
        mesh.edges.push_back({key.lower, key.upper, modelId, {triangleIndex, -1}});
        return index;
    }
    LmEdge& edge = mesh.edges[size_t(index)];
    if (edge.triangle[0] < 0)
        edge.triangle[0] = triangleIndex;
    else if (edge.triangle[1] < 0)
        edge.triangle[1] = triangleIndex;
    return index;
}

int32_t FindNeighbour(const LmMesh& mesh, int32_t modelId, int32_t a, int32_t b, int32_t triangleIndex)
{
    int32_t entry = mesh.edgeIndex.Find(EdgeKey(modelId, a, b));
    if (entry < 0)
        return -1;
    return NeighbourAcross(mesh, mesh.edgeIndex[entry].value, triangleIndex);
}

int32_t NeighbourAcross(const LmMesh& mesh, int32_t edgeIndex, int32_t triangleIndex)
{
    const LmEdge& edge = mesh.edges[size_t(edgeIndex)];
    int32_t candidate = -1;
    if (edge.triangle[0] >= 0 && edge.triangle[0] != triangleIndex)
        candidate = edge.triangle[0];
    else if (edge.triangle[1] >= 0 && edge.triangle[1] != triangleIndex)
        candidate = edge.triangle[1];
    if (candidate < 0)
        return -1;

    // Triangles marked TriangleOwnObject link only within their own object, and never to
    // unmarked ones.
    const LmTriangle& self = mesh.triangles[size_t(triangleIndex)];
    const LmTriangle& other = mesh.triangles[size_t(candidate)];
    bool selfOwn = (self.flags & TriangleOwnObject) != 0;
    bool otherOwn = (other.flags & TriangleOwnObject) != 0;
    if (selfOwn != otherOwn)
        return -1;
    if (selfOwn && self.object != other.object)
        return -1;
    return candidate;
}

void BuildConnectivity(LmMesh& mesh)
{
    const int32_t triangleCount = mesh.TriangleCount();
    for (int32_t i = 0; i < triangleCount; i++) {
        LmTriangle& t = mesh.triangles[size_t(i)];
        Geom::Vec3 p0 = mesh.Corner(t, 0);
        Geom::Vec3 e1 = mesh.Corner(t, 1) - p0;
        Geom::Vec3 e2 = mesh.Corner(t, 2) - p0;
        Geom::Vec2 uv0 = mesh.uvs[size_t(t.uv[0])];
        Geom::Vec2 uv1 = mesh.uvs[size_t(t.uv[1])];
        Geom::Vec2 uv2 = mesh.uvs[size_t(t.uv[2])];
        float du1 = uv1.x - uv0.x, dv1 = uv1.y - uv0.y;
        float du2 = uv2.x - uv0.x, dv2 = uv2.y - uv0.y;
        float det = du1 * dv2 - du2 * dv1;

        Geom::Vec3 tangent{0, 0, 0};
        Geom::Vec3 bitangent{0, 0, 0};
        if (std::fabs(det) > 1e-37f) {
            tangent = (e1 * dv2 - e2 * dv1) / det;
            bitangent = (e2 * du1 - e1 * du2) / det;
        }
        for (int c = 0; c < 3; c++)
            t.tangent[c] = CornerTangent(mesh.normals[size_t(t.nrm[c])], tangent, bitangent);

        for (int e = 0; e < 3; e++) {
            // The triangle registered this very edge key on intake, so its edge index saves
            // the map lookup that FindNeighbour would make.
            int32_t n = NeighbourAcross(mesh, t.edge[e], i);
            if (n >= 0 && mesh.triangles[size_t(n)].projKey != t.projKey)
                n = -1;
            t.neighbour[e] = n;
        }
    }
}

}  // namespace Engine
