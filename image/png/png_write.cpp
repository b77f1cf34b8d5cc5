#include "image/png/png_write.h"

#include <array>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "image/png/adler32.h"
#include "image/png/crc32.h"
#include "image/png/deflate.h"

namespace Image {
namespace {

constexpr uint8_t signature[8] = {0x89, 0x50, 0x4E, 0x47, 0x0D, 0x0A, 0x1A, 0x0A};
// zlib header: deflate with a 32 KiB window, "maximum compression" hint; 0x78DA % 31 == 0.
constexpr uint8_t zlibHeader[2] = {0x78, 0xDA};
constexpr int32_t filterCount = 5;

void PutBigEndian32(uint8_t* out, uint32_t v)
{
    out[0] = uint8_t(v >> 24);
    out[1] = uint8_t(v >> 16);
    out[2] = uint8_t(v >> 8);
    out[3] = uint8_t(v);
}

bool WriteChunk(Core::OutputStream& stream, const char* type, const uint8_t* data, size_t length)
{
    if (length > 0x7FFFFFFFu)
        return false;
    uint8_t header[8];
    PutBigEndian32(header, uint32_t(length));
    std::memcpy(header + 4, type, 4);
    uint32_t crc = Crc32(header + 4, 4);
    crc = Crc32(data, length, crc);
    uint8_t trailer[4];
    PutBigEndian32(trailer, crc);
    return stream.Write(header, 8) && (length == 0 || stream.Write(data, length)) && stream.Write(trailer, 4);
}

uint8_t Paeth(int32_t a, int32_t b, int32_t c)
{
    int32_t p = a + b - c;
    int32_t pa = std::abs(p - a);
    int32_t pb = std::abs(p - b);
    int32_t pc = std::abs(p - c);
    if (pa <= pb && pa <= pc)
        return uint8_t(a);
    return uint8_t(pb <= pc ? b : c);
}

// Counts the distinct 3-byte sequences of a row. An open-addressed set whose slots carry the
// stamp of the row that filled them, so nothing is cleared between rows.
class DistinctTriples {
public:
    explicit DistinctTriples(size_t windows)
    {
        size_t size = 64;
        while (size < windows * 2)
            size *= 2;
        keys.assign(size, 0);
        stamps.assign(size, 0);
        mask = uint32_t(size - 1);
    }

    int32_t Count(const uint8_t* bytes, size_t length)
    {
        if (length < 3)
            return 0;
        stamp++;
        int32_t distinct = 0;
        uint32_t key = uint32_t(bytes[0]) << 8 | bytes[1];
        for (size_t i = 2; i < length; i++) {
            key = (key << 8 | bytes[i]) & 0xFFFFFF;
            uint32_t slot = (key * 0x9E3779B1u) >> 8 & mask;
            for (;;) {
                if (stamps[slot] != stamp) {
                    stamps[slot] = stamp;
                    keys[slot] = key;
                    distinct++;
                    break;
                }
                if (keys[slot] == key)
                    break;
                slot = (slot + 1) & mask;
            }
        }
        return distinct;
    }

private:
    std::vector<uint32_t> keys;
    std::vector<uint32_t> stamps;
    uint32_t mask = 0;
    uint32_t stamp = 0;
};

// Rows as filter byte + filtered bytes, each row filtered the way that leaves the fewest distinct
// 3-byte sequences (ties to the lower filter type): a cheap stand-in for how well it will compress.
std::vector<uint8_t> FilterImage(const Bitmap& bitmap, int32_t channels)
{
    size_t rowBytes = size_t(bitmap.Width()) * size_t(channels);
    std::vector<uint8_t> image((rowBytes + 1) * size_t(bitmap.Height()));
    std::vector<uint8_t> raw(rowBytes);
    std::vector<uint8_t> prior(rowBytes, 0);
    std::array<std::vector<uint8_t>, filterCount> versions;
    for (auto& v : versions)
        v.resize(rowBytes);
    DistinctTriples triples(rowBytes);
    size_t bpp = size_t(channels);

    uint8_t* out = image.data();
    for (int32_t y = 0; y < bitmap.Height(); y++) {
        const uint32_t* pixels = bitmap.RowPixels(y);
        uint8_t* r = raw.data();
        for (int32_t x = 0; x < bitmap.Width(); x++) {
            uint32_t p = pixels[x];
            *r++ = uint8_t(p >> 16);
            *r++ = uint8_t(p >> 8);
            *r++ = uint8_t(p);
            if (channels == 4)
                *r++ = uint8_t(p >> 24);
        }
        for (size_t i = 0; i < rowBytes; i++) {
            int32_t a = i >= bpp ? raw[i - bpp] : 0;
            int32_t b = prior[i];
            int32_t c = i >= bpp ? prior[i - bpp] : 0;
            int32_t x = raw[i];
            versions[0][i] = uint8_t(x);
            versions[1][i] = uint8_t(x - a);
            versions[2][i] = uint8_t(x - b);
            versions[3][i] = uint8_t(x - ((a + b) >> 1));
            versions[4][i] = uint8_t(x - Paeth(a, b, c));
        }
        int32_t bestFilter = 0;
        int32_t bestScore = triples.Count(versions[0].data(), rowBytes);
        for (int32_t f = 1; f < filterCount; f++) {
            int32_t score = triples.Count(versions[size_t(f)].data(), rowBytes);
            if (score < bestScore) {
                bestScore = score;
                bestFilter = f;
            }
        }
        *out++ = uint8_t(bestFilter);
        std::memcpy(out, versions[size_t(bestFilter)].data(), rowBytes);
        out += rowBytes;
        raw.swap(prior);
    }
    return image;
}

}  // namespace

bool PngWrite(const PngWriter& settings, Core::OutputStream& stream, const Bitmap& bitmap)
{
    if (bitmap.IsEmpty())
        return false;
    int32_t channels = bitmap.HasAlpha() ? 4 : 3;

    if (!stream.Write(signature, sizeof(signature)))
        return false;
    uint8_t header[13];
    PutBigEndian32(header, uint32_t(bitmap.Width()));
    PutBigEndian32(header + 4, uint32_t(bitmap.Height()));
    header[8] = 8;                         // bits per channel
    header[9] = channels == 4 ? 6 : 2;     // truecolour with or without alpha
    header[10] = 0;                        // deflate
    header[11] = 0;                        // adaptive filtering
    header[12] = 0;                        // no interlace
    if (!WriteChunk(stream, "IHDR", header, sizeof(header)))
        return false;

    std::vector<uint8_t> image = FilterImage(bitmap, channels);
    // The IDAT length comes before its data, so the zlib stream is built in memory first.
    Core::MemoryOutputStream zlib;
    zlib.Write(zlibHeader, sizeof(zlibHeader));
    Deflater deflater(settings.compressionLevel);
    if (!deflater.Compress(image.data(), image.size(), zlib))
        return false;
    uint8_t adler[4];
    PutBigEndian32(adler, Adler32(image.data(), image.size()));
    zlib.Write(adler, sizeof(adler));
    if (!WriteChunk(stream, "IDAT", zlib.bytes.data(), zlib.bytes.size()))
        return false;
    return WriteChunk(stream, "IEND", nullptr, 0);
}

}  // namespace Image
