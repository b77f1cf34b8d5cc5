#pragma once

#include <cstdint>

#include "core/stream.h"
#include "image/bitmap/bitmap.h"

namespace Image {

// Settings of the PNG writer.
struct PngWriter {
    int32_t compressionLevel = 9;  // Deflater level, 0 to 10
};

// Writes the bitmap as an 8-bit truecolour PNG (with alpha only when some pixel is not opaque):
// signature, IHDR, one IDAT, IEND. False as soon as the stream refuses a write (what was written
// stays), and for an empty bitmap, which PNG cannot represent.
bool PngWrite(const PngWriter& settings, Core::OutputStream& stream, const Bitmap& bitmap);

}  // namespace Image
