#include "image/png/png_read.h"

#include <algorithm>
#include <cstring>

#include "core/heap.h"
#include "core/profiler.h"
#include "image/png/crc32.h"
#include "image/png/inflate.h"
#include "image/png/png_filters.h"

namespace Image {
namespace {

constexpr uint8_t signature[8] = {0x89, 0x50, 0x4E, 0x47, 0x0D, 0x0A, 0x1A, 0x0A};
constexpr uint32_t maxChunkLength = 0x7FFFFFFF;
// Chunk data is read in pieces of this size, so a length field that promises more than the
// file holds costs no more memory than the file delivers.
constexpr size_t chunkPiece = 1 << 20;

struct Pass {
    uint32_t x0, y0, dx, dy;
};
constexpr Pass wholeImage[1] = {{0, 0, 1, 1}};
constexpr Pass adam7[7] = {{0, 0, 8, 8}, {4, 0, 8, 8}, {0, 4, 4, 8}, {2, 0, 4, 4},
                           {0, 2, 2, 4}, {1, 0, 2, 2}, {0, 1, 1, 2}};

uint32_t BigEndian32(const uint8_t* p)
{
    return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3];
}

uint32_t BigEndian16(const uint8_t* p)
{
    return uint32_t(p[0]) << 8 | p[1];
}

// Chunk names compare without their case bits (bit 5 of each byte).
bool SameName(const uint8_t* type, const char* name)
{
    for (int32_t i = 0; i < 4; i++) {
        if ((type[i] & ~0x20) != (uint8_t(name[i]) & ~0x20))
            return false;
    }
    return true;
}

bool ReadExactly(Core::InputStream& stream, void* buffer, size_t size)
{
    size_t got = 0;
    return stream.Read(buffer, size, got) && got == size;
}

int32_t ChannelCount(uint8_t colourType)
{
    switch (colourType) {
    case 0: return 1;
    case 2: return 3;
    case 3: return 1;
    case 4: return 2;
    case 6: return 4;
    default: return 0;
    }
}

bool ValidDepth(uint8_t colourType, uint8_t depth)
{
    switch (colourType) {
    case 0: return depth == 1 || depth == 2 || depth == 4 || depth == 8 || depth == 16;
    case 3: return depth == 1 || depth == 2 || depth == 4 || depth == 8;
    case 2:
    case 4:
    case 6: return depth == 8 || depth == 16;
    default: return false;
    }
}

uint32_t PassSize(uint32_t size, uint32_t start, uint32_t step)
{
    return start < size ? (size - start + step - 1) / step : 0;
}

uint64_t RowBytes(uint32_t passWidth, uint32_t bitsPerPixel)
{
    return (uint64_t(passWidth) * bitsPerPixel + 7) / 8;
}

// Receives the inflated image in one block that grows as the data arrives, so that a header
// promising a huge image costs nothing until the data is really there. Large blocks grow by
// moving pages, not by copying.
class ImageBuffer final : public Core::OutputStream {
public:
    ImageBuffer(size_t limit, size_t firstCapacity) : limit(limit), firstCapacity(std::min(limit, firstCapacity)) {}
    ~ImageBuffer() override { Core::Heap::Free(data); }
    ImageBuffer(const ImageBuffer&) = delete;
    ImageBuffer& operator=(const ImageBuffer&) = delete;

    bool Write(const void* bytes, size_t length) override
    {
        if (length > limit - size)
            return false;
        if (length > capacity - size) {
            size_t grown = std::max({firstCapacity, size + length, capacity > limit / 2 ? limit : capacity * 2});
            void* moved = Core::Heap::Realloc(data, grown);
            if (moved == nullptr)
                return false;
            data = static_cast<uint8_t*>(moved);
            capacity = grown;
        }
        std::memcpy(data + size, bytes, length);
        size += length;
        return true;
    }

