#include "image/bitmap/bitmap.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <limits>
#include <random>
#include <vector>

namespace {

using Image::Bitmap;

constexpr uint32_t black = 0xFF000000u;

// Every pixel distinct and not opaque: 0x80 alpha, x in green, y in blue.
Bitmap Pattern(int32_t width, int32_t height)
{
    Bitmap bitmap(width, height);
    for (int32_t y = 0; y < height; y++) {
        for (int32_t x = 0; x < width; x++)
            bitmap.At(x, y) = 0x80000000u | uint32_t(x) << 8 | uint32_t(y);
    }
    return bitmap;
}

uint32_t PatternAt(int32_t x, int32_t y)
{
    return 0x80000000u | uint32_t(x) << 8 | uint32_t(y);
}

TEST(Bitmap, OperationsTable)
{
    const struct {
        const char* name;
        std::function<bool(Bitmap&)> operation;  // applied to a 4 x 2 pattern
        bool result;
        int32_t width, height;
        std::function<uint32_t(int32_t, int32_t)> expected;
    } cases[] = {
        {"resize 4 x 2 to 2 x 4 keeps the overlap", [](Bitmap& b) { return b.Resize(2, 4); }, true, 2, 4,
         [](int32_t x, int32_t y) { return y < 2 ? PatternAt(x, y) : black; }},
        {"resize taller adds opaque black rows", [](Bitmap& b) { return b.Resize(4, 3); }, true, 4, 3,
         [](int32_t x, int32_t y) { return y < 2 ? PatternAt(x, y) : black; }},
        {"resize wider adds opaque black columns", [](Bitmap& b) { return b.Resize(6, 2); }, true, 6, 2,
         [](int32_t x, int32_t y) { return x < 4 ? PatternAt(x, y) : black; }},
        {"resize to zero width empties", [](Bitmap& b) { return b.Resize(0, 5); }, true, 0, 0, nullptr},
        {"negative resize refused", [](Bitmap& b) { return b.Resize(-1, 2); }, false, 4, 2, PatternAt},
        {"negative set size refused", [](Bitmap& b) { return b.SetSize(2, -2); }, false, 4, 2, PatternAt},
        {"crop shows the top-left part", [](Bitmap& b) { return b.Crop(3, 1); }, true, 3, 1, PatternAt},
        {"crop then resize keeps the shown pixels", [](Bitmap& b) { return b.Crop(3, 2) && b.Resize(3, 3); }, true, 3, 3,
         [](int32_t x, int32_t y) { return y < 2 ? PatternAt(x, y) : black; }},
        {"crop larger resizes", [](Bitmap& b) { return b.Crop(5, 2); }, true, 5, 2,
         [](int32_t x, int32_t y) { return x < 4 ? PatternAt(x, y) : black; }},
        {"set alpha 300 clamps to 255", [](Bitmap& b) { b.SetAlpha(300); return true; }, true, 4, 2,
         [](int32_t x, int32_t y) { return (PatternAt(x, y) & 0xFFFFFF) | 0xFF000000u; }},
        {"set alpha -4 clamps to 0", [](Bitmap& b) { b.SetAlpha(-4); return true; }, true, 4, 2,
         [](int32_t x, int32_t y) { return PatternAt(x, y) & 0xFFFFFF; }},
        {"fill with equal bytes", [](Bitmap& b) { b.Fill(7, 7, 7, 7); return true; }, true, 4, 2,
         [](int32_t, int32_t) { return 0x07070707u; }},
        {"fill orders red green blue alpha", [](Bitmap& b) { b.Fill(1, 2, 3, 4); return true; }, true, 4, 2,
         [](int32_t, int32_t) { return 0x04010203u; }},
        {"copy keeps the pixels", [](Bitmap& b) { Bitmap c(b); b = Bitmap(); b = c; return true; }, true, 4, 2, PatternAt},
        {"copy of a crop is its own picture",
         [](Bitmap& b) { b.Crop(2, 2); Bitmap c(b); b = Bitmap(); b.Swap(c); return b.Resize(2, 3); }, true, 2, 3,
         [](int32_t x, int32_t y) { return y < 2 ? PatternAt(x, y) : black; }},
    };
    for (const auto& c : cases) {
        Bitmap bitmap = Pattern(4, 2);
        EXPECT_EQ(c.operation(bitmap), c.result) << c.name;
        ASSERT_EQ(bitmap.Width(), c.width) << c.name;
        ASSERT_EQ(bitmap.Height(), c.height) << c.name;
        for (int32_t y = 0; y < c.height; y++) {
            for (int32_t x = 0; x < c.width; x++)
                EXPECT_EQ(bitmap.At(x, y), c.expected(x, y)) << c.name << " at " << x << ", " << y;
        }
    }
}

TEST(Bitmap, HasAlpha)
{
    EXPECT_FALSE(Bitmap().HasAlpha());
    Bitmap bitmap(3, 3);
    EXPECT_FALSE(bitmap.HasAlpha());
    bitmap.At(2, 2) = 0xFE000000u;
    EXPECT_TRUE(bitmap.HasAlpha());
    bitmap.Crop(2, 2);  // the translucent pixel is no longer shown
    EXPECT_FALSE(bitmap.HasAlpha());
}

// Reference: copy pixel by pixel with every bound checked separately.
void NaiveBlit(Bitmap& destination, const Bitmap& source, int32_t dx, int32_t dy, int32_t sx, int32_t sy, int32_t w,
               int32_t h)
{
    if (w < 0)
        w = source.Width();
    if (h < 0)
        h = source.Height();
    for (int32_t y = 0; y < h; y++) {
        for (int32_t x = 0; x < w; x++) {
            if (sx + x < source.Width() && sy + y < source.Height() && dx + x < destination.Width() &&
                dy + y < destination.Height())
                destination.At(dx + x, dy + y) = source.At(sx + x, sy + y);
        }
    }
}

TEST(Bitmap, BlitClipsToBothBitmaps)
{
    const struct {
        int32_t sourceW, sourceH, destW, destH, dx, dy, sx, sy, w, h;
        bool result;
    } cases[] = {
        {10, 10, 8, 8, 5, 5, 0, 0, -1, -1, true},  // 3 x 3 block reaches the destination corner
        {10, 10, 8, 8, 0, 0, 0, 0, -1, -1, true},  // clipped by the destination
        {3, 4, 8, 8, 2, 1, 0, 0, -1, -1, true},    // whole source inside
        {6, 6, 8, 8, 1, 2, 4, 3, 5, 5, true},      // clipped by the source
        {6, 6, 8, 8, 1, 1, 1, 1, 2, -1, true},     // negative height means the source height
        {6, 6, 8, 8, 0, 0, 6, 0, -1, -1, true},    // source x at the edge: nothing, still true
        {6, 6, 8, 8, 8, 0, 0, 0, -1, -1, true},    // destination x at the edge: nothing
        {6, 6, 8, 8, 0, 0, 0, 0, 0, 3, true},      // zero width
        {6, 6, 8, 8, -1, 0, 0, 0, 2, 2, false},
        {6, 6, 8, 8, 0, -1, 0, 0, 2, 2, false},
        {6, 6, 8, 8, 0, 0, -1, 0, 2, 2, false},
        {6, 6, 8, 8, 0, 0, 0, -1, 2, 2, false},
    };
    for (const auto& c : cases) {
        Bitmap source = Pattern(c.sourceW, c.sourceH);
        Bitmap destination(c.destW, c.destH);
        Bitmap expected(c.destW, c.destH);
        if (c.result)
            NaiveBlit(expected, source, c.dx, c.dy, c.sx, c.sy, c.w, c.h);
        EXPECT_EQ(Bitmap::Blit(destination, source, c.dx, c.dy, c.sx, c.sy, c.w, c.h), c.result)
            << c.dx << "," << c.dy << " from " << c.sx << "," << c.sy;
        for (int32_t y = 0; y < c.destH; y++) {
            for (int32_t x = 0; x < c.destW; x++)
                EXPECT_EQ(destination.At(x, y), expected.At(x, y))
                    << "blit to " << c.dx << "," << c.dy << " from " << c.sx << "," << c.sy << " at " << x << "," << y;
        }
    }
    // The first case copies exactly 3 x 3 pixels.
    Bitmap destination(8, 8);
    ASSERT_TRUE(Bitmap::Blit(destination, Pattern(10, 10), 5, 5, 0, 0, -1, -1));
    int32_t copied = 0;
    for (int32_t y = 0; y < 8; y++) {
        for (int32_t x = 0; x < 8; x++)
            copied += destination.At(x, y) != black;
    }
    EXPECT_EQ(copied, 9);
}

TEST(Bitmap, SampleBilinear)
{
    Bitmap bitmap(2, 2);
    bitmap.At(0, 0) = 0x00000000u;
    bitmap.At(1, 0) = 0x01FF0A64u;  // alpha 1, red 255, green 10, blue 100
    bitmap.At(0, 1) = 0x03000000u;
    bitmap.At(1, 1) = 0x05FF0A64u;
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const struct {
        float x, y;
        uint32_t expected;
    } cases[] = {
        {0, 0, 0x00000000u},
        {1, 0, 0x01FF0A64u},
        {1, 1, 0x05FF0A64u},
        {0.5f, 0, 0x01800532u},    // 0.5 rounds up (alpha), 127.5 -> 128, 5, 50
        {0.25f, 0, 0x00400319u},   // alpha 0.25 -> 0, red 63.75 -> 64, green 2.5 -> 3, blue 25
        {0.5f, 0.5f, 0x02800532u}, // alpha (0 + 1 + 3 + 5) / 4 = 2.25 -> 2
        {-3, 0, 0x00000000u},      // left of the picture: edge pixel
        {-0.5f, 0, 0x00000000u},   // just left of pixel 0 clamps, it does not extrapolate
        {7, 9, 0x05FF0A64u},
        {1e30f, -1e30f, 0x01FF0A64u},
        {nan, nan, 0x00000000u},
    };
    for (const auto& c : cases)
        EXPECT_EQ(bitmap.SampleBilinear(c.x, c.y), c.expected) << std::hex << c.x << ", " << c.y;
    EXPECT_EQ(Bitmap().SampleBilinear(0, 0), 0u);
}

// The plain form of a bilinear sample: floor, clamp, interpolate, std::round per channel.
uint32_t ReferenceBilinear(const Bitmap& bitmap, float x, float y)
{
    x = x >= -1.0f ? std::min(x, float(bitmap.Width())) : -1.0f;
    y = y >= -1.0f ? std::min(y, float(bitmap.Height())) : -1.0f;
    const float fx = x - std::floor(x), fy = y - std::floor(y);
    const int32_t x0 = int32_t(std::floor(x)), y0 = int32_t(std::floor(y));
    auto at = [&](int32_t i, int32_t j) {
        return bitmap.At(std::clamp(i, 0, bitmap.Width() - 1), std::clamp(j, 0, bitmap.Height() - 1));
    };
    uint32_t result = 0;
    for (int shift = 0; shift < 32; shift += 8) {
        const float v00 = float((at(x0, y0) >> shift) & 0xFF), v10 = float((at(x0 + 1, y0) >> shift) & 0xFF);
        const float v01 = float((at(x0, y0 + 1) >> shift) & 0xFF), v11 = float((at(x0 + 1, y0 + 1) >> shift) & 0xFF);
        const float top = v00 + (v10 - v00) * fx, bottom = v01 + (v11 - v01) * fx;
        result |= uint32_t(std::clamp(std::round(top + (bottom - top) * fy), 0.0f, 255.0f)) << shift;
    }
    return result;
}

TEST(Bitmap, SampleBilinearMatchesThePlainFormAndTapsServeLaterPixels)
{
    std::mt19937 random(7);
    Bitmap first(13, 7), second(13, 7);
    for (Bitmap* bitmap : {&first, &second})
        for (int32_t y = 0; y < 7; y++)
            for (int32_t x = 0; x < 13; x++)
                bitmap->At(x, y) = uint32_t(random());
    // Quarters and halves hit the rounding ties; the rest lands anywhere, also off the picture.
    std::uniform_real_distribution<float> anywhere(-3.0f, 16.0f);
    std::uniform_int_distribution<int> quarters(-8, 60);
    for (int i = 0; i < 20000; i++) {
        const bool ties = i % 2 == 0;
        const float x = ties ? float(quarters(random)) * 0.25f : anywhere(random);
        const float y = ties ? float(quarters(random) % 32) * 0.25f : anywhere(random) * 0.5f;
        ASSERT_EQ(first.SampleBilinear(x, y), ReferenceBilinear(first, x, y)) << x << ", " << y;
        const Bitmap::BilinearTaps taps = first.TapsAt(x, y);
        ASSERT_EQ(second.SampleBilinear(taps), ReferenceBilinear(second, x, y)) << x << ", " << y;
    }
}

// Pixels for the bleed fixtures: V is a valid colour, o an invalid pixel holding garbage.
constexpr uint32_t o = 0x00ABCDEFu;

struct BleedCase {
    const char* name;
    int32_t width, height;
    std::vector<uint32_t> pixels;
    int32_t threshold, passes;
    bool eight;
    bool result;
    std::vector<uint32_t> expected;
};

TEST(Bitmap, BleedGrowsOneRingPerPass)
{
    constexpr uint32_t V = 0xFF906030u;  // red 144, green 96, blue 48
    constexpr uint32_t F = 0x00906030u;  // V's colour filled in, alpha 0
    constexpr uint32_t W = 0xFF1E0000u;  // red 30
    const BleedCase cases[] = {
        {"one pass fills only the first ring", 5, 5,
         {o, o, o, o, o,
          o, o, o, o, o,
          o, o, V, o, o,
          o, o, o, o, o,
          o, o, o, o, o}, 0, 1, true, true,
         {0, 0, 0, 0, 0,
          0, F, F, F, 0,
          0, F, V, F, 0,
          0, F, F, F, 0,
          0, 0, 0, 0, 0}},
        {"two passes fill two rings", 5, 5,
         {o, o, o, o, o,
          o, o, o, o, o,
          o, o, V, o, o,
          o, o, o, o, o,
          o, o, o, o, o}, 0, 2, true, true,
         {F, F, F, F, F,
          F, F, F, F, F,
          F, F, V, F, F,
          F, F, F, F, F,
          F, F, F, F, F}},
        // Pixel 2 has no valid neighbour until pass 1 ends; filling it in pass 1 would mean the
        // pass saw its own results.
        {"fills of a pass are not used in the same pass", 5, 1, {0xFF5A0000u, o, o, o, W}, 0, 1, true, true,
         {0xFF5A0000u, 0x005A0000u, 0, 0x001E0000u, W}},
        {"second pass averages the first ring, truncating", 5, 1, {0xFF5B0000u, o, o, o, W}, 0, 2, true, true,
         {0xFF5B0000u, 0x005B0000u, 0x003C0000u, 0x001E0000u, W}},
        {"four neighbours skip the diagonal in pass 1", 3, 3,
         {V, o, o,
          o, o, o,
          o, o, o}, 0, 1, false, true,
         {V, F, 0,
          F, 0, 0,
          0, 0, 0}},
        // A diagonal-only pixel must stay a candidate, or it would never be filled.
        {"four neighbours fill the diagonal in pass 2", 3, 3,
         {V, o, o,
          o, o, o,
          o, o, o}, 0, 2, false, true,
         {V, F, F,
          F, F, 0,
          F, 0, 0}},
        {"unlimited passes fill everything", 3, 3,
         {V, o, o,
          o, o, o,
          o, o, o}, 0, -1, false, true,
         {V, F, F,
          F, F, F,
          F, F, F}},
        {"alpha at the threshold is invalid", 3, 1, {0x80102030u, 0x81405060u, 0x7F000000u}, 0x80, 1, true, true,
         {0x00405060u, 0x81405060u, 0x00405060u}},
        {"zero passes only clear", 3, 1, {V, o, o}, 0, 0, true, false, {V, 0, 0}},
        {"nothing valid", 2, 1, {o, o}, 0, -1, true, false, {0, 0}},
        {"everything valid", 2, 1, {V, W}, 0, -1, true, false, {V, W}},
    };
    for (const auto& c : cases) {
        Bitmap bitmap(c.width, c.height);
        for (int32_t i = 0; i < c.width * c.height; i++)
            bitmap.At(i % c.width, i / c.width) = c.pixels[size_t(i)];
        EXPECT_EQ(bitmap.Bleed(c.threshold, c.passes, c.eight), c.result) << c.name;
        for (int32_t i = 0; i < c.width * c.height; i++)
            EXPECT_EQ(bitmap.At(i % c.width, i / c.width), c.expected[size_t(i)])
                << c.name << " at " << i % c.width << ", " << i / c.width;
    }
}

TEST(Bitmap, BleedAveragesEightNeighbours)
{
    // The centre sees red 10, 20, 30 and 43 (sum 103, truncated average 25) and blue 0, 1, 1, 1.
    Bitmap bitmap(3, 3);
    const uint32_t pixels[9] = {0xFF0A0000u, o, 0xFF140001u, o, o, o, 0xFF1E0001u, o, 0xFF2B0001u};
    for (int32_t i = 0; i < 9; i++)
        bitmap.At(i % 3, i / 3) = pixels[i];
    EXPECT_TRUE(bitmap.Bleed(0, 1, true));
    EXPECT_EQ(bitmap.At(1, 1), 0x00190000u);
    EXPECT_EQ(bitmap.At(1, 0), 0x000F0000u);  // (10 + 20) / 2 = 15, blue (0 + 1) / 2 = 0
}

}  // namespace
