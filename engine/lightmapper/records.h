#pragma once

#include <cstdint>
#include <string>

#include "engine/mesh/triangle_flags.h"
#include "geom/vec.h"
#include "image/bitmap/bitmap.h"

namespace Engine {

// One accepted triangle. Every field is 32 bits wide; indices are -1 while unset.
struct LmTriangle {
    int32_t pos[3];        // welded position indices
    int32_t edge[3];       // edge k joins corner k and corner (k + 1) % 3
    int32_t nrm[3];        // vertex normal indices
    int32_t uv[3];         // texture coordinate indices
    int32_t spare[3];      // -1; free for later stages
    int32_t faceNormal;    // normal index of the unit face normal
    uint32_t projKey;      // bits 0-1 dominant axis, bit 2 negative, bits 3+ model id
    int32_t modelId;
    int32_t faceId;        // index in the input order
    int32_t page;          // atlas page, -1 until placed
    int32_t group;         // chart, -1 until grouped
    int32_t object;        // index into the object list
    uint32_t flags;        // TriangleFlag bits: the object flag word plus the bits the stages set
    int32_t smoothGroup;   // equal non-negative values are always smoothed together
    int32_t spareIndex;    // -1; free for later stages
    int32_t neighbour[3];  // triangle across each edge, -1 for none
    Geom::Vec2 lmUv[3];    // lightmap coordinates (texel coordinates while tracing)
    Geom::Vec4 tangent[3]; // per corner: direction and handedness in w
};
static_assert(sizeof(LmTriangle) == 46 * 4, "every field of LmTriangle is 32 bits wide, without padding");

// A named object: every triangle carries the index of its object.
struct LmObject {
    std::string name;
    Image::Bitmap alphaMap;  // empty until the flags file gives one
    Geom::Vec3 colour{0, 0, 0};       // non-zero makes the object emissive
    Geom::Vec3 reflectance{1, 1, 1};
};

// What kind of light a LightRecord is.
enum LightType : int32_t {
    LightPoint = 0,
    LightDirectional = 1,
    LightSpot = 2,
    LightAmbient = 3,
};

// A light of the lighting mode: sixteen 32-bit words. Positions and ranges are in world units;
// a directional light shines along `direction` and uses `range` as the length of its shadow
// rays.
struct LightRecord {
    int32_t type = LightPoint;
    Geom::Vec3 position{0, 0, 0};
    Geom::Vec3 direction{0, 0, -1};           // unit length
    Geom::Vec3 colour{1, 1, 1};
    Geom::Vec3 attenuation{1, 0, 0};          // constant, linear, quadratic: 1 / (c + l d + q d^2)
    float range = 4096;
    float spotInnerCos = 1;                   // full intensity at or above this cosine
    float spotOuterCos = 0;                   // no light below it

    static LightRecord Point(Geom::Vec3 position, Geom::Vec3 colour, float range,
                             Geom::Vec3 attenuation = {1, 0, 0});
    static LightRecord Spot(Geom::Vec3 position, Geom::Vec3 direction, Geom::Vec3 colour, float range,
                            float innerCos, float outerCos, Geom::Vec3 attenuation = {1, 0, 0});
    // Shadow rays of 4096 units unless told otherwise.
    static LightRecord Directional(Geom::Vec3 direction, Geom::Vec3 colour, float range = 4096);
    static LightRecord Ambient(Geom::Vec3 colour);
};
static_assert(sizeof(LightRecord) == 16 * 4, "a light record is sixteen 32-bit words");

// One distinct (lower position, upper position, model id). An edge remembers only the first two
// triangles that registered it; a third on a non-manifold edge points at it but is not listed.
struct LmEdge {
    int32_t lower;
    int32_t upper;
    int32_t modelId;
    int32_t triangle[2];
};

// Key of the edge map: hashed and compared as 12 raw bytes.
struct LmEdgeKey {
    int32_t lower;
    int32_t upper;
    int32_t modelId;
};

// A welded plane: unit normal and distance, with normal . p + distance = 0 on the plane.
struct LmPlane {
    Geom::Vec3 normal;
    float distance;
};

// What the mesh source hands to AddTriangle for one triangle.
struct InputTriangle {
    Geom::Vec3 positions[3];
    Geom::Vec3 normals[3];  // (0, 0, 0) when unknown
    Geom::Vec2 uvs[3];
    std::string name;       // empty for objects the flags file does not list
    uint32_t flags = 0;
    int32_t modelId = -1;
    int32_t faceId = -1;
};

}  // namespace Engine