    uint8_t* Data() { return data; }
    size_t Size() const { return size; }

private:
    uint8_t* data = nullptr;
    size_t size = 0;
    size_t capacity = 0;
    size_t limit;
    size_t firstCapacity;
};

// What turns the samples of one row into pixels.
struct PixelFormat {
    uint8_t colourType;
    uint8_t bitDepth;
    const uint32_t* palette;
    bool hasTransparent;
    uint16_t transparent[3];
};

uint32_t Grey(uint32_t grey, uint32_t alpha)
{
    return alpha << 24 | grey * 0x010101u;
}

// Samples of 1, 2 or 4 bits, most significant first, one byte each.
void UnpackSamples(const uint8_t* row, uint32_t count, uint32_t depth, uint8_t* samples)
{
    uint32_t mask = (1u << depth) - 1;
    for (uint32_t i = 0; i < count; i++) {
        uint32_t bit = i * depth;
        samples[i] = uint8_t(row[bit >> 3] >> (8 - depth - (bit & 7)) & mask);
    }
}

// Converts `count` pixels of an unfiltered row and stores them `step` pixels apart.
void ConvertRow(const PixelFormat& f, const uint8_t* row, uint32_t count, uint8_t* scratch, uint32_t* out, size_t step)
{
    const bool key = f.hasTransparent;
    switch (f.colourType) {
    case 0:
        if (f.bitDepth == 16) {
            for (uint32_t i = 0; i < count; i++, row += 2) {
                bool clear = key && BigEndian16(row) == f.transparent[0];
                out[i * step] = Grey(row[0], clear ? 0 : 255);
            }
        } else {
            const uint8_t* samples = row;
            if (f.bitDepth < 8) {
                UnpackSamples(row, count, f.bitDepth, scratch);
                samples = scratch;
            }
            const uint32_t scale = f.bitDepth == 1 ? 255 : f.bitDepth == 2 ? 85 : f.bitDepth == 4 ? 17 : 1;
            for (uint32_t i = 0; i < count; i++) {
                bool clear = key && samples[i] == f.transparent[0];
                out[i * step] = Grey(samples[i] * scale, clear ? 0 : 255);
            }
        }
        return;
    case 2:
        if (f.bitDepth == 16) {
            for (uint32_t i = 0; i < count; i++, row += 6) {
                bool clear = key && BigEndian16(row) == f.transparent[0] && BigEndian16(row + 2) == f.transparent[1] &&
                             BigEndian16(row + 4) == f.transparent[2];
                out[i * step] = uint32_t(clear ? 0 : 255) << 24 | uint32_t(row[0]) << 16 | uint32_t(row[2]) << 8 | row[4];
            }
        } else if (!key) {
            for (uint32_t i = 0; i < count; i++, row += 3)
                out[i * step] = 0xFF000000u | uint32_t(row[0]) << 16 | uint32_t(row[1]) << 8 | row[2];
        } else {
            for (uint32_t i = 0; i < count; i++, row += 3) {
                bool clear = row[0] == f.transparent[0] && row[1] == f.transparent[1] && row[2] == f.transparent[2];
                out[i * step] = uint32_t(clear ? 0 : 255) << 24 | uint32_t(row[0]) << 16 | uint32_t(row[1]) << 8 | row[2];
            }
        }
        return;
    case 3: {
        const uint8_t* indices = row;
        if (f.bitDepth < 8) {
            UnpackSamples(row, count, f.bitDepth, scratch);
            indices = scratch;
        }
        for (uint32_t i = 0; i < count; i++)
            out[i * step] = f.palette[indices[i]];
        return;
    }
    case 4:
        if (f.bitDepth == 16) {
            for (uint32_t i = 0; i < count; i++, row += 4)
                out[i * step] = Grey(row[0], row[2]);
        } else {
            for (uint32_t i = 0; i < count; i++, row += 2)
                out[i * step] = Grey(row[0], row[1]);
        }
        return;
    default:
        if (f.bitDepth == 16) {
            for (uint32_t i = 0; i < count; i++, row += 8)
                out[i * step] = uint32_t(row[6]) << 24 | uint32_t(row[0]) << 16 | uint32_t(row[2]) << 8 | row[4];
        } else {
            for (uint32_t i = 0; i < count; i++, row += 4) {
                // R, G, B, A in the file; B, G, R, A in memory: swap the first and third byte.
                uint32_t v;
                std::memcpy(&v, row, 4);
                out[i * step] = (v & 0xFF00FF00u) | (v & 0xFFu) << 16 | (v >> 16 & 0xFFu);
            }
        }
        return;
    }
}

}  // namespace

