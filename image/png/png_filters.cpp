#include "image/png/png_filters.h"

#include <cstdlib>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace Image {
namespace {

uint8_t PaethPredictor(int32_t a, int32_t b, int32_t c)
{
    int32_t pa = std::abs(b - c);
    int32_t pb = std::abs(a - c);
    int32_t pc = std::abs(a + b - 2 * c);
    if (pa <= pb && pa <= pc)
        return uint8_t(a);
    return uint8_t(pb <= pc ? b : c);
}

// The bytes left of the first pixel and above the first row count as zero.
void UnfilterPlain(uint8_t type, uint8_t* row, const uint8_t* prior, size_t length, size_t bpp)
{
    for (size_t i = 0; i < length; i++) {
        int32_t a = i >= bpp ? row[i - bpp] : 0;
        int32_t b = prior ? prior[i] : 0;
        int32_t c = prior && i >= bpp ? prior[i - bpp] : 0;
        switch (type) {
        case 1: row[i] = uint8_t(row[i] + a); break;
        case 2: row[i] = uint8_t(row[i] + b); break;
        case 3: row[i] = uint8_t(row[i] + ((a + b) >> 1)); break;
        case 4: row[i] = uint8_t(row[i] + PaethPredictor(a, b, c)); break;
        default: break;
        }
    }
}

// Sub, Average and Paeth carry a dependency from each pixel to the next, so the plain loops run
// one byte per step; for three and four bytes a pixel the whole pixel is done in one step in
// 16-bit lanes, which is where nearly all images spend their time.
#if defined(__SSE2__)
// Whole pixels move as four bytes. A three-byte pixel then carries the next pixel's first byte
// along: the predictor's fourth byte is masked to zero so that byte is stored back unchanged.
// Only the last pixel of a row, which has no byte after it, moves exactly three bytes.
__m128i Load4(const uint8_t* p)
{
    int32_t v;
    std::memcpy(&v, p, 4);
    return _mm_cvtsi32_si128(v);
}

void Store4(uint8_t* p, __m128i v)
{
    int32_t w = _mm_cvtsi128_si32(v);
    std::memcpy(p, &w, 4);
}

__m128i Load3(const uint8_t* p)
{
    int32_t v = 0;
    std::memcpy(&v, p, 3);
    return _mm_cvtsi32_si128(v);
}

void Store3(uint8_t* p, __m128i v)
{
    int32_t w = _mm_cvtsi128_si32(v);
    std::memcpy(p, &w, 3);
}

template <size_t bpp>
__m128i PixelMask()
{
    return _mm_cvtsi32_si128(bpp == 4 ? -1 : 0x00FFFFFF);
}

// Undoes one filter over a row, pixel by pixel: step(above) gives the pixel's predictor from the
// pixel above and the neighbours the step keeps; Done(x) hands it the unfiltered pixel.
template <size_t bpp, class Step>
void ForEachPixel(uint8_t* row, const uint8_t* prior, size_t length, Step step)
{
    const __m128i mask = PixelMask<bpp>();
    size_t i = 0;
    for (; i + 4 <= length; i += bpp) {
        __m128i above = prior ? Load4(prior + i) : _mm_setzero_si128();
        __m128i x = _mm_add_epi8(Load4(row + i), _mm_and_si128(step(above), mask));
        Store4(row + i, x);
        step.Done(x);
    }
    if (i < length) {
        __m128i above = prior ? Load3(prior + i) : _mm_setzero_si128();
        __m128i x = _mm_add_epi8(Load3(row + i), _mm_and_si128(step(above), mask));
        Store3(row + i, x);
    }
}

struct SubStep {
    __m128i a = _mm_setzero_si128();
    __m128i operator()(__m128i) const { return a; }
    void Done(__m128i x) { a = x; }
};

struct AverageStep {
    __m128i a = _mm_setzero_si128();
    __m128i operator()(__m128i b) const
    {
        // The byte average rounds up; taking back the low bit of a ^ b makes it round down.
        return _mm_sub_epi8(_mm_avg_epu8(a, b), _mm_and_si128(_mm_xor_si128(a, b), _mm_set1_epi8(1)));
    }
    void Done(__m128i x) { a = x; }
};

__m128i Abs16(__m128i v)
{
    return _mm_max_epi16(v, _mm_sub_epi16(_mm_setzero_si128(), v));
}

// Left (a) and upper-left (c) in 16-bit lanes; the pixel above (b) comes in.
struct PaethStep {
    __m128i a = _mm_setzero_si128(), b = _mm_setzero_si128(), c = _mm_setzero_si128();
    __m128i operator()(__m128i above)
    {
        const __m128i zero = _mm_setzero_si128();
        b = _mm_unpacklo_epi8(above, zero);
        __m128i bc = _mm_sub_epi16(b, c);
        __m128i ac = _mm_sub_epi16(a, c);
        __m128i pa = Abs16(bc);
        __m128i pb = Abs16(ac);
        __m128i pc = Abs16(_mm_add_epi16(bc, ac));
        __m128i smallest = _mm_min_epi16(pc, _mm_min_epi16(pa, pb));
        // a when pa is smallest, else b when pb is, else c: the predictor's order of ties.
        __m128i pickA = _mm_cmpeq_epi16(smallest, pa);
        __m128i pickB = _mm_andnot_si128(pickA, _mm_cmpeq_epi16(smallest, pb));
        __m128i pickC = _mm_andnot_si128(_mm_or_si128(pickA, pickB), _mm_set1_epi16(-1));
        __m128i predictor = _mm_or_si128(_mm_or_si128(_mm_and_si128(pickA, a), _mm_and_si128(pickB, b)),
                                         _mm_and_si128(pickC, c));
        return _mm_packus_epi16(predictor, zero);
    }
    void Done(__m128i x)
    {
        a = _mm_unpacklo_epi8(x, _mm_setzero_si128());
        c = b;
    }
};

template <size_t bpp>
bool UnfilterWholePixels(uint8_t type, uint8_t* row, const uint8_t* prior, size_t length)
{
    switch (type) {
    case 1: ForEachPixel<bpp>(row, nullptr, length, SubStep{}); return true;
    case 3: ForEachPixel<bpp>(row, prior, length, AverageStep{}); return true;
    case 4: ForEachPixel<bpp>(row, prior, length, PaethStep{}); return true;
    default: return false;
    }
}

bool UnfilterPixels(uint8_t type, uint8_t* row, const uint8_t* prior, size_t length, size_t bpp)
{
    if (bpp == 3)
        return UnfilterWholePixels<3>(type, row, prior, length);
    if (bpp == 4)
        return UnfilterWholePixels<4>(type, row, prior, length);
    return false;
}
#else
bool UnfilterPixels(uint8_t, uint8_t*, const uint8_t*, size_t, size_t)
{
    return false;
}
#endif

}  // namespace

