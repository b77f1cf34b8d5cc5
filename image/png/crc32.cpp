#include "image/png/crc32.h"

#include <array>

namespace Image {
namespace {

// tables[0] is the classic byte table; tables[k][b] is the CRC of byte b followed by k zero
// bytes, which lets the loop fold four bytes with four independent lookups.
struct CrcTables {
    std::array<std::array<uint32_t, 256>, 4> t;

    constexpr CrcTables() : t()
    {
        for (uint32_t n = 0; n < 256; n++) {
            uint32_t c = n;
            for (int k = 0; k < 8; k++)
                c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
            t[0][n] = c;
        }
        for (uint32_t n = 0; n < 256; n++) {
            for (int k = 1; k < 4; k++)
                t[k][n] = t[0][t[k - 1][n] & 0xFF] ^ (t[k - 1][n] >> 8);
        }
    }
};

constexpr CrcTables tables;

}  // namespace

uint32_t Crc32(const void* bytes, size_t length, uint32_t previous)
{
    const uint8_t* p = static_cast<const uint8_t*>(bytes);
    const auto& t = tables.t;
    uint32_t c = ~previous;
    for (; length >= 4; length -= 4, p += 4) {
        // Bytes are combined explicitly, so the result does not depend on the machine's byte order.
        c ^= uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
        c = t[3][c & 0xFF] ^ t[2][(c >> 8) & 0xFF] ^ t[1][(c >> 16) & 0xFF] ^ t[0][c >> 24];
    }
    for (; length > 0; length--, p++)
        c = t[0][(c ^ *p) & 0xFF] ^ (c >> 8);
    return ~c;
}

}  // namespace Image
