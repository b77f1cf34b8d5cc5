// Intake: welding triangles into the shared lists, objects, planes and vertex normals.

#include <bit>
#include <cmath>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "core/log.h"
#include "engine/lightmapper/connectivity.h"
#include "engine/lightmapper/lightmapper.h"

namespace Engine {

namespace {

// Distance bin of a plane. The clamp only matters for absurd coordinates, where the cast of an
// out-of-range float would be undefined; every reachable bin is unchanged by it.
int32_t PlaneBinOf(float distance)
{
    float scaled = distance * Lightmapper::planeBinScale + 0.5f;
    if (!(scaled > -1073741824.0f))
        scaled = -1073741824.0f;
    else if (scaled > 1073741824.0f)
        scaled = 1073741824.0f;
    return int32_t(scaled);
}

// True when every corner lies within the tolerance of the plane and the plane faces the same way.
bool PlaneFits(const LmPlane& plane, Geom::Vec3 normal, const Geom::Vec3 corners[3])
{
    if (!(Geom::Dot(plane.normal, normal) > 0))
        return false;
    for (int k = 0; k < 3; k++) {
        float distance = Geom::Dot(plane.normal, corners[k]) + plane.distance;
        if (!(std::fabs(distance) <= Lightmapper::planeTolerance))
            return false;
    }
    return true;
}

// Whether any of eight planes passes within the tolerance of the corner: the test that nearly
// every candidate fails. Both forms compute ((nx px + ny py) + nz pz) + distance in single
// precision, operation for operation as PlaneFits does, so they agree with it bit for bit.
inline bool AnyNearCornerPlain(const float* nx, const float* ny, const float* nz, const float* distance,
                               Geom::Vec3 corner)
{
    int any = 0;
    for (int k = 0; k < 8; k++) {
        float d = nx[k] * corner.x + ny[k] * corner.y + nz[k] * corner.z + distance[k];
        any |= std::fabs(d) <= Lightmapper::planeTolerance;
    }
    return any != 0;
}

#if defined(__SSE2__)
inline bool AnyNearCorner(const float* nx, const float* ny, const float* nz, const float* distance, Geom::Vec3 corner)
{
    const __m128 px = _mm_set1_ps(corner.x), py = _mm_set1_ps(corner.y), pz = _mm_set1_ps(corner.z);
    const __m128 tolerance = _mm_set1_ps(Lightmapper::planeTolerance);
    const __m128 sign = _mm_set1_ps(-0.0f);
    __m128 near = _mm_setzero_ps();
    for (int k = 0; k < 8; k += 4) {
        __m128 d = _mm_add_ps(_mm_mul_ps(_mm_loadu_ps(nx + k), px), _mm_mul_ps(_mm_loadu_ps(ny + k), py));
        d = _mm_add_ps(d, _mm_mul_ps(_mm_loadu_ps(nz + k), pz));
        d = _mm_add_ps(d, _mm_loadu_ps(distance + k));
        near = _mm_or_ps(near, _mm_cmple_ps(_mm_andnot_ps(sign, d), tolerance));
    }
    return _mm_movemask_ps(near) != 0;
}

// Bit k set when plane k of eight fits, by the same operations as PlaneFits.
inline int FittingPlanes(const float* nx, const float* ny, const float* nz, const float* distance, Geom::Vec3 normal,
                         const Geom::Vec3 corners[3])
{
    const __m128 tolerance = _mm_set1_ps(Lightmapper::planeTolerance);
    const __m128 sign = _mm_set1_ps(-0.0f);
    int fitting = 0;
    for (int k = 0; k < 8; k += 4) {
        const __m128 x = _mm_loadu_ps(nx + k), y = _mm_loadu_ps(ny + k), z = _mm_loadu_ps(nz + k);
        const __m128 d = _mm_loadu_ps(distance + k);
        __m128 facing = _mm_add_ps(_mm_mul_ps(x, _mm_set1_ps(normal.x)), _mm_mul_ps(y, _mm_set1_ps(normal.y)));
        facing = _mm_add_ps(facing, _mm_mul_ps(z, _mm_set1_ps(normal.z)));
        __m128 fits = _mm_cmpgt_ps(facing, _mm_setzero_ps());
        for (int c = 0; c < 3; c++) {
            __m128 e = _mm_add_ps(_mm_mul_ps(x, _mm_set1_ps(corners[c].x)), _mm_mul_ps(y, _mm_set1_ps(corners[c].y)));
            e = _mm_add_ps(_mm_add_ps(e, _mm_mul_ps(z, _mm_set1_ps(corners[c].z))), d);
            fits = _mm_and_ps(fits, _mm_cmple_ps(_mm_andnot_ps(sign, e), tolerance));
        }
        fitting |= _mm_movemask_ps(fits) << k;
    }
    return fitting;
}
#else
inline bool AnyNearCorner(const float* nx, const float* ny, const float* nz, const float* distance, Geom::Vec3 corner)
{
    return AnyNearCornerPlain(nx, ny, nz, distance, corner);
}
#endif

}  // namespace

// Index of the first plane of the bin, in insertion order, that fits: the same answer as trying
// PlaneFits on each in turn, found faster by skipping blocks that no plane of can fit. The planes
// are read from the bin's own copies, which sit together, rather than from the plane list.
int32_t Lightmapper::FirstFittingPlane(const PlaneBin& bin, Geom::Vec3 normal, const Geom::Vec3 corners[3]) const
{
    const int32_t count = int32_t(bin.planeIndices.size());
    auto fits = [&](int32_t j) {
        LmPlane plane;
        plane.normal = {bin.nx[size_t(j)], bin.ny[size_t(j)], bin.nz[size_t(j)]};
        plane.distance = bin.distance[size_t(j)];
        return PlaneFits(plane, normal, corners);
    };
    int32_t i = 0;
    for (; i + 8 <= count; i += 8) {
        if (!AnyNearCorner(&bin.nx[size_t(i)], &bin.ny[size_t(i)], &bin.nz[size_t(i)], &bin.distance[size_t(i)],
                           corners[0]))
            continue;
#if defined(__SSE2__)
        int fitting = FittingPlanes(&bin.nx[size_t(i)], &bin.ny[size_t(i)], &bin.nz[size_t(i)], &bin.distance[size_t(i)],
                                    normal, corners);
        if (fitting != 0)
            return bin.planeIndices[size_t(i + std::countr_zero(unsigned(fitting)))];
#else
        for (int32_t j = i; j < i + 8; j++)
            if (fits(j))
                return bin.planeIndices[size_t(j)];
#endif
    }
    for (; i < count; i++)
        if (fits(i))
            return bin.planeIndices[size_t(i)];
    return -1;
}

int32_t Lightmapper::WeldPosition(Geom::Vec3 p)
{
    int32_t index = positionIndex.FindOrAdd(p, int32_t(mesh.positions.size()));
    if (index == int32_t(mesh.positions.size()))
        mesh.positions.push_back(p);
    return index;
}

int32_t Lightmapper::WeldNormal(Geom::Vec3 n)
{
    int32_t index = normalIndex.FindOrAdd(n, int32_t(mesh.normals.size()));
    if (index == int32_t(mesh.normals.size()))
        mesh.normals.push_back(n);
    return index;
}

int32_t Lightmapper::WeldUv(Geom::Vec2 uv)
{
    int32_t index = uvIndex.FindOrAdd(uv, int32_t(mesh.uvs.size()));
    if (index == int32_t(mesh.uvs.size()))
        mesh.uvs.push_back(uv);
    return index;
}

void Lightmapper::Reserve(int32_t triangleCount)
{
    if (triangleCount <= 0)
        return;
    // A closed mesh has about half as many positions and one and a half times as many edges
    // as triangles; open meshes have a few more positions.
    size_t count = size_t(triangleCount);
    mesh.triangles.reserve(count);
    mesh.positions.reserve(count / 2 + 16);
    positionIndex.Reserve(int32_t(count / 2 + 16));
    mesh.edges.reserve(count * 3 / 2 + 16);
    mesh.edgeIndex.Reserve(int32_t(count * 3 / 2 + 16));
}

int32_t Lightmapper::FindOrAddObject(const std::string& name)
{
    if (lastObject >= 0 && mesh.objects[size_t(lastObject)].name == name)
        return lastObject;
    auto [it, added] = objectIndex.try_emplace(name, int32_t(mesh.objects.size()));
    if (added) {
        LmObject object;
        object.name = name;
        mesh.objects.push_back(std::move(object));
    }
    lastObject = it->second;
    return lastObject;
}

bool Lightmapper::SetAlphaMap(const std::string& name, const Image::Bitmap& alphaMap)
{
    auto it = objectIndex.find(name);
    if (it == objectIndex.end())
        return false;
    mesh.objects[size_t(it->second)].alphaMap = alphaMap;
    return true;
}

// Shares the plane of an earlier triangle when this one lies on it within the tolerance, so
// that slightly bent faces of one flat surface project onto the same axis.
int32_t Lightmapper::WeldPlane(const LmPlane& plane, const Geom::Vec3 corners[3])
{
    int32_t exact = planeIndex.Find(plane);
    if (exact >= 0)
        return planeIndex[exact].value;

    int32_t bin = PlaneBinOf(plane.distance);
    for (int32_t b = bin - 1; b <= bin + 1; b++) {
        int32_t found = FirstFittingPlane(planeBins[size_t(b & planeBinMask)], plane.normal, corners);
        if (found >= 0)
            return found;
    }

    int32_t index = int32_t(mesh.planes.size());
    mesh.planes.push_back(plane);
    planeIndex.FindOrAdd(plane, index);
    PlaneBin& home = planeBins[size_t(bin & planeBinMask)];
    home.nx.push_back(plane.normal.x);
    home.ny.push_back(plane.normal.y);
    home.nz.push_back(plane.normal.z);
    home.distance.push_back(plane.distance);
    home.planeIndices.push_back(index);
    return index;
}

int32_t Lightmapper::AddTriangle(const InputTriangle& input)
{
    LmTriangle t;
    t.flags = input.flags & ~uint32_t(TriangleLit);
    t.modelId = input.modelId;
    t.faceId = input.faceId;
    t.page = -1;
    t.group = -1;
    t.smoothGroup = -1;
    t.spareIndex = -1;
    for (int k = 0; k < 3; k++) {
        t.spare[k] = -1;
        t.neighbour[k] = -1;
        t.edge[k] = -1;
    }
    t.object = FindOrAddObject(input.name);

    for (int k = 0; k < 3; k++) {
        t.pos[k] = WeldPosition(input.positions[k]);
        t.nrm[k] = WeldNormal(input.normals[k]);
        t.uv[k] = WeldUv(input.uvs[k]);
        t.lmUv[k] = {0, 0};
    }

    // Degeneracy is decided before any edge is registered, so that no edge ever names a
    // triangle that does not exist. Non-finite corners are rejected the same way: their plane
    // would poison the plane bins.
    const Geom::Vec3* p = input.positions;
    Geom::Vec3 e1 = p[1] - p[0];
    Geom::Vec3 e2 = p[2] - p[0];
    Geom::Vec3 cross = Geom::Cross(e2, e1);
    float lengthSquared = Geom::LengthSquared(cross);
    if (!(lengthSquared > 0) || !std::isfinite(lengthSquared)) {
        Core::Log("AddTriangle: ignoring degenerate triangle!");
        return -1;
    }

    int32_t triangleIndex = mesh.TriangleCount();
    for (int k = 0; k < 3; k++)
        t.edge[k] = Engine::RegisterEdge(mesh, t.modelId, t.pos[k], t.pos[(k + 1) % 3], triangleIndex);

    LmPlane plane;
    plane.normal = cross / std::sqrt(lengthSquared);
    plane.distance = -Geom::Dot(plane.normal, p[0]);
    t.faceNormal = WeldNormal(plane.normal);

    Geom::Vec3 axisNormal = mesh.planes[size_t(WeldPlane(plane, p))].normal;
    int32_t axis = Geom::DominantAxis(axisNormal);
    t.projKey = uint32_t(axis) | (axisNormal[axis] < 0 ? 4u : 0u) | (uint32_t(t.modelId) << 3);

    mesh.triangles.push_back(t);
    return triangleIndex;
}

void Lightmapper::BuildVertexNormals(float smoothingAngleDegrees)
{
    const std::vector<LmTriangle>& triangles = mesh.triangles;
    const int32_t triangleCount = mesh.TriangleCount();
    const int32_t positionCount = int32_t(mesh.positions.size());

    // Corners around position p: corners[firstCorner[p] .. firstCorner[p + 1]), each stored as
    // triangle * 3 + corner, in triangle order.
    std::vector<int32_t> firstCorner(size_t(positionCount) + 1, 0);
    for (const LmTriangle& t : triangles)
        for (int k = 0; k < 3; k++)
            firstCorner[size_t(t.pos[k]) + 1]++;
    for (int32_t p = 0; p < positionCount; p++)
        firstCorner[size_t(p) + 1] += firstCorner[size_t(p)];
    std::vector<int32_t> fill(firstCorner.begin(), firstCorner.end() - 1);
    std::vector<int32_t> corners(size_t(triangleCount) * 3);
    for (int32_t i = 0; i < triangleCount; i++)
        for (int k = 0; k < 3; k++)
            corners[size_t(fill[size_t(triangles[size_t(i)].pos[k])]++)] = i * 3 + k;

    // Weight of each corner: triangle area times the corner's angle.
    std::vector<float> cornerWeight(static_cast<size_t>(triangleCount) * 3);
    std::vector<Geom::Vec3> faceNormals(static_cast<size_t>(triangleCount));
    for (int32_t i = 0; i < triangleCount; i++) {
        const LmTriangle& t = triangles[size_t(i)];
        Geom::Vec3 q[3] = {mesh.Corner(t, 0), mesh.Corner(t, 1), mesh.Corner(t, 2)};
        float area = 0.5f * Geom::Length(Geom::Cross(q[1] - q[0], q[2] - q[0]));
        for (int k = 0; k < 3; k++) {
            Geom::Vec3 a = q[(k + 1) % 3] - q[k];
            Geom::Vec3 b = q[(k + 2) % 3] - q[k];
            float la = Geom::Length(a), lb = Geom::Length(b);
            a = a / (la == 0 ? 1.0f : la);
            b = b / (lb == 0 ? 1.0f : lb);
            float cosine = std::fmin(1.0f, std::fmax(-1.0f, Geom::Dot(a, b)));
            cornerWeight[size_t(i) * 3 + size_t(k)] = area * std::acos(cosine);
        }
        faceNormals[size_t(i)] = mesh.normals[size_t(t.faceNormal)];
    }

    const float threshold = std::cos(smoothingAngleDegrees * 0.017453292f);
    for (int32_t i = 0; i < triangleCount; i++) {
        LmTriangle& t = mesh.triangles[size_t(i)];
        Geom::Vec3 faceNormal = faceNormals[size_t(i)];
        for (int k = 0; k < 3; k++) {
            int32_t p = t.pos[k];
            Geom::Vec3 sum{0, 0, 0};
            for (int32_t c = firstCorner[size_t(p)]; c < firstCorner[size_t(p) + 1]; c++) {
                int32_t corner = corners[size_t(c)];
                int32_t u = corner / 3;
                const LmTriangle& other = triangles[size_t(u)];
                // A triangle always counts for itself: with a tiny angle its own normal's
                // rounded dot product could fall below the threshold and leave no normal.
                bool accepted = u == i || (t.smoothGroup >= 0 && other.smoothGroup == t.smoothGroup) ||
                                Geom::Dot(faceNormal, faceNormals[size_t(u)]) >= threshold;
                if (accepted)
                    sum += faceNormals[size_t(u)] * cornerWeight[size_t(corner)];
            }
            float lengthSquared = Geom::LengthSquared(sum);
            Geom::Vec3 normal = lengthSquared <= 1e-37f ? Geom::Vec3{1, 0, 0} : sum / std::sqrt(lengthSquared);
            t.nrm[k] = WeldNormal(normal);
        }
    }
}

}  // namespace Engine
