#pragma once

#include <cstdint>
#include <vector>

#include "core/stream.h"
#include "image/bitmap/bitmap.h"

namespace Image {

// Decodes PNG files of every standard colour type and bit depth, interlaced or not, into
// 0xAARRGGBB pixels (16-bit samples keep their high byte). Every chunk's CRC is checked and
// every fault of the file fails the image without a message: the caller knows which file it
// was and reports it. One reader object serves one call.
class PngRead {
public:
    // Images with more pixels than this are refused before anything is allocated for them.
    static constexpr uint64_t maxPixels = uint64_t(1) << 28;

    // Reads a whole PNG file from the stream. On failure the bitmap is 0 x 0.
    static bool Read(Core::InputStream& stream, Bitmap& bitmap);

    // The reader proper; the bitmap is emptied first. Read wraps it.
    bool ReadInternal(Core::InputStream& stream, Bitmap& bitmap);

private:
    bool ReadChunkData(Core::InputStream& stream, uint32_t length, std::vector<uint8_t>& data);
    bool ReadHeader(const std::vector<uint8_t>& data);
    bool ReadPalette(const std::vector<uint8_t>& data);
    bool ReadTransparency(const std::vector<uint8_t>& data);
    bool DecodeImage(Bitmap& bitmap);

    uint32_t width = 0;
    uint32_t height = 0;
    uint8_t bitDepth = 0;
    uint8_t colourType = 0;
    uint8_t interlace = 0;
    uint64_t imageBytes = 0;  // the filtered image, all passes, filter bytes included

    uint32_t palette[256] = {};
    uint32_t paletteCount = 0;
    uint16_t transparent[3] = {};
    bool hasTransparent = false;

    std::vector<uint8_t> compressed;  // all IDAT data in order
    bool headerRead = false;
    bool paletteRead = false;
    bool inDataRun = false;
    bool dataRunEnded = false;
};

}  // namespace Image
