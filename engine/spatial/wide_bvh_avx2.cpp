// The wide BVH's walk with 256-bit AVX2 operations: one node's eight boxes, or one 8-lane leaf,
// at once. This unit alone is compiled for AVX2 (without fused multiply-add, so every product
// and sum rounds as in the scalar triangle test); WideBvh calls it only on processors that have
// AVX2. Four-lane leaves use the same 128-bit code as the SSE2 walk.
#include <immintrin.h>

#include "engine/spatial/inline/wide_bvh_walk"

#if !defined(__AVX2__) || defined(__FMA__)
#error "this unit must be compiled with -mavx2 and without -mfma"
#endif

namespace Engine {
namespace {

struct Avx2Lanes {
    // Every per-ray value the walk reads, broadcast once; most of them live on the stack during
    // the walk, where the node test reads them as memory operands at no extra instruction.
    struct State {
        __m256 nearOrigin[3], farOrigin[3], nearInverse[3], farInverse[3];
        int32_t nearOffset[3], farOffset[3];
        __m256 ox, oy, oz, dx, dy, dz;
    };

    static State Prepare(const BvhRay& r)
    {
        State s;
        for (int a = 0; a < 3; a++) {
            s.nearOrigin[a] = _mm256_set1_ps(r.nearOrigin[a]);
            s.farOrigin[a] = _mm256_set1_ps(r.farOrigin[a]);
            s.nearInverse[a] = _mm256_set1_ps(r.nearInverse[a]);
            s.farInverse[a] = _mm256_set1_ps(r.farInverse[a]);
            s.nearOffset[a] = r.nearOffset[a];
            s.farOffset[a] = r.farOffset[a];
        }
        s.ox = _mm256_set1_ps(r.ray.origin.x);
        s.oy = _mm256_set1_ps(r.ray.origin.y);
        s.oz = _mm256_set1_ps(r.ray.origin.z);
        s.dx = _mm256_set1_ps(r.ray.direction.x);
        s.dy = _mm256_set1_ps(r.ray.direction.y);
        s.dz = _mm256_set1_ps(r.ray.direction.z);
        return s;
    }

    static uint32_t Node(const WideBvh::Node& node, const State& s, float far, uint32_t* keys)
    {
        const float* b = &node.bounds[0][0];
        const __m256 nx = _mm256_mul_ps(_mm256_sub_ps(_mm256_load_ps(b + s.nearOffset[0]), s.nearOrigin[0]), s.nearInverse[0]);
        const __m256 ny = _mm256_mul_ps(_mm256_sub_ps(_mm256_load_ps(b + s.nearOffset[1]), s.nearOrigin[1]), s.nearInverse[1]);
        const __m256 nz = _mm256_mul_ps(_mm256_sub_ps(_mm256_load_ps(b + s.nearOffset[2]), s.nearOrigin[2]), s.nearInverse[2]);
        const __m256 fx = _mm256_mul_ps(_mm256_sub_ps(_mm256_load_ps(b + s.farOffset[0]), s.farOrigin[0]), s.farInverse[0]);
        const __m256 fy = _mm256_mul_ps(_mm256_sub_ps(_mm256_load_ps(b + s.farOffset[1]), s.farOrigin[1]), s.farInverse[1]);
        const __m256 fz = _mm256_mul_ps(_mm256_sub_ps(_mm256_load_ps(b + s.farOffset[2]), s.farOrigin[2]), s.farInverse[2]);
        // The NaN rule of the SSE2 walk: max and min return the second operand for a NaN first.
        const __m256 entry = _mm256_max_ps(nx, _mm256_max_ps(ny, _mm256_max_ps(nz, _mm256_setzero_ps())));
        const __m256 exit = _mm256_min_ps(fx, _mm256_min_ps(fy, _mm256_min_ps(fz, _mm256_set1_ps(far))));
        const uint32_t mask = uint32_t(_mm256_movemask_ps(_mm256_cmp_ps(entry, exit, _CMP_LE_OQ)));
        const __m256i key = _mm256_or_si256(_mm256_and_si256(_mm256_castps_si256(entry), _mm256_set1_epi32(~7)),
                                            _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7));
        _mm256_store_si256(reinterpret_cast<__m256i*>(keys), key);
        return mask & node.validMask;
    }

