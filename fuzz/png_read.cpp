// PngRead on arbitrary bytes: never a crash, a hang, a read out of bounds or an allocation the
// data does not back; a failure always leaves the bitmap empty.
#include <cstdint>
#include <cstdlib>

#include "core/stream.h"
#include "image/bitmap/bitmap.h"
#include "image/png/png_read.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    Core::MemoryInputStream stream(data, size);
    Image::Bitmap bitmap(2, 2);
    bool decoded = Image::PngRead::Read(stream, bitmap);
    if (!decoded && !bitmap.IsEmpty())
        std::abort();
    if (decoded && uint64_t(bitmap.Width()) * uint64_t(bitmap.Height()) > Image::PngRead::maxPixels)
        std::abort();
    return 0;
}
