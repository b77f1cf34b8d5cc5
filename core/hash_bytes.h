#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace Core {

namespace HashBytesDetail {

constexpr uint32_t mixA = 0xDB91908D;
constexpr uint32_t mixB = 0x6BE5BE6F;
constexpr uint32_t salt = 0x53A28FC9;

inline uint32_t MixWord(uint32_t h, uint32_t k)
{
    k = std::rotr(k * mixA, 17);
    k = (k * mixB) ^ salt;
    return std::rotr(h - k, 16) * 3;
}

inline uint32_t LittleEndianWord(const uint8_t* p)
{
    uint32_t word;
    std::memcpy(&word, p, 4);
    if constexpr (std::endian::native == std::endian::big)
        word = (word >> 24) | ((word >> 8) & 0xFF00) | ((word << 8) & 0xFF0000) | (word << 24);
    return word;
}

}  // namespace HashBytesDetail

// Deterministic 32-bit hash of a byte string; no per-process seed, so map iteration and every
// result that depends on it are the same on every run. Inline so that a key of fixed size hashes
// as a few straight-line word mixes: hash maps spend a good part of each lookup here.
inline uint32_t HashBytes(const void* bytes, size_t length, uint32_t seed)
{
    using namespace HashBytesDetail;
    const uint8_t* p = static_cast<const uint8_t*>(bytes);
    uint32_t h = seed ^ salt;
    size_t words = length / 4;
    for (size_t i = 0; i < words; i++, p += 4)
        h = MixWord(h, LittleEndianWord(p));

    size_t tail = length & 3;
    if (tail != 0) {
        uint32_t t = 0;
        for (size_t i = 0; i < tail; i++)
            t |= uint32_t(p[i]) << (8 * i);
        t ^= uint32_t(tail) * salt;
        h = MixWord(h, t);
    }

    h ^= h >> 15;
    h *= mixA;
    h ^= h >> 16;
    h *= mixB;
    h ^= h >> 17;
    return h;
}

}  // namespace Core
