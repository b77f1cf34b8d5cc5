// pngtool encode IN.rgba OUT.png [LEVEL]
// pngtool decode IN.png OUT.rgba
//
// .rgba: uint32 little-endian width, uint32 little-endian height, then width * height pixels of
// four bytes red, green, blue, alpha, rows from top to bottom.

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "core/stream.h"
#include "image/bitmap/bitmap.h"
#include "image/png/png_read.h"
#include "image/png/png_write.h"

namespace {

constexpr const char* usage =
    "usage: pngtool encode IN.rgba OUT.png [LEVEL]\n"
    "       pngtool decode IN.png OUT.rgba\n";

bool ReadWholeFile(const char* path, std::vector<uint8_t>& bytes)
{
    FILE* file = std::fopen(path, "rb");
    if (file == nullptr)
        return false;
    uint8_t chunk[65536];
    size_t n;
    while ((n = std::fread(chunk, 1, sizeof(chunk), file)) > 0)
        bytes.insert(bytes.end(), chunk, chunk + n);
    bool ok = std::ferror(file) == 0;
    std::fclose(file);
    return ok;
}

uint32_t ReadLittleEndian32(const uint8_t* p)
{
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

// The header's sizes come from the file, so they are checked against its length before any
// pixel is read or any memory is sized by them.
bool DecodeRaw(const std::vector<uint8_t>& bytes, Image::Bitmap& bitmap, const char*& problem)
{
    if (bytes.size() < 8) {
        problem = "file shorter than its 8-byte header";
        return false;
    }
    uint32_t width = ReadLittleEndian32(bytes.data());
    uint32_t height = ReadLittleEndian32(bytes.data() + 4);
    if (width == 0 || height == 0 || width > 0x7FFFFFFFu || height > 0x7FFFFFFFu) {
        problem = "width and height must be between 1 and 2147483647";
        return false;
    }
    uint64_t pixelBytes = uint64_t(width) * uint64_t(height);
    if (pixelBytes > (uint64_t(bytes.size()) - 8) / 4 || pixelBytes * 4 != bytes.size() - 8) {
        problem = "file length does not match width * height * 4 + 8";
        return false;
    }
    bitmap = Image::Bitmap(int32_t(width), int32_t(height));
    const uint8_t* p = bytes.data() + 8;
    for (int32_t y = 0; y < int32_t(height); y++) {
        uint32_t* row = bitmap.RowPixels(y);
        for (int32_t x = 0; x < int32_t(width); x++, p += 4)
            row[x] = uint32_t(p[3]) << 24 | uint32_t(p[0]) << 16 | uint32_t(p[1]) << 8 | p[2];
    }
    return true;
}

int Encode(const char* inPath, const char* outPath, int32_t level)
{
    std::vector<uint8_t> bytes;
    if (!ReadWholeFile(inPath, bytes)) {
        std::fprintf(stderr, "pngtool: cannot read %s: %s\n", inPath, std::strerror(errno));
        return 1;
    }
    Image::Bitmap bitmap;
    const char* problem = "";
    if (!DecodeRaw(bytes, bitmap, problem)) {
        std::fprintf(stderr, "pngtool: %s: %s\n", inPath, problem);
        return 1;
    }
    FILE* file = std::fopen(outPath, "wb");
    if (file == nullptr) {
        std::fprintf(stderr, "pngtool: cannot create %s: %s\n", outPath, std::strerror(errno));
        return 1;
    }
    Core::FileOutputStream stream(file);
    Image::PngWriter settings;
    settings.compressionLevel = level;
    bool written = Image::PngWrite(settings, stream, bitmap);
    bool closed = std::fclose(file) == 0;
    if (!written || !closed) {
        std::fprintf(stderr, "pngtool: failed to write %s\n", outPath);
        return 1;
    }
    return 0;
}

void PutLittleEndian32(uint8_t* p, uint32_t v)
{
    p[0] = uint8_t(v);
    p[1] = uint8_t(v >> 8);
    p[2] = uint8_t(v >> 16);
    p[3] = uint8_t(v >> 24);
}

std::vector<uint8_t> EncodeRaw(const Image::Bitmap& bitmap)
{
    std::vector<uint8_t> bytes(8 + size_t(bitmap.Width()) * size_t(bitmap.Height()) * 4);
    PutLittleEndian32(bytes.data(), uint32_t(bitmap.Width()));
    PutLittleEndian32(bytes.data() + 4, uint32_t(bitmap.Height()));
    uint8_t* p = bytes.data() + 8;
    for (int32_t y = 0; y < bitmap.Height(); y++) {
        const uint32_t* row = bitmap.RowPixels(y);
        for (int32_t x = 0; x < bitmap.Width(); x++, p += 4) {
            p[0] = uint8_t(row[x] >> 16);
            p[1] = uint8_t(row[x] >> 8);
            p[2] = uint8_t(row[x]);
            p[3] = uint8_t(row[x] >> 24);
        }
    }
    return bytes;
}

int Decode(const char* inPath, const char* outPath)
{
    FILE* file = std::fopen(inPath, "rb");
    if (file == nullptr) {
        std::fprintf(stderr, "pngtool: cannot read %s: %s\n", inPath, std::strerror(errno));
        return 1;
    }
    Image::Bitmap bitmap;
    Core::BufferedFileInputStream stream(file);
    bool decoded = Image::PngRead::Read(stream, bitmap);
    std::fclose(file);
    if (!decoded) {
        std::fprintf(stderr, "pngtool: %s is not a PNG image this reader accepts\n", inPath);
        return 1;
    }
    std::vector<uint8_t> bytes = EncodeRaw(bitmap);
    FILE* out = std::fopen(outPath, "wb");
    if (out == nullptr) {
        std::fprintf(stderr, "pngtool: cannot create %s: %s\n", outPath, std::strerror(errno));
        return 1;
    }
    bool written = std::fwrite(bytes.data(), 1, bytes.size(), out) == bytes.size();
    bool closed = std::fclose(out) == 0;
    if (!written || !closed) {
        std::fprintf(stderr, "pngtool: failed to write %s\n", outPath);
        return 1;
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc == 4 && std::strcmp(argv[1], "decode") == 0)
        return Decode(argv[2], argv[3]);
    if (argc < 4 || argc > 5 || std::strcmp(argv[1], "encode") != 0) {
        std::fputs(usage, stderr);
        return 1;
    }
    int32_t level = 9;
    if (argc == 5) {
        char* end = nullptr;
        long value = std::strtol(argv[4], &end, 10);
        if (end == argv[4] || *end != '\0' || value < 0 || value > 10) {
            std::fprintf(stderr, "pngtool: level must be a number from 0 to 10\n");
            return 1;
        }
        level = int32_t(value);
    }
    return Encode(argv[2], argv[3], level);
}