bool UnfilterRowPlain(uint8_t type, uint8_t* row, const uint8_t* prior, size_t length, size_t bytesPerPixel)
{
    if (type > 4)
        return false;
    UnfilterPlain(type, row, prior, length, bytesPerPixel);
    return true;
}

bool UnfilterRow(uint8_t type, uint8_t* row, const uint8_t* prior, size_t length, size_t bytesPerPixel)
{
    size_t bpp = bytesPerPixel;
    switch (type) {
    case 0:
        return true;
    case 1:
        if (UnfilterPixels(type, row, prior, length, bpp))
            return true;
        for (size_t i = bpp; i < length; i++)
            row[i] = uint8_t(row[i] + row[i - bpp]);
        return true;
    case 2:
        if (prior) {
            for (size_t i = 0; i < length; i++)
                row[i] = uint8_t(row[i] + prior[i]);
        }
        return true;
    case 3:
        if (!prior) {
            // Above the first row is zero: half the left byte.
            for (size_t i = bpp; i < length; i++)
                row[i] = uint8_t(row[i] + (row[i - bpp] >> 1));
            return true;
        }
        if (UnfilterPixels(type, row, prior, length, bpp))
            return true;
        for (size_t i = 0; i < bpp && i < length; i++)
            row[i] = uint8_t(row[i] + (prior[i] >> 1));
        for (size_t i = bpp; i < length; i++)
            row[i] = uint8_t(row[i] + ((row[i - bpp] + prior[i]) >> 1));
        return true;
    case 4:
        if (!prior) {
            // With zeros above, the predictor is always the left byte: Sub.
            for (size_t i = bpp; i < length; i++)
                row[i] = uint8_t(row[i] + row[i - bpp]);
            return true;
        }
        if (UnfilterPixels(type, row, prior, length, bpp))
            return true;
        for (size_t i = 0; i < bpp && i < length; i++)
            row[i] = uint8_t(row[i] + prior[i]);
        for (size_t i = bpp; i < length; i++)
            row[i] = uint8_t(row[i] + PaethPredictor(row[i - bpp], prior[i], prior[i - bpp]));
        return true;
    default:
        return false;
    }
}

}  // namespace Image
