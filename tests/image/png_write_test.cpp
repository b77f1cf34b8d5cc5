#include "image/png/png_write.h"

#include <gtest/gtest.h>
#include <png.h>
#include <zlib.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <vector>

namespace {

using Image::Bitmap;

std::vector<uint8_t> Encode(const Bitmap& bitmap, int32_t level = 9)
{
    Core::MemoryOutputStream stream;
    Image::PngWriter settings;
    settings.compressionLevel = level;
    EXPECT_TRUE(Image::PngWrite(settings, stream, bitmap));
    return stream.bytes;
}

// Decodes with libpng to 0xAARRGGBB pixels; false if libpng rejects the file.
bool DecodeWithLibpng(const std::vector<uint8_t>& file, int32_t& width, int32_t& height, std::vector<uint32_t>& pixels)
{
    png_image image{};
    image.version = PNG_IMAGE_VERSION;
    if (!png_image_begin_read_from_memory(&image, file.data(), file.size()))
        return false;
    image.format = PNG_FORMAT_BGRA;  // bytes in memory blue, green, red, alpha: our pixel layout
    width = int32_t(image.width);
    height = int32_t(image.height);
    pixels.assign(size_t(width) * size_t(height), 0);
    if (!png_image_finish_read(&image, nullptr, pixels.data(), 0, nullptr)) {
        png_image_free(&image);
        return false;
    }
    return true;
}

uint32_t BigEndian32(const uint8_t* p)
{
    return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3];
}

struct Chunk {
    std::string type;
    std::vector<uint8_t> data;
    bool crcMatches;
};

// Splits a PNG file after its signature into chunks, checking each CRC with zlib's.
std::vector<Chunk> Chunks(const std::vector<uint8_t>& file)
{
    std::vector<Chunk> chunks;
    size_t at = 8;
    while (at + 12 <= file.size()) {
        uint32_t length = BigEndian32(&file[at]);
        if (at + 12 + length > file.size())
            break;
        Chunk chunk;
        chunk.type.assign(reinterpret_cast<const char*>(&file[at + 4]), 4);
        chunk.data.assign(file.begin() + long(at + 8), file.begin() + long(at + 8 + length));
        uint32_t crc = uint32_t(crc32(0, &file[at + 4], uInt(4 + length)));
        chunk.crcMatches = crc == BigEndian32(&file[at + 8 + length]);
        chunks.push_back(chunk);
        at += 12 + length;
    }
    EXPECT_EQ(at, file.size()) << "trailing bytes after the last chunk";
    return chunks;
}

// The filtered image inside the IDAT, inflated with zlib (which also checks the Adler-32).
std::vector<uint8_t> FilteredImage(const std::vector<uint8_t>& file, size_t expectedSize)
{
    std::vector<Chunk> chunks = Chunks(file);
    EXPECT_EQ(chunks.size(), 3u);
    if (chunks.size() != 3)
        return {};
    const std::vector<uint8_t>& idat = chunks[1].data;
    EXPECT_GE(idat.size(), 2u);
    EXPECT_EQ(idat[0], 0x78);
    EXPECT_EQ(idat[1], 0xDA);
    std::vector<uint8_t> image(expectedSize + 1);
    uLongf size = uLongf(image.size());
    EXPECT_EQ(uncompress(image.data(), &size, idat.data(), uLong(idat.size())), Z_OK);
    image.resize(size);
    return image;
}

Bitmap RandomBitmap(int32_t width, int32_t height, uint32_t seed, bool opaque)
{
    std::mt19937 rng(seed);
    Bitmap bitmap(width, height);
    for (int32_t y = 0; y < height; y++) {
        for (int32_t x = 0; x < width; x++)
            bitmap.At(x, y) = opaque ? (rng() | 0xFF000000u) : uint32_t(rng());
    }
    return bitmap;
}

// Smooth grey charts on a red background, like a lightmap page.
Bitmap ChartPage(int32_t width, int32_t height)
{
    Bitmap bitmap(width, height);
    bitmap.Fill(255, 0, 0, 255);
    for (int32_t y = 4; y < height - 4; y++) {
        for (int32_t x = 4; x < width / 2; x++) {
            uint32_t g = uint32_t(128 + 60 * std::sin(x * 0.05) * std::cos(y * 0.07));
            bitmap.At(x, y) = 0xFF000000u | g << 16 | g << 8 | g;
        }
    }
    return bitmap;
}