bool PngRead::Read(Core::InputStream& stream, Bitmap& bitmap)
{
    PngRead reader;
    if (reader.ReadInternal(stream, bitmap))
        return true;
    bitmap = Bitmap();
    return false;
}

bool PngRead::ReadInternal(Core::InputStream& stream, Bitmap& bitmap)
{
    Core::ProfileScope scope("PngRead::ReadInternal");
    bitmap = Bitmap();
    uint8_t head[8];
    if (!ReadExactly(stream, head, sizeof(head)) || std::memcmp(head, signature, sizeof(head)) != 0)
        return false;

    std::vector<uint8_t> data;
    for (;;) {
        uint8_t chunkHeader[8];
        if (!ReadExactly(stream, chunkHeader, sizeof(chunkHeader)))
            return false;
        uint32_t length = BigEndian32(chunkHeader);
        const uint8_t* type = chunkHeader + 4;
        if (length > maxChunkLength)
            return false;
        // Image data goes straight onto the end of what the earlier IDAT chunks gave.
        bool isImageData = SameName(type, "IDAT");
        std::vector<uint8_t>& target = isImageData ? compressed : data;
        if (!isImageData)
            data.clear();
        size_t start = target.size();
        uint8_t crcBytes[4];
        if (!ReadChunkData(stream, length, target) || !ReadExactly(stream, crcBytes, sizeof(crcBytes)))
            return false;
        if (Crc32(target.data() + start, length, Crc32(type, 4)) != BigEndian32(crcBytes))
            return false;
        if (type[2] & 0x20)
            return false;  // the reserved bit

        if (!headerRead) {
            if (!SameName(type, "IHDR") || !ReadHeader(data))
                return false;
            headerRead = true;
        } else if (SameName(type, "IEND")) {
            return DecodeImage(bitmap);
        } else if (SameName(type, "PLTE")) {
            if (!ReadPalette(data))
                return false;
        } else if (isImageData) {
            if (dataRunEnded || (colourType == 3 && !paletteRead))
                return false;
            inDataRun = true;
        } else {
            if (inDataRun) {
                inDataRun = false;
                dataRunEnded = true;
            }
            if (SameName(type, "tRNS")) {
                if (!ReadTransparency(data))
                    return false;
            } else if (!(type[0] & 0x20)) {
                return false;  // a critical chunk this reader does not know, or a second IHDR
            }
        }
    }
}

bool PngRead::ReadChunkData(Core::InputStream& stream, uint32_t length, std::vector<uint8_t>& target)
{
    size_t remaining = length;
    while (remaining > 0) {
        size_t piece = std::min(remaining, chunkPiece);
        size_t at = target.size();
        target.resize(at + piece);
        if (!ReadExactly(stream, target.data() + at, piece))
            return false;
        remaining -= piece;
    }
    return true;
}

bool PngRead::ReadHeader(const std::vector<uint8_t>& data)
{
    if (data.size() != 13)
        return false;
    width = BigEndian32(&data[0]);
    height = BigEndian32(&data[4]);
    bitDepth = data[8];
    colourType = data[9];
    interlace = data[12];
    if (width >= 0x7FFFFFFF || height >= 0x7FFFFFFF || !ValidDepth(colourType, bitDepth) || data[10] != 0 ||
        data[11] != 0 || interlace > 1)
        return false;
    // Sizes are checked before anything depends on them: the pixel count first, which also
    // keeps every byte count below in range of 64 bits.
    if (uint64_t(width) * height > maxPixels)
        return false;
    uint32_t bitsPerPixel = uint32_t(ChannelCount(colourType)) * bitDepth;
    const Pass* passes = interlace ? adam7 : wholeImage;
    int32_t passCount = interlace ? 7 : 1;
    imageBytes = 0;
    for (int32_t p = 0; p < passCount; p++) {
        uint32_t passWidth = PassSize(width, passes[p].x0, passes[p].dx);
        uint32_t passHeight = PassSize(height, passes[p].y0, passes[p].dy);
        if (passWidth > 0 && passHeight > 0)
            imageBytes += uint64_t(passHeight) * (RowBytes(passWidth, bitsPerPixel) + 1);
    }
    return imageBytes <= SIZE_MAX;
}

