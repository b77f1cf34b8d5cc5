// The wide BVH's walk with 128-bit SSE2 operations, which every x86-64 processor has: each
// 8-wide node and 8-lane leaf is handled as two halves.
#include <emmintrin.h>

#include "engine/spatial/inline/wide_bvh_walk"

namespace Engine {
namespace {

struct Sse2Lanes {
    struct State {
        __m128 nearOrigin[3], farOrigin[3], nearInverse[3], farInverse[3];
        int32_t nearOffset[3], farOffset[3];
        __m128 ox, oy, oz, dx, dy, dz;
    };

    static State Prepare(const BvhRay& r)
    {
        State s;
        for (int a = 0; a < 3; a++) {
            s.nearOrigin[a] = _mm_set1_ps(r.nearOrigin[a]);
            s.farOrigin[a] = _mm_set1_ps(r.farOrigin[a]);
            s.nearInverse[a] = _mm_set1_ps(r.nearInverse[a]);
            s.farInverse[a] = _mm_set1_ps(r.farInverse[a]);
            s.nearOffset[a] = r.nearOffset[a];
            s.farOffset[a] = r.farOffset[a];
        }
        s.ox = _mm_set1_ps(r.ray.origin.x);
        s.oy = _mm_set1_ps(r.ray.origin.y);
        s.oz = _mm_set1_ps(r.ray.origin.z);
        s.dx = _mm_set1_ps(r.ray.direction.x);
        s.dy = _mm_set1_ps(r.ray.direction.y);
        s.dz = _mm_set1_ps(r.ray.direction.z);
        return s;
    }

    static uint32_t Node(const WideBvh::Node& node, const State& s, float far, uint32_t* keys)
    {
        const __m128 farBound = _mm_set1_ps(far);
        uint32_t mask = 0;
        for (int32_t half = 0; half < 2; half++) {
            const float* b = &node.bounds[0][0] + 4 * half;
            const __m128 nx = _mm_mul_ps(_mm_sub_ps(_mm_load_ps(b + s.nearOffset[0]), s.nearOrigin[0]), s.nearInverse[0]);
            const __m128 ny = _mm_mul_ps(_mm_sub_ps(_mm_load_ps(b + s.nearOffset[1]), s.nearOrigin[1]), s.nearInverse[1]);
            const __m128 nz = _mm_mul_ps(_mm_sub_ps(_mm_load_ps(b + s.nearOffset[2]), s.nearOrigin[2]), s.nearInverse[2]);
            const __m128 fx = _mm_mul_ps(_mm_sub_ps(_mm_load_ps(b + s.farOffset[0]), s.farOrigin[0]), s.farInverse[0]);
            const __m128 fy = _mm_mul_ps(_mm_sub_ps(_mm_load_ps(b + s.farOffset[1]), s.farOrigin[1]), s.farInverse[1]);
            const __m128 fz = _mm_mul_ps(_mm_sub_ps(_mm_load_ps(b + s.farOffset[2]), s.farOrigin[2]), s.farInverse[2]);
            // A slab distance is NaN where the origin lies on a bound of an axis the ray does not
            // move along; max and min return their second operand for a NaN first one, so such an
            // axis drops out (the ray stays on the face: inside).
            const __m128 entry = _mm_max_ps(nx, _mm_max_ps(ny, _mm_max_ps(nz, _mm_setzero_ps())));
            const __m128 exit = _mm_min_ps(fx, _mm_min_ps(fy, _mm_min_ps(fz, farBound)));
            mask |= uint32_t(_mm_movemask_ps(_mm_cmple_ps(entry, exit))) << (4 * half);
            const __m128i key = _mm_or_si128(_mm_and_si128(_mm_castps_si128(entry), _mm_set1_epi32(~7)),
                                             _mm_setr_epi32(4 * half, 4 * half + 1, 4 * half + 2, 4 * half + 3));
            _mm_store_si128(reinterpret_cast<__m128i*>(keys + 4 * half), key);
        }
        return mask & node.validMask;
    }

    template <bool strict>
    static uint32_t Leaf(const float* rows, int32_t lanes, const State& s, uint32_t hiddenBit, float bound, float* t,
                         float* w1, float* w2)
    {
        uint32_t mask = 0;
        for (int32_t first = 0; first < lanes; first += 4)
            mask |= BvhWalk::LeafQuarter<strict>(rows, lanes, first, s.ox, s.oy, s.oz, s.dx, s.dy, s.dz, hiddenBit,
                                                 bound, t, w1, w2);
        return mask;
    }
};

}  // namespace

float BvhNearestSse2(const BvhWalkData& bvh, const BvhRay& ray, int32_t mode, float best, int32_t& hitTriangle)
{
    return BvhWalk::WalkNearest<Sse2Lanes>(bvh, ray, mode, best, hitTriangle);
}

bool BvhAnySse2(const BvhWalkData& bvh, const BvhRay& ray, int32_t mode, float limit)
{
    return BvhWalk::WalkAny<Sse2Lanes>(bvh, ray, mode, limit);
}

}  // namespace Engine
