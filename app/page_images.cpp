#include "app/page_images.h"

#include <cstdio>
#include <cstring>

#include "app/lightmap_writer.h"
#include "image/png/crc32.h"

namespace App {
namespace {

constexpr uint8_t pngSignature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
constexpr uint32_t maxChunkLength = 0x7FFFFFFF;  // the format's own limit
constexpr size_t ihdrLength = 13;

uint32_t ReadBigEndian32(const uint8_t* p)
{
    return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | uint32_t(p[3]);
}

bool ReadWholeFile(const std::string& path, std::vector<uint8_t>& bytes)
{
    std::FILE* file = std::fopen(path.c_str(), "rb");
    if (!file)
        return false;
    bytes.clear();
    uint8_t block[1 << 16];
    size_t n;
    while ((n = std::fread(block, 1, sizeof block, file)) > 0)
        bytes.insert(bytes.end(), block, block + n);
    bool ok = std::ferror(file) == 0;
    std::fclose(file);
    return ok;
}

std::string PagePath(const std::string& directory, int32_t page)
{
    if (directory.empty())
        return LightmapFileName(page);
    return directory + (directory.back() == '/' ? "" : "/") + LightmapFileName(page);
}

const char* IhdrProblem(const uint8_t* data, uint32_t length)
{
    if (length != ihdrLength)
        return "its IHDR chunk does not have 13 bytes";
    uint32_t width = ReadBigEndian32(data), height = ReadBigEndian32(data + 4);
    if (width == 0 || height == 0 || width > maxChunkLength || height > maxChunkLength)
        return "its IHDR chunk gives an impossible image size";
    return nullptr;
}

}  // namespace

const char* PngStructureProblem(const std::vector<uint8_t>& bytes)
{
    if (bytes.size() < sizeof pngSignature || std::memcmp(bytes.data(), pngSignature, sizeof pngSignature) != 0)
        return "it does not start with the PNG signature";
    size_t at = sizeof pngSignature;
    bool sawIdat = false;
    for (int chunk = 0;; chunk++) {
        // Every length comes from the file, so it is checked against what is left before use.
        if (bytes.size() - at < 12)
            return "it ends inside a chunk header (the file is cut short)";
        const uint32_t length = ReadBigEndian32(&bytes[at]);
        if (length > maxChunkLength || length > bytes.size() - at - 12)
            return "a chunk runs past the end of the file (the file is cut short)";
        const uint8_t* type = &bytes[at + 4];
        const uint8_t* data = type + 4;
        if (ReadBigEndian32(data + length) != Image::Crc32(type, size_t(length) + 4))
            return "a chunk's CRC does not match its bytes";
        const bool isIhdr = std::memcmp(type, "IHDR", 4) == 0;
        if (isIhdr != (chunk == 0))
            return "IHDR is not its first chunk, or not its only one";
        if (isIhdr) {
            if (const char* problem = IhdrProblem(data, length))
                return problem;
        }
        sawIdat = sawIdat || std::memcmp(type, "IDAT", 4) == 0;
        at += size_t(length) + 12;
        if (std::memcmp(type, "IEND", 4) == 0) {
            if (!sawIdat)
                return "it has no image data (IDAT)";
            return at == bytes.size() ? nullptr : "bytes follow its IEND chunk";
        }
    }
}

PageReadResult ReadPageImages(int32_t pageCount, const std::string& directory,
                              std::vector<std::vector<uint8_t>>& pngs, std::string& error)
{
    pngs.assign(size_t(pageCount > 0 ? pageCount : 0), {});
    for (int32_t page = 0; page < pageCount; page++) {
        const std::string path = PagePath(directory, page);
        if (!ReadWholeFile(path, pngs[size_t(page)])) {
            error = "cannot read lightmap page " + path;
            return PageReadResult::Missing;
        }
        if (const char* problem = PngStructureProblem(pngs[size_t(page)])) {
            error = "lightmap page " + path + " is not a valid PNG file: " + problem;
            return PageReadResult::Malformed;
        }
    }
    return PageReadResult::Ok;
}

}  // namespace App
