#include "core/hash_bytes.h"

#include <cstring>

namespace Core {
namespace {

constexpr uint32_t kMixA = 0xDB91908D;
constexpr uint32_t kMixB = 0x6BE5BE6F;
constexpr uint32_t kSalt = 0x53A28FC9;

inline uint32_t RotateRight(uint32_t x, int n) { return (x >> n) | (x << (32 - n)); }

inline uint32_t MixWord(uint32_t h, uint32_t k)
{
    k = RotateRight(k * kMixA, 17);
    k = (k * kMixB) ^ kSalt;
    return RotateRight(h - k, 16) * 3;
}

}  // namespace

uint32_t HashBytes(const void* bytes, size_t length, uint32_t seed)
{
    const uint8_t* p = static_cast<const uint8_t*>(bytes);
    uint32_t h = seed ^ kSalt;
    size_t words = length / 4;
    for (size_t i = 0; i < words; i++, p += 4)
        h = MixWord(h, uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24);

    size_t tail = length & 3;
    if (tail != 0) {
        uint32_t t = 0;
        for (size_t i = 0; i < tail; i++)
            t |= uint32_t(p[i]) << (8 * i);
        t ^= uint32_t(tail) * kSalt;
        h = MixWord(h, t);
    }

    h ^= h >> 15;
    h *= kMixA;
    h ^= h >> 16;
    h *= kMixB;
    h ^= h >> 17;
    return h;
}

}  // namespace Core
