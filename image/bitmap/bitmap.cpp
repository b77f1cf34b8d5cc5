#include "image/bitmap/bitmap.h"

#include <algorithm>
#include <cassert>
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

void Bitmap::RebuildRows()
{
    rows.resize(size_t(height));
    uint32_t* row = store.data();
    for (int32_t y = 0; y < height; y++, row += width)
        rows[size_t(y)] = {row, width};
}

}  // namespace Image