TEST(PngWrite, LibpngDecodesExactlyTheBitmapColours)
{
    const uint32_t seed = 77;
    Bitmap cropped = RandomBitmap(9, 7, seed, false);
    cropped.Crop(5, 3);  // rows keep the old stride of 9 pixels
    Bitmap withAlpha = RandomBitmap(30, 20, seed, true);
    withAlpha.At(29, 19) = 0x00123456;
    const struct {
        const char* name;
        Bitmap bitmap;
    } cases[] = {
        {"1 x 1 opaque", RandomBitmap(1, 1, seed, true)},
        {"1 x 1 transparent", RandomBitmap(1, 1, seed, false)},
        {"1 pixel wide", RandomBitmap(1, 40, seed, true)},
        {"1 pixel high", RandomBitmap(300, 1, seed, false)},
        {"noise with alpha", RandomBitmap(123, 45, seed, false)},
        {"noise opaque", RandomBitmap(200, 150, seed, true)},
        {"one transparent pixel in the last corner", withAlpha},
        {"cropped", cropped},
        {"chart page", ChartPage(600, 130)},
    };
    for (const auto& c : cases) {
        for (int32_t level : {0, 9}) {
            std::vector<uint8_t> file = Encode(c.bitmap, level);
            int32_t width = 0, height = 0;
            std::vector<uint32_t> pixels;
            ASSERT_TRUE(DecodeWithLibpng(file, width, height, pixels)) << c.name << " level " << level;
            ASSERT_EQ(width, c.bitmap.Width()) << c.name;
            ASSERT_EQ(height, c.bitmap.Height()) << c.name;
            int32_t wrong = 0;
            for (int32_t y = 0; y < height; y++) {
                for (int32_t x = 0; x < width; x++)
                    wrong += pixels[size_t(y * width + x)] != c.bitmap.At(x, y);
            }
            EXPECT_EQ(wrong, 0) << c.name << " level " << level << " seed " << seed;
        }
    }
}

TEST(PngWrite, ColourTypeFollowsAlpha)
{
    const struct {
        const char* name;
        uint32_t lastPixel;
        uint8_t colourType;
        size_t channels;
    } cases[] = {
        {"all opaque", 0xFF102030, 2, 3},
        {"one pixel with alpha 254", 0xFE102030, 6, 4},
        {"one pixel with alpha 0", 0x00000000, 6, 4},
    };
    for (const auto& c : cases) {
        Bitmap bitmap = RandomBitmap(4, 3, 5, true);
        bitmap.At(3, 2) = c.lastPixel;
        std::vector<uint8_t> file = Encode(bitmap);
        std::vector<Chunk> chunks = Chunks(file);
        ASSERT_FALSE(chunks.empty()) << c.name;
        ASSERT_EQ(chunks[0].type, "IHDR") << c.name;
        ASSERT_EQ(chunks[0].data.size(), 13u) << c.name;
        EXPECT_EQ(chunks[0].data[8], 8) << c.name;  // bit depth
        EXPECT_EQ(chunks[0].data[9], c.colourType) << c.name;
        std::vector<uint8_t> image = FilteredImage(file, 3 * (1 + 4 * c.channels));
        EXPECT_EQ(image.size(), 3 * (1 + 4 * c.channels)) << c.name;
    }
}

TEST(PngWrite, OnlyHeaderDataAndEndChunksWithValidCrcs)
{
    std::vector<uint8_t> file = Encode(ChartPage(100, 50));
    static const uint8_t signature[8] = {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A};
    ASSERT_GE(file.size(), 8u);
    EXPECT_EQ(std::memcmp(file.data(), signature, 8), 0);
    std::vector<Chunk> chunks = Chunks(file);
    ASSERT_EQ(chunks.size(), 3u);
    const char* types[] = {"IHDR", "IDAT", "IEND"};
    for (size_t i = 0; i < 3; i++) {
        EXPECT_EQ(chunks[i].type, types[i]);
        EXPECT_TRUE(chunks[i].crcMatches) << types[i];
    }
    EXPECT_TRUE(chunks[2].data.empty());
    EXPECT_EQ(BigEndian32(&chunks[0].data[0]), 100u);
    EXPECT_EQ(BigEndian32(&chunks[0].data[4]), 50u);
}

