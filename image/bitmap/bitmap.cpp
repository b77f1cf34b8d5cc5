#include "image/bitmap/bitmap.h"

#include <algorithm>
#include <cassert>
#include <climits>
#include <cmath>
#include <cstring>
#include <utility>

namespace Image {
namespace {

constexpr uint32_t opaqueBlack = 0xFF000000u;

}  // namespace

Bitmap::Bitmap(int32_t w, int32_t h)
{
    bool resized = Resize(w, h);
    assert(resized && "Resize(nw, nh)");
    (void)resized;
}

Bitmap::Bitmap(const Bitmap& other) : width(other.width), height(other.height)
{
    store.resize(size_t(width) * size_t(height));
    for (int32_t y = 0; y < height; y++)
        std::memcpy(store.data() + size_t(y) * size_t(width), other.RowPixels(y), size_t(width) * 4);
    RebuildRows();
}

Bitmap& Bitmap::operator=(const Bitmap& other)
{
    if (this != &other) {
        Bitmap copy(other);
        Swap(copy);
    }
    return *this;
}

Bitmap::Bitmap(Bitmap&& other) noexcept
{
    Swap(other);
}

Bitmap& Bitmap::operator=(Bitmap&& other) noexcept
{
    if (this != &other) {
        Bitmap empty;
        Swap(empty);
        Swap(other);
    }
    return *this;
}

bool Bitmap::Resize(int32_t newWidth, int32_t newHeight)
{
    if (newWidth < 0 || newHeight < 0)
        return false;
    if (newWidth == width && newHeight == height)
        return true;
    if (newWidth == 0 || newHeight == 0) {
        width = height = 0;
        store.clear();
        rows.clear();
        return true;
    }
    std::vector<uint32_t> resized(size_t(newWidth) * size_t(newHeight), opaqueBlack);
    int32_t keepWidth = std::min(width, newWidth);
    int32_t keepHeight = std::min(height, newHeight);
    for (int32_t y = 0; y < keepHeight; y++)
        std::memcpy(resized.data() + size_t(y) * size_t(newWidth), RowPixels(y), size_t(keepWidth) * 4);
    store.swap(resized);
    width = newWidth;
    height = newHeight;
    RebuildRows();
    return true;
}

bool Bitmap::SetSize(int32_t newWidth, int32_t newHeight)
{
    if (newWidth < 0 || newHeight < 0)
        return false;
    width = newWidth;
    height = newHeight;
    store.resize(size_t(width) * size_t(height));
    RebuildRows();
    return true;
}

bool Bitmap::Crop(int32_t newWidth, int32_t newHeight)
{
    if (newWidth >= 0 && newHeight >= 0 && newWidth <= width && newHeight <= height) {
        width = newWidth;
        height = newHeight;
        return true;
    }
    return Resize(newWidth, newHeight);
}

void Bitmap::Fill(uint8_t red, uint8_t green, uint8_t blue, uint8_t alpha)
{
    FillPixel(uint32_t(alpha) << 24 | uint32_t(red) << 16 | uint32_t(green) << 8 | blue);
}

void Bitmap::FillPixel(uint32_t pixel)
{
    std::fill(store.begin(), store.end(), pixel);
}

void Bitmap::SetAlpha(int32_t alpha)
{
    uint32_t a = uint32_t(std::clamp(alpha, 0, 255)) << 24;
    for (uint32_t& pixel : store)
        pixel = (pixel & 0x00FFFFFFu) | a;
}

bool Bitmap::HasAlpha() const
{
    for (int32_t y = 0; y < height; y++) {
        const uint32_t* row = RowPixels(y);
        for (int32_t x = 0; x < width; x++) {
            if ((row[x] >> 24) != 255)
                return true;
        }
    }
    return false;
}

void Bitmap::Swap(Bitmap& other) noexcept
{
    std::swap(width, other.width);
    std::swap(height, other.height);
    rows.swap(other.rows);
    store.swap(other.store);
}

bool Bitmap::Blit(Bitmap& destination, const Bitmap& source, int32_t dx, int32_t dy, int32_t sx, int32_t sy, int32_t w,
                  int32_t h)
{
    if (dx < 0 || dy < 0 || sx < 0 || sy < 0)
        return false;
    if (w < 0)
        w = source.width;
    if (h < 0)
        h = source.height;
    int32_t copyHeight = std::min({h, source.height - sy, destination.height - dy});
    int32_t copyWidth = std::min({w, source.width - sx, destination.width - dx});
    if (copyWidth < 1 || copyHeight < 1)
        return true;
    for (int32_t y = 0; y < copyHeight; y++)
        std::memmove(destination.RowPixels(dy + y) + dx, source.RowPixels(sy + y) + sx, size_t(copyWidth) * 4);
    return true;
}

uint32_t Bitmap::SampleBilinear(float x, float y) const
{
    if (IsEmpty())
        return 0;
    return SampleBilinear(TapsAt(x, y));
}

Bitmap::BilinearTaps Bitmap::TapsAt(float x, float y) const
{
    // Clamping the position first keeps the integer conversion defined for any float (NaN
    // included) and leaves the result unchanged: beyond the edge both taps are the edge pixel.
    // floor, not truncation: just left of pixel 0 must clamp, not extrapolate away from it.
    x = x >= -1.0f ? std::min(x, float(width)) : -1.0f;
    y = y >= -1.0f ? std::min(y, float(height)) : -1.0f;
    const float fx0 = std::floor(x);
    const float fy0 = std::floor(y);
    const int32_t x0 = int32_t(fx0);
    const int32_t y0 = int32_t(fy0);
    return {std::clamp(x0, 0, width - 1), std::clamp(x0 + 1, 0, width - 1), std::clamp(y0, 0, height - 1),
            std::clamp(y0 + 1, 0, height - 1), x - fx0, y - fy0};
}

bool Bitmap::Bleed(int32_t threshold, int32_t maxPasses, bool eightNeighbours)
{
    if (IsEmpty())
        return false;
    assert(int64_t(width) * height <= INT32_MAX);
    // state: 0 invalid and not listed, 1 listed, 2 filled in the current pass, 3 valid.
    enum : uint8_t { Open, Listed, FilledNow, Valid };
    std::vector<uint8_t> state(size_t(width) * size_t(height), Open);
    auto index = [this](int32_t x, int32_t y) { return y * width + x; };
    auto pixel = [this](int32_t i) -> uint32_t& { return rows[size_t(i / width)].pixels[i % width]; };

    for (int32_t y = 0; y < height; y++) {
        uint32_t* row = RowPixels(y);
        for (int32_t x = 0; x < width; x++) {
            if (int32_t(row[x] >> 24) > threshold)
                state[size_t(index(x, y))] = Valid;
            else
                row[x] = 0;
        }
    }

    static constexpr int32_t offsets[8][2] = {{-1, 0}, {1, 0}, {0, -1}, {0, 1}, {-1, -1}, {1, -1}, {-1, 1}, {1, 1}};
    std::vector<int32_t> work;
    std::vector<int32_t> next;
    // Lists every open 8-neighbour of (x, y) once.
    auto listNeighbours = [&](int32_t x, int32_t y, std::vector<int32_t>& list) {
        for (const auto& o : offsets) {
            int32_t nx = x + o[0], ny = y + o[1];
            if (nx < 0 || ny < 0 || nx >= width || ny >= height)
                continue;
            int32_t n = index(nx, ny);
            if (state[size_t(n)] == Open) {
                state[size_t(n)] = Listed;
                list.push_back(n);
            }
        }
    };
    for (int32_t y = 0; y < height; y++) {
        for (int32_t x = 0; x < width; x++) {
            if (state[size_t(index(x, y))] == Valid)
                listNeighbours(x, y, work);
        }
    }
    // listNeighbours walked the valid pixels, so the list is in discovery order, not scan order;
    // the order does not change any result since fills become visible only between passes.

    int32_t neighbourCount = eightNeighbours ? 8 : 4;
    bool filledAny = false;
    std::vector<int32_t> filled;
    for (int32_t pass = 0; (maxPasses < 0 || pass < maxPasses) && !work.empty(); pass++) {
        filled.clear();
        next.clear();
        for (int32_t i : work) {
            int32_t x = i % width, y = i / width;
            uint32_t sumR = 0, sumG = 0, sumB = 0, count = 0;
            for (int32_t k = 0; k < neighbourCount; k++) {
                int32_t nx = x + offsets[k][0], ny = y + offsets[k][1];
                if (nx < 0 || ny < 0 || nx >= width || ny >= height || state[size_t(index(nx, ny))] != Valid)
                    continue;
                uint32_t c = At(nx, ny);
                sumR += (c >> 16) & 0xFF;
                sumG += (c >> 8) & 0xFF;
                sumB += c & 0xFF;
                count++;
            }
            if (count == 0) {
                // Only possible with four neighbours (a pixel touching valid ones diagonally):
                // it stays listed for the next pass, when an edge neighbour may have been filled.
                next.push_back(i);
                continue;
            }
            pixel(i) = (sumR / count) << 16 | (sumG / count) << 8 | (sumB / count);
            state[size_t(i)] = FilledNow;
            filled.push_back(i);
        }
        if (filled.empty())
            break;
        filledAny = true;
        for (int32_t i : filled) {
            state[size_t(i)] = Valid;
            listNeighbours(i % width, i / width, next);
        }
        work.swap(next);
    }
    return filledAny;
}

void Bitmap::RebuildRows()
{
    rows.resize(size_t(height));
    uint32_t* row = store.data();
    for (int32_t y = 0; y < height; y++, row += width)
        rows[size_t(y)] = {row, width};
}

}  // namespace Image