bool PngRead::ReadPalette(const std::vector<uint8_t>& data)
{
    // The table has 256 entries, all an 8-bit index can reach; a longer palette is malformed.
    if (paletteRead || inDataRun || dataRunEnded || colourType == 0 || colourType == 4 || data.size() % 3 != 0 ||
        data.size() > 3 * 256)
        return false;
    paletteCount = uint32_t(data.size() / 3);
    for (uint32_t i = 0; i < paletteCount; i++)
        palette[i] = 0xFF000000u | uint32_t(data[3 * i]) << 16 | uint32_t(data[3 * i + 1]) << 8 | data[3 * i + 2];
    paletteRead = true;
    return true;
}

bool PngRead::ReadTransparency(const std::vector<uint8_t>& data)
{
    switch (colourType) {
    case 0:
        if (data.size() != 2)
            return false;
        transparent[0] = transparent[1] = transparent[2] = uint16_t(BigEndian16(&data[0]));
        hasTransparent = true;
        return true;
    case 2:
        if (data.size() != 6)
            return false;
        for (int32_t i = 0; i < 3; i++)
            transparent[i] = uint16_t(BigEndian16(&data[size_t(2 * i)]));
        hasTransparent = true;
        return true;
    case 3:
        if (data.size() > paletteCount)
            return false;
        for (size_t i = 0; i < data.size(); i++)
            palette[i] = (palette[i] & 0x00FFFFFFu) | uint32_t(data[i]) << 24;
        return true;
    default:
        return false;  // grey and colour with alpha have their own alpha channel
    }
}

bool PngRead::DecodeImage(Bitmap& bitmap)
{
    // The inflater may produce exactly the bytes the header promises: a stream that would give
    // more (a decompression bomb) stops within one step of passing them.
    ImageBuffer image{size_t(imageBytes), std::max<size_t>(compressed.size() * 4, 1 << 16)};
    {
        InflateStream inflate(compressed.data(), compressed.size(), image);
        inflate.SelectFormat(InflateStream::Format::Zlib);
        if (!inflate.Run(size_t(imageBytes)) || image.Size() != imageBytes)
            return false;
    }
    std::vector<uint8_t>().swap(compressed);
    if (width == 0 || height == 0)
        return true;

    // The bitmap is empty here, so sizing it gives a store of zeros: transparent black.
    bitmap.SetSize(int32_t(width), int32_t(height));
    const PixelFormat format{colourType, bitDepth, palette, hasTransparent,
                             {transparent[0], transparent[1], transparent[2]}};
    const uint32_t bitsPerPixel = uint32_t(ChannelCount(colourType)) * bitDepth;
    const size_t filterStep = std::max<size_t>(1, bitsPerPixel / 8);  // bytes per pixel, at least one
    std::vector<uint8_t> scratch(bitDepth < 8 ? width : 0);
    const Pass* passes = interlace ? adam7 : wholeImage;
    int32_t passCount = interlace ? 7 : 1;
    uint8_t* at = image.Data();
    for (int32_t p = 0; p < passCount; p++) {
        const Pass& pass = passes[p];
        uint32_t passWidth = PassSize(width, pass.x0, pass.dx);
        uint32_t passHeight = PassSize(height, pass.y0, pass.dy);
        if (passWidth == 0 || passHeight == 0)
            continue;
        size_t rowBytes = size_t(RowBytes(passWidth, bitsPerPixel));
        const uint8_t* prior = nullptr;
        for (uint32_t r = 0; r < passHeight; r++) {
            uint8_t* row = at + 1;
            if (!UnfilterRow(at[0], row, prior, rowBytes, filterStep)) {
                bitmap = Bitmap();
                return false;
            }
            uint32_t* out = bitmap.RowPixels(int32_t(pass.y0 + r * pass.dy)) + pass.x0;
            ConvertRow(format, row, passWidth, scratch.data(), out, pass.dx);
            prior = row;
            at += rowBytes + 1;
        }
    }
    return true;
}

}  // namespace Image
