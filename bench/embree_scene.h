#pragma once

// Embree 3 on the lightmapper's triangles, for benchmarks that set our tracers beside it. Only
// benchmarks include this, and only where CMake found Embree (KETRA_BENCH_EMBREE); the tool never
// links it.

#ifdef KETRA_BENCH_EMBREE

#include <embree3/rtcore.h>

#include <cstring>

#include "engine/lightmapper/mesh.h"
#include "engine/spatial/kdtree3.h"
#include "engine/spatial/triangle_ops.h"

namespace Bench {

// The mesh's triangles in one Embree scene; Trace gives the nearest hit in (1/2304, maxDistance]
// with rtcIntersect1, or noHit.
struct EmbreeScene {
    RTCDevice device = nullptr;
    RTCScene scene = nullptr;

    EmbreeScene(const Engine::LmMesh& mesh, int threadCount)
    {
        device = rtcNewDevice(threadCount == 1 ? "threads=1" : nullptr);
        scene = rtcNewScene(device);
        RTCGeometry geometry = rtcNewGeometry(device, RTC_GEOMETRY_TYPE_TRIANGLE);
        float* vertices = static_cast<float*>(rtcSetNewGeometryBuffer(
            geometry, RTC_BUFFER_TYPE_VERTEX, 0, RTC_FORMAT_FLOAT3, 3 * sizeof(float), mesh.positions.size()));
        std::memcpy(vertices, mesh.positions.data(), mesh.positions.size() * sizeof(Geom::Vec3));
        unsigned* indices = static_cast<unsigned*>(rtcSetNewGeometryBuffer(
            geometry, RTC_BUFFER_TYPE_INDEX, 0, RTC_FORMAT_UINT3, 3 * sizeof(unsigned), mesh.triangles.size()));
        for (size_t i = 0; i < mesh.triangles.size(); i++) {
            for (int k = 0; k < 3; k++)
                indices[i * 3 + size_t(k)] = unsigned(mesh.triangles[i].pos[k]);
        }
        rtcCommitGeometry(geometry);
        rtcAttachGeometry(scene, geometry);
        rtcReleaseGeometry(geometry);
        rtcCommitScene(scene);
    }
    ~EmbreeScene()
    {
        rtcReleaseScene(scene);
        rtcReleaseDevice(device);
    }
    EmbreeScene(const EmbreeScene&) = delete;
    EmbreeScene& operator=(const EmbreeScene&) = delete;

    float Trace(const Engine::KdRay& ray, float maxDistance) const
    {
        RTCIntersectContext context;
        rtcInitIntersectContext(&context);
        RTCRayHit hit;
        hit.ray.org_x = ray.origin.x;
        hit.ray.org_y = ray.origin.y;
        hit.ray.org_z = ray.origin.z;
        hit.ray.dir_x = ray.direction.x;
        hit.ray.dir_y = ray.direction.y;
        hit.ray.dir_z = ray.direction.z;
        hit.ray.tnear = Engine::selfHitDistance;
        hit.ray.tfar = maxDistance;
        hit.ray.mask = ~0u;
        hit.ray.flags = 0;
        hit.ray.time = 0;
        hit.hit.geomID = RTC_INVALID_GEOMETRY_ID;
        rtcIntersect1(scene, &context, &hit);
        return hit.hit.geomID != RTC_INVALID_GEOMETRY_ID ? hit.ray.tfar : Engine::noHit;
    }
};

}  // namespace Bench

#endif
