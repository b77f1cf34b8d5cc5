#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace Image {

// A width x height picture of 32-bit pixels 0xAARRGGBB (bytes in memory: blue, green, red,
// alpha), row-major, with a table of row pointers. Copies rebuild their own row table.
class Bitmap {
public:
    struct Row {
        uint32_t* pixels;
        int32_t width;  // the width when the table was built
    };

    Bitmap() = default;
    // Every pixel opaque black. A negative size is a programmer error.
    Bitmap(int32_t width, int32_t height);
    Bitmap(const Bitmap& other);
    Bitmap& operator=(const Bitmap& other);
    Bitmap(Bitmap&& other) noexcept;
    Bitmap& operator=(Bitmap&& other) noexcept;

    int32_t Width() const { return width; }
    int32_t Height() const { return height; }
    bool IsEmpty() const { return width == 0 || height == 0; }

    // New size keeping the overlapping top-left part; new pixels opaque black. A zero side
    // empties the bitmap. False (and no change) for a negative side.
    bool Resize(int32_t newWidth, int32_t newHeight);
    // New size without moving the store's contents: only meaningful when filled afterwards.
    bool SetSize(int32_t newWidth, int32_t newHeight);
    // Smaller or equal: only the shown size changes (rows keep their old stride); else Resize.
    bool Crop(int32_t newWidth, int32_t newHeight);
    void Fill(uint8_t red, uint8_t green, uint8_t blue, uint8_t alpha);
    void FillPixel(uint32_t pixel);
    // Sets the alpha byte of every pixel to the value clamped to 0..255.
    void SetAlpha(int32_t alpha);
    bool HasAlpha() const;
    void Swap(Bitmap& other) noexcept;

    // Copies the source rectangle at (sx, sy) to (dx, dy); negative w or h mean the source's
    // size. Clipped to both bitmaps; false only for a negative position.
    static bool Blit(Bitmap& destination, const Bitmap& source, int32_t dx, int32_t dy, int32_t sx, int32_t sy,
                     int32_t w, int32_t h);

    // Bilinear colour at pixel coordinates (x, y), pixel (i, j) sitting at (i, j); positions
    // outside the picture take the colour of the nearest edge. 0 for an empty bitmap.
    uint32_t SampleBilinear(float x, float y) const;

    // Where a bilinear sample reads: two columns and two rows, clamped into the picture, and the
    // weights of the second of each. Worked out once for a position, they serve every later
    // sample there while the pixels change (and on any bitmap of the same size).
    struct BilinearTaps {
        int32_t x0, x1, y0, y1;
        float fx, fy;
    };
    // For a bitmap that is not empty.
    BilinearTaps TapsAt(float x, float y) const;
    // The same colour as SampleBilinear at the position the taps were made for. Inline: seam
    // fixing samples in its innermost loop.
    uint32_t SampleBilinear(const BilinearTaps& taps) const
    {
        const uint32_t c00 = At(taps.x0, taps.y0);
        const uint32_t c10 = At(taps.x1, taps.y0);
        const uint32_t c01 = At(taps.x0, taps.y1);
        const uint32_t c11 = At(taps.x1, taps.y1);
        uint32_t result = 0;
        for (int shift = 0; shift < 32; shift += 8) {
            const float v00 = float((c00 >> shift) & 0xFF);
            const float v10 = float((c10 >> shift) & 0xFF);
            const float v01 = float((c01 >> shift) & 0xFF);
            const float v11 = float((c11 >> shift) & 0xFF);
            const float top = v00 + (v10 - v00) * taps.fx;
            const float bottom = v01 + (v11 - v01) * taps.fx;
            const float value = std::clamp(top + (bottom - top) * taps.fy, 0.0f, 255.0f);
            // Half away from zero, as std::round, without its library call: on a non-negative
            // value the truncation is the floor and the remainder is exact.
            uint32_t rounded = uint32_t(value);
            if (value - float(rounded) >= 0.5f)
                rounded++;
            result |= rounded << shift;
        }
        return result;
    }

    // Spreads the colour of valid pixels (alpha above threshold) into the invalid ones around
    // them, one ring per pass, for at most maxPasses passes (negative: until nothing changes).
    // Invalid pixels are zeroed first; filled pixels keep alpha 0. True if anything was filled.
    bool Bleed(int32_t threshold, int32_t maxPasses, bool eightNeighbours);

    uint32_t* RowPixels(int32_t y) { return rows[size_t(y)].pixels; }
    const uint32_t* RowPixels(int32_t y) const { return rows[size_t(y)].pixels; }
    uint32_t& At(int32_t x, int32_t y) { return rows[size_t(y)].pixels[x]; }
    uint32_t At(int32_t x, int32_t y) const { return rows[size_t(y)].pixels[x]; }

private:
    void RebuildRows();

    int32_t width = 0;
    int32_t height = 0;
    std::vector<Row> rows;
    std::vector<uint32_t> store;
};

}  // namespace Image