    template <bool strict>
    static uint32_t Leaf(const float* rows, int32_t lanes, const State& s, uint32_t hiddenBit, float bound, float* t,
                         float* w1, float* w2)
    {
        if (lanes == 4)
            return BvhWalk::LeafQuarter<strict>(rows, 4, 0, _mm256_castps256_ps128(s.ox), _mm256_castps256_ps128(s.oy),
                                                _mm256_castps256_ps128(s.oz), _mm256_castps256_ps128(s.dx),
                                                _mm256_castps256_ps128(s.dy), _mm256_castps256_ps128(s.dz), hiddenBit,
                                                bound, t, w1, w2);
        const __m256 ox = s.ox, oy = s.oy, oz = s.oz, dx = s.dx, dy = s.dy, dz = s.dz;
        // The four-lane arithmetic, eight lanes wide.
        const __m256 p0x = _mm256_load_ps(rows), p0y = _mm256_load_ps(rows + 8), p0z = _mm256_load_ps(rows + 16);
        const __m256 e1x = _mm256_load_ps(rows + 24), e1y = _mm256_load_ps(rows + 32), e1z = _mm256_load_ps(rows + 40);
        const __m256 e2x = _mm256_load_ps(rows + 48), e2y = _mm256_load_ps(rows + 56), e2z = _mm256_load_ps(rows + 64);
        const __m256 qx = _mm256_sub_ps(_mm256_mul_ps(dy, e2z), _mm256_mul_ps(dz, e2y));
        const __m256 qy = _mm256_sub_ps(_mm256_mul_ps(dz, e2x), _mm256_mul_ps(dx, e2z));
        const __m256 qz = _mm256_sub_ps(_mm256_mul_ps(dx, e2y), _mm256_mul_ps(dy, e2x));
        const __m256 det = _mm256_add_ps(_mm256_add_ps(_mm256_mul_ps(qx, e1x), _mm256_mul_ps(qy, e1y)), _mm256_mul_ps(qz, e1z));
        const __m256 sx = _mm256_sub_ps(ox, p0x), sy = _mm256_sub_ps(oy, p0y), sz = _mm256_sub_ps(oz, p0z);
        const __m256 rx = _mm256_sub_ps(_mm256_mul_ps(sy, e1z), _mm256_mul_ps(sz, e1y));
        const __m256 ry = _mm256_sub_ps(_mm256_mul_ps(sz, e1x), _mm256_mul_ps(sx, e1z));
        const __m256 rz = _mm256_sub_ps(_mm256_mul_ps(sx, e1y), _mm256_mul_ps(sy, e1x));
        const __m256 u = _mm256_div_ps(
            _mm256_add_ps(_mm256_add_ps(_mm256_mul_ps(qx, sx), _mm256_mul_ps(qy, sy)), _mm256_mul_ps(qz, sz)), det);
        const __m256 v = _mm256_div_ps(
            _mm256_add_ps(_mm256_add_ps(_mm256_mul_ps(rx, dx), _mm256_mul_ps(ry, dy)), _mm256_mul_ps(rz, dz)), det);
        const __m256 d = _mm256_div_ps(
            _mm256_add_ps(_mm256_add_ps(_mm256_mul_ps(rx, e2x), _mm256_mul_ps(ry, e2y)), _mm256_mul_ps(rz, e2z)), det);
        const __m256 low = _mm256_set1_ps(-rayTriangleTolerance), high = _mm256_set1_ps(1 + rayTriangleTolerance);
        __m256 out = _mm256_or_ps(_mm256_cmp_ps(det, _mm256_setzero_ps(), _CMP_EQ_OQ), _mm256_cmp_ps(u, low, _CMP_LT_OQ));
        out = _mm256_or_ps(out, _mm256_cmp_ps(v, low, _CMP_LT_OQ));
        out = _mm256_or_ps(out, _mm256_cmp_ps(_mm256_add_ps(u, v), high, _CMP_GT_OQ));
        out = _mm256_or_ps(out, _mm256_cmp_ps(d, _mm256_set1_ps(noHit), _CMP_EQ_OQ));
        const __m256 boundOk = _mm256_cmp_ps(d, _mm256_set1_ps(bound), strict ? _CMP_LT_OQ : _CMP_LE_OQ);
        const __m256 keep = _mm256_and_ps(_mm256_cmp_ps(d, _mm256_set1_ps(selfHitDistance), _CMP_GT_OQ), boundOk);
        const __m256i ids = _mm256_load_si256(reinterpret_cast<const __m256i*>(rows + 72));
        const __m256i hidden = _mm256_and_si256(ids, _mm256_set1_epi32(int32_t(hiddenBit)));
        const __m256 visible = _mm256_castsi256_ps(_mm256_cmpeq_epi32(hidden, _mm256_setzero_si256()));
        const __m256 hit = _mm256_andnot_ps(out, _mm256_and_ps(keep, visible));
        _mm256_store_ps(t, d);
        _mm256_store_ps(w1, u);
        _mm256_store_ps(w2, v);
        return uint32_t(_mm256_movemask_ps(hit));
    }
};

}  // namespace

float BvhNearestAvx2(const BvhWalkData& bvh, const BvhRay& ray, int32_t mode, float best, int32_t& hitTriangle)
{
    return BvhWalk::WalkNearest<Avx2Lanes>(bvh, ray, mode, best, hitTriangle);
}

bool BvhAnyAvx2(const BvhWalkData& bvh, const BvhRay& ray, int32_t mode, float limit)
{
    return BvhWalk::WalkAny<Avx2Lanes>(bvh, ray, mode, limit);
}

}  // namespace Engine
