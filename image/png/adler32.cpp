#include "image/png/adler32.h"

namespace Image {
namespace {

constexpr uint32_t modulus = 65521;
// The largest n for which 255 n (n + 1) / 2 + (n + 1)(modulus - 1) fits in 32 bits: the sums
// can run that many bytes before the modulo is needed.
constexpr size_t deferredBytes = 5552;

}  // namespace

uint32_t Adler32(const void* bytes, size_t length, uint32_t previous)
{
    const uint8_t* p = static_cast<const uint8_t*>(bytes);
    uint32_t a = previous & 0xFFFF;
    uint32_t b = previous >> 16;
    while (length > 0) {
        size_t n = length < deferredBytes ? length : deferredBytes;
        length -= n;
        for (; n >= 4; n -= 4, p += 4) {
            a += p[0];
            b += a;
            a += p[1];
            b += a;
            a += p[2];
            b += a;
            a += p[3];
            b += a;
        }
        for (; n > 0; n--, p++) {
            a += *p;
            b += a;
        }
        a %= modulus;
        b %= modulus;
    }
    return b << 16 | a;
}

}  // namespace Image