TEST(PngWrite, FilterChoicePerRow)
{
    // One pixel wide: each row has exactly one 3-byte window, every filter scores 1, and the
    // tie goes to filter 0.
    Bitmap narrow = RandomBitmap(1, 10, 8, true);
    std::vector<uint8_t> image = FilteredImage(Encode(narrow), 10 * 4);
    ASSERT_EQ(image.size(), 40u);
    for (size_t y = 0; y < 10; y++)
        EXPECT_EQ(image[y * 4], 0) << "row " << y;

    // A horizontal ramp of grey, the same on every row. Row 0: Sub leaves 0 0 0 3 3 3 ..., four
    // distinct sequences, and Paeth (nothing above: it predicts from the left) ties with it, so
    // the lower type, Sub, wins. Below, Up leaves only zeros: one sequence.
    Bitmap ramp(64, 3);
    for (int32_t y = 0; y < 3; y++) {
        for (int32_t x = 0; x < 64; x++)
            ramp.At(x, y) = 0xFF000000u | uint32_t(x * 3) * 0x010101u;
    }
    image = FilteredImage(Encode(ramp), 3 * (1 + 64 * 3));
    ASSERT_EQ(image.size(), 3u * 193u);
    EXPECT_EQ(image[0], 1);
    EXPECT_EQ(image[193], 2);
    EXPECT_EQ(image[386], 2);

    // Noise repeated down the rows: Up turns rows 1.. into zeros; row 0 stays unfiltered, as
    // no filter can lower the count of noise.
    Bitmap stripes = RandomBitmap(50, 4, 9, true);
    for (int32_t y = 1; y < 4; y++) {
        for (int32_t x = 0; x < 50; x++)
            stripes.At(x, y) = stripes.At(x, 0);
    }
    image = FilteredImage(Encode(stripes), 4 * (1 + 150));
    ASSERT_EQ(image.size(), 4u * 151u);
    EXPECT_EQ(image[0], 0);
    for (size_t y = 1; y < 4; y++)
        EXPECT_EQ(image[y * 151], 2) << "row " << y;
}

// Takes `limit` bytes in total, then refuses every write.
class LimitedStream final : public Core::OutputStream {
public:
    explicit LimitedStream(size_t limit) : limit(limit) {}
    bool Write(const void* data, size_t size) override
    {
        if (written.size() + size > limit)
            return false;
        const uint8_t* p = static_cast<const uint8_t*>(data);
        written.insert(written.end(), p, p + size);
        return true;
    }
    size_t limit;
    std::vector<uint8_t> written;
};

TEST(PngWrite, RefusedWriteFailsAndKeepsWhatWasWritten)
{
    Bitmap bitmap = ChartPage(80, 40);
    std::vector<uint8_t> full = Encode(bitmap);
    for (size_t limit = 0; limit < full.size(); limit++) {
        LimitedStream stream(limit);
        EXPECT_FALSE(Image::PngWrite(Image::PngWriter{}, stream, bitmap)) << "limit " << limit;
        ASSERT_LE(stream.written.size(), limit);
        EXPECT_TRUE(std::equal(stream.written.begin(), stream.written.end(), full.begin())) << "limit " << limit;
    }
    LimitedStream enough(full.size());
    EXPECT_TRUE(Image::PngWrite(Image::PngWriter{}, enough, bitmap));
    EXPECT_EQ(enough.written, full);
}

TEST(PngWrite, EmptyBitmapIsRefused)
{
    // PNG has no 0 x 0 image; writing one would give a file no decoder accepts.
    Core::MemoryOutputStream stream;
    EXPECT_FALSE(Image::PngWrite(Image::PngWriter{}, stream, Bitmap()));
    EXPECT_TRUE(stream.bytes.empty());
}

}  // namespace

namespace {

TEST(PngWrite, FileStreamWritesTheSameBytesAndReportsFailure)
{
    Bitmap bitmap = ChartPage(40, 20);
    std::vector<uint8_t> expected = Encode(bitmap);

    FILE* file = std::tmpfile();
    ASSERT_NE(file, nullptr);
    Core::FileOutputStream stream(file);
    EXPECT_TRUE(Image::PngWrite(Image::PngWriter{}, stream, bitmap));
    std::rewind(file);
    std::vector<uint8_t> written(expected.size() + 1);
    written.resize(std::fread(written.data(), 1, written.size(), file));
    std::fclose(file);
    EXPECT_EQ(written, expected);

    // A stream opened for reading refuses every write.
    FILE* readOnly = std::fopen(KETRA_SOURCE_DIR "/CMakeLists.txt", "rb");
    ASSERT_NE(readOnly, nullptr);
    Core::FileOutputStream refusing(readOnly);
    EXPECT_FALSE(Image::PngWrite(Image::PngWriter{}, refusing, bitmap));
    std::fclose(readOnly);
}

}  // namespace
