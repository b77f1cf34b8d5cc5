#include "image/png/png_read.h"

#include <gtest/gtest.h>
#include <png.h>
#include <zlib.h>

#include <cstdint>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "core/heap.h"
#include "image/png/png_filters.h"
#include "image/png/png_write.h"

namespace {

using Image::Bitmap;

struct Decoded {
    bool ok = false;
    int32_t width = 0, height = 0;
    std::vector<uint32_t> pixels;  // 0xAARRGGBB, rows top to bottom
};

Decoded DecodeOurs(const std::vector<uint8_t>& file)
{
    std::vector<uint8_t> exact(file);  // exactly the file's size, for the sanitizer
    Core::MemoryInputStream stream(exact.data(), exact.size());
    Bitmap bitmap(3, 3);  // a failure must leave it empty
    Decoded d;
    d.ok = Image::PngRead::Read(stream, bitmap);
    d.width = bitmap.Width();
    d.height = bitmap.Height();
    for (int32_t y = 0; y < bitmap.Height(); y++)
        d.pixels.insert(d.pixels.end(), bitmap.RowPixels(y), bitmap.RowPixels(y) + bitmap.Width());
    return d;
}

// --- libpng as the reference -------------------------------------------------------------

struct MemoryReader {
    const std::vector<uint8_t>* file;
    size_t at;
};

void ReadFromMemory(png_structp png, png_bytep out, png_size_t length)
{
    auto* reader = static_cast<MemoryReader*>(png_get_io_ptr(png));
    if (reader->at + length > reader->file->size())
        png_error(png, "short file");
    std::memcpy(out, reader->file->data() + reader->at, length);
    reader->at += length;
}

// libpng's decoding to 8-bit RGBA: palette and low depths expanded, tRNS turned into alpha
// (compared before 16-bit samples lose their low byte), the high byte kept of 16-bit samples.
Decoded DecodeWithLibpng(const std::vector<uint8_t>& file)
{
    Decoded d;
    png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png_create_info_struct(png);
    MemoryReader reader{&file, 0};
    std::vector<uint8_t> rgba;
    std::vector<png_bytep> rows;
    if (setjmp(png_jmpbuf(png))) {
        png_destroy_read_struct(&png, &info, nullptr);
        d.ok = false;
        return d;
    }
    png_set_read_fn(png, &reader, ReadFromMemory);
    png_read_info(png, info);
    png_set_expand(png);
    png_set_strip_16(png);
    png_set_gray_to_rgb(png);
    png_set_add_alpha(png, 0xFF, PNG_FILLER_AFTER);
    png_set_interlace_handling(png);
    png_read_update_info(png, info);
    d.width = int32_t(png_get_image_width(png, info));
    d.height = int32_t(png_get_image_height(png, info));
    rgba.resize(size_t(d.width) * size_t(d.height) * 4);
    for (int32_t y = 0; y < d.height; y++)
        rows.push_back(&rgba[size_t(y) * size_t(d.width) * 4]);
    png_read_image(png, rows.data());
    png_read_end(png, nullptr);
    png_destroy_read_struct(&png, &info, nullptr);
    for (size_t i = 0; i < rgba.size(); i += 4)
        d.pixels.push_back(uint32_t(rgba[i + 3]) << 24 | uint32_t(rgba[i]) << 16 | uint32_t(rgba[i + 1]) << 8 | rgba[i + 2]);
    d.ok = true;
    return d;
}

void WriteToVector(png_structp png, png_bytep data, png_size_t length)
{
    auto* out = static_cast<std::vector<uint8_t>*>(png_get_io_ptr(png));
    out->insert(out->end(), data, data + length);
}

void FlushNothing(png_structp) {}

struct TestImage {
    uint32_t width, height;
    int colourType, depth;
    bool interlaced;
    int filter;  // PNG_FILTER_* mask for libpng's writer
    bool transparency;
};

int Channels(int colourType)
{
    return colourType == 0 ? 1 : colourType == 2 ? 3 : colourType == 3 ? 1 : colourType == 4 ? 2 : 4;
}

// A libpng-written file of random-but-smooth samples. With transparency, tRNS names the
// colour of the first pixel, so that some pixels match it (and, at depth 16, a neighbour of it
// that differs only in the low byte does not).
std::vector<uint8_t> WriteWithLibpng(const TestImage& shape, uint32_t seed)
{
    std::mt19937 rng(seed);
    size_t rowBytes = (size_t(shape.width) * size_t(Channels(shape.colourType)) * size_t(shape.depth) + 7) / 8;
    std::vector<uint8_t> samples(rowBytes * shape.height);
    for (size_t i = 0; i < samples.size(); i++)
        samples[i] = rng() % 4 == 0 ? uint8_t(rng()) : uint8_t(i / 7 + (rng() % 3));
    if (shape.transparency && shape.depth >= 8 && shape.height >= 2 && shape.colourType != 3) {
        // The second row starts with a copy of the first pixel: two matching pixels.
        size_t pixelBytes = size_t(Channels(shape.colourType)) * size_t(shape.depth) / 8;
        std::memcpy(&samples[rowBytes], &samples[0], pixelBytes);
        if (shape.depth == 16 && shape.width >= 2) {
            std::memcpy(&samples[pixelBytes], &samples[0], pixelBytes);
            samples[pixelBytes + 1] ^= 1;  // same high bytes, different low byte
        }
    }

    std::vector<uint8_t> file;
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png_create_info_struct(png);
    if (setjmp(png_jmpbuf(png))) {
        png_destroy_write_struct(&png, &info);
        ADD_FAILURE() << "libpng could not write the test image";
        return {};
    }
    png_set_write_fn(png, &file, WriteToVector, FlushNothing);
    png_set_IHDR(png, info, shape.width, shape.height, shape.depth, shape.colourType,
                 shape.interlaced ? PNG_INTERLACE_ADAM7 : PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT,
                 PNG_FILTER_TYPE_DEFAULT);
    png_set_filter(png, 0, shape.filter);
    std::vector<png_color> palette;
    std::vector<uint8_t> paletteAlpha;
    if (shape.colourType == 3) {
        // Every index a sample of this depth can hold has an entry, as libpng requires.
        palette.resize(size_t(1) << shape.depth);
        for (png_color& c : palette)
            c = {uint8_t(rng()), uint8_t(rng()), uint8_t(rng())};
        png_set_PLTE(png, info, palette.data(), int(palette.size()));
        if (shape.transparency) {
            paletteAlpha.resize(palette.size() / 2 + 1);
            for (uint8_t& a : paletteAlpha)
                a = uint8_t(rng());
            png_set_tRNS(png, info, paletteAlpha.data(), int(paletteAlpha.size()), nullptr);
        }
    } else if (shape.transparency && (shape.colourType == 0 || shape.colourType == 2)) {
        png_color_16 key{};
        auto sample = [&](int channel) -> uint16_t {
            if (shape.depth == 16)
                return uint16_t(samples[size_t(2 * channel)] << 8 | samples[size_t(2 * channel + 1)]);
            if (shape.depth == 8)
                return samples[size_t(channel)];
            return uint16_t(samples[0] >> (8 - shape.depth));  // the first grey sample
        };
        key.gray = sample(0);
        key.red = sample(0);
        if (shape.colourType == 2) {
            key.green = sample(1);
            key.blue = sample(2);
        }
        png_set_tRNS(png, info, nullptr, 0, &key);
    }
    png_write_info(png, info);
    std::vector<png_bytep> rows(shape.height);
    for (uint32_t y = 0; y < shape.height; y++)
        rows[y] = &samples[y * rowBytes];
    png_write_image(png, rows.data());
    png_write_end(png, nullptr);
    png_destroy_write_struct(&png, &info);
    return file;
}

std::string Describe(const TestImage& s)
{
    return std::to_string(s.width) + "x" + std::to_string(s.height) + " type " + std::to_string(s.colourType) +
           " depth " + std::to_string(s.depth) + (s.interlaced ? " interlaced" : "") + " filter " +
           std::to_string(s.filter) + (s.transparency ? " tRNS" : "");
}

TEST(PngRead, EveryColourTypeAndDepthMatchesLibpng)
{
    const struct {
        int colourType, depth;
    } formats[] = {{0, 1}, {0, 2}, {0, 4}, {0, 8}, {0, 16}, {2, 8}, {2, 16}, {3, 1},
                   {3, 2}, {3, 4}, {3, 8}, {4, 8}, {4, 16}, {6, 8}, {6, 16}};
    const int filters[] = {PNG_FILTER_NONE, PNG_FILTER_SUB, PNG_FILTER_UP, PNG_FILTER_AVG, PNG_FILTER_PAETH,
                           PNG_ALL_FILTERS};
    // 1 x 1 and 3 x 5 skip Adam7 passes; 37 x 21 has partial bytes at the row ends.
    const uint32_t sizes[][2] = {{1, 1}, {3, 5}, {37, 21}};
    uint32_t seed = 100;
    int compared = 0;
    for (const auto& f : formats) {
        for (bool interlaced : {false, true}) {
            for (int filter : filters) {
                for (const auto& size : sizes) {
                    for (bool transparency : {false, true}) {
                        if (transparency && (f.colourType == 4 || f.colourType == 6))
                            continue;
                        TestImage shape{size[0], size[1], f.colourType, f.depth, interlaced, filter, transparency};
                        std::vector<uint8_t> file = WriteWithLibpng(shape, ++seed);
                        Decoded expected = DecodeWithLibpng(file);
                        ASSERT_TRUE(expected.ok) << Describe(shape);
                        Decoded ours = DecodeOurs(file);
                        ASSERT_TRUE(ours.ok) << Describe(shape) << " seed " << seed;
                        ASSERT_EQ(ours.width, expected.width) << Describe(shape);
                        ASSERT_EQ(ours.height, expected.height) << Describe(shape);
                        for (size_t i = 0; i < expected.pixels.size(); i++) {
                            ASSERT_EQ(ours.pixels[i], expected.pixels[i])
                                << Describe(shape) << " seed " << seed << " pixel " << i % size[0] << "," << i / size[0];
                        }
                        compared++;
                    }
                }
            }
        }
    }
    EXPECT_EQ(compared, 2 * 6 * 3 * (15 + 11));
}

TEST(PngRead, OurWriterRoundTrips)
{
    std::mt19937 rng(9);
    for (bool alpha : {false, true}) {
        Bitmap bitmap(61, 47);
        for (int32_t y = 0; y < bitmap.Height(); y++) {
            for (int32_t x = 0; x < bitmap.Width(); x++)
                bitmap.At(x, y) = (alpha ? rng() : rng() | 0xFF000000u);
        }
        Core::MemoryOutputStream file;
        ASSERT_TRUE(Image::PngWrite(Image::PngWriter{}, file, bitmap));
        Decoded d = DecodeOurs(file.bytes);
        ASSERT_TRUE(d.ok);
        ASSERT_EQ(d.width, 61);
        ASSERT_EQ(d.height, 47);
        for (int32_t y = 0; y < bitmap.Height(); y++) {
            for (int32_t x = 0; x < bitmap.Width(); x++)
                ASSERT_EQ(d.pixels[size_t(y * 61 + x)], bitmap.At(x, y)) << x << "," << y;
        }
    }
}

// --- Files built chunk by chunk -----------------------------------------------------------

void PutBigEndian32(std::vector<uint8_t>& out, uint32_t v)
{
    out.push_back(uint8_t(v >> 24));
    out.push_back(uint8_t(v >> 16));
    out.push_back(uint8_t(v >> 8));
    out.push_back(uint8_t(v));
}

struct PngBuilder {
    std::vector<uint8_t> file{0x89, 0x50, 0x4E, 0x47, 0x0D, 0x0A, 0x1A, 0x0A};

    // The CRC comes from zlib; `crcDelta` spoils it on purpose.
    PngBuilder& Chunk(const char* type, const std::vector<uint8_t>& data, uint32_t crcDelta = 0)
    {
        PutBigEndian32(file, uint32_t(data.size()));
        size_t typeAt = file.size();
        file.insert(file.end(), type, type + 4);
        file.insert(file.end(), data.begin(), data.end());
        uint32_t crc = uint32_t(crc32(0, &file[typeAt], uInt(4 + data.size())));
        PutBigEndian32(file, crc + crcDelta);
        return *this;
    }

    PngBuilder& Header(uint32_t width, uint32_t height, uint8_t depth, uint8_t colourType, uint8_t interlace = 0,
                       uint8_t compression = 0, uint8_t filter = 0)
    {
        std::vector<uint8_t> data;
        PutBigEndian32(data, width);
        PutBigEndian32(data, height);
        data.insert(data.end(), {depth, colourType, compression, filter, interlace});
        return Chunk("IHDR", data);
    }

    PngBuilder& End() { return Chunk("IEND", {}); }
};

std::vector<uint8_t> Compress(const std::vector<uint8_t>& raw)
{
    uLongf size = compressBound(uLong(raw.size()));
    std::vector<uint8_t> out(size);
    EXPECT_EQ(compress2(out.data(), &size, raw.data(), uLong(raw.size()), 9), Z_OK);
    out.resize(size);
    return out;
}

// Rows of a 2 x 2 8-bit grey image, filter None: 10 20 / 30 40.
std::vector<uint8_t> GreyRows()
{
    return {0, 10, 20, 0, 30, 40};
}

std::vector<uint8_t> ValidGrey()
{
    return PngBuilder().Header(2, 2, 8, 0).Chunk("IDAT", Compress(GreyRows())).End().file;
}

TEST(PngRead, EdgeCasesOfTheFormat)
{
    // Zero width: no pixel, an empty zlib stream, an empty bitmap and success.
    Decoded empty = DecodeOurs(PngBuilder().Header(0, 5, 8, 6).Chunk("IDAT", Compress({})).End().file);
    EXPECT_TRUE(empty.ok);
    EXPECT_EQ(empty.width, 0);
    EXPECT_EQ(empty.height, 0);

    // Chunk names ignore letter case (the reserved third letter must stay upper case), unknown
    // ancillary chunks are skipped, and nothing after IEND is read.
    std::vector<uint8_t> raw = GreyRows();
    std::vector<uint8_t> z = Compress(raw);
    std::vector<uint8_t> first(z.begin(), z.begin() + 5), second(z.begin() + 5, z.end());
    PngBuilder mixed;
    mixed.Header(2, 2, 8, 0).Chunk("gAMA", {0, 0, 0xB1, 0x8F}).Chunk("IdAt", first).Chunk("iDAT", second);
    mixed.Chunk("tEXt", {'a', 0, 'b'}).Chunk("ieNd", {});
    mixed.file.insert(mixed.file.end(), {1, 2, 3});
    Decoded d = DecodeOurs(mixed.file);
    ASSERT_TRUE(d.ok);
    EXPECT_EQ(d.pixels, (std::vector<uint32_t>{0xFF0A0A0A, 0xFF141414, 0xFF1E1E1E, 0xFF282828}));

    // 1-bit grey: 0 is opaque black, 1 opaque white.
    d = DecodeOurs(PngBuilder().Header(3, 1, 1, 0).Chunk("IDAT", Compress({0, 0b01000000})).End().file);
    ASSERT_TRUE(d.ok);
    EXPECT_EQ(d.pixels, (std::vector<uint32_t>{0xFF000000, 0xFFFFFFFF, 0xFF000000}));

    // 16-bit grey keeps the high byte; tRNS compares all sixteen bits.
    d = DecodeOurs(PngBuilder()
                       .Header(2, 1, 16, 0)
                       .Chunk("tRNS", {0x12, 0xAB})
                       .Chunk("IDAT", Compress({0, 0x12, 0xAB, 0x12, 0xAC}))
                       .End()
                       .file);
    ASSERT_TRUE(d.ok);
    EXPECT_EQ(d.pixels, (std::vector<uint32_t>{0x00121212, 0xFF121212}));

    // A palette index beyond the PLTE entries gives transparent black; tRNS sets the alpha of
    // the first entries only.
    d = DecodeOurs(PngBuilder()
                       .Header(3, 1, 8, 3)
                       .Chunk("PLTE", {1, 2, 3, 4, 5, 6})
                       .Chunk("tRNS", {0x80})
                       .Chunk("IDAT", Compress({0, 0, 1, 2}))
                       .End()
                       .file);
    ASSERT_TRUE(d.ok);
    EXPECT_EQ(d.pixels, (std::vector<uint32_t>{0x80010203, 0xFF040506, 0x00000000}));
}

TEST(PngRead, MalformedFilesFail)
{
    const std::vector<uint8_t> z = Compress(GreyRows());
    const std::vector<uint8_t> palette = {1, 2, 3};
    const std::vector<uint8_t> paletteRows = Compress({0, 0, 0, 0, 0, 0});
    const struct {
        const char* what;
        std::vector<uint8_t> file;
    } cases[] = {
        {"wrong signature", [] { auto f = ValidGrey(); f[1] = 'Q'; return f; }()},
        {"first chunk not IHDR", PngBuilder().Chunk("gAMA", {0, 0, 0, 1}).Header(2, 2, 8, 0).Chunk("IDAT", z).End().file},
        {"IHDR CRC", [&] { auto f = ValidGrey(); f[29] ^= 1; return f; }()},
        {"IDAT CRC", PngBuilder().Header(2, 2, 8, 0).Chunk("IDAT", z, 1).End().file},
        {"IEND CRC", PngBuilder().Header(2, 2, 8, 0).Chunk("IDAT", z).Chunk("IEND", {}, 1).file},
        {"ancillary chunk CRC", PngBuilder().Header(2, 2, 8, 0).Chunk("tEXt", {'a', 0}, 1).Chunk("IDAT", z).End().file},
        {"reserved bit", PngBuilder().Header(2, 2, 8, 0).Chunk("tExt", {'a', 0}).Chunk("IDAT", z).End().file},
        {"unknown critical chunk", PngBuilder().Header(2, 2, 8, 0).Chunk("ABCD", {}).Chunk("IDAT", z).End().file},
        {"second IHDR", PngBuilder().Header(2, 2, 8, 0).Header(2, 2, 8, 0).Chunk("IDAT", z).End().file},
        {"depth 3", PngBuilder().Header(2, 2, 3, 0).Chunk("IDAT", z).End().file},
        {"colour type 1", PngBuilder().Header(2, 2, 8, 1).Chunk("IDAT", z).End().file},
        {"truecolour at depth 4", PngBuilder().Header(2, 2, 4, 2).Chunk("IDAT", z).End().file},
        {"palette at depth 16", PngBuilder().Header(2, 2, 16, 3).Chunk("PLTE", palette).Chunk("IDAT", z).End().file},
        {"compression method 1", PngBuilder().Header(2, 2, 8, 0, 0, 1).Chunk("IDAT", z).End().file},
        {"filter method 1", PngBuilder().Header(2, 2, 8, 0, 0, 0, 1).Chunk("IDAT", z).End().file},
        {"interlace method 2", PngBuilder().Header(2, 2, 8, 0, 2).Chunk("IDAT", z).End().file},
        {"width 0x7fffffff", PngBuilder().Header(0x7FFFFFFF, 0, 8, 0).Chunk("IDAT", Compress({})).End().file},
        {"more than 2^28 pixels", PngBuilder().Header(16385, 16384, 1, 0).Chunk("IDAT", z).End().file},
        {"IHDR of 12 bytes", PngBuilder().Chunk("IHDR", {0, 0, 0, 2, 0, 0, 0, 2, 8, 0, 0, 0}).Chunk("IDAT", z).End().file},
        {"PLTE twice", PngBuilder().Header(2, 2, 8, 3).Chunk("PLTE", palette).Chunk("PLTE", palette).Chunk("IDAT", paletteRows).End().file},
        {"PLTE after IDAT", PngBuilder().Header(2, 2, 8, 2).Chunk("IDAT", z).Chunk("PLTE", palette).End().file},
        {"PLTE in a grey image", PngBuilder().Header(2, 2, 8, 0).Chunk("PLTE", palette).Chunk("IDAT", z).End().file},
        {"PLTE of 4 bytes", PngBuilder().Header(2, 2, 8, 3).Chunk("PLTE", {1, 2, 3, 4}).Chunk("IDAT", paletteRows).End().file},
        {"PLTE of 257 entries", PngBuilder().Header(2, 2, 8, 3).Chunk("PLTE", std::vector<uint8_t>(771, 7)).Chunk("IDAT", paletteRows).End().file},
        {"IDAT before PLTE", PngBuilder().Header(2, 2, 8, 3).Chunk("IDAT", paletteRows).Chunk("PLTE", palette).End().file},
        {"IDAT runs apart", PngBuilder().Header(2, 2, 8, 0).Chunk("IDAT", {z.begin(), z.begin() + 4}).Chunk("tEXt", {'a', 0}).Chunk("IDAT", {z.begin() + 4, z.end()}).End().file},
        {"tRNS in grey with alpha", PngBuilder().Header(2, 2, 8, 4).Chunk("tRNS", {0, 1}).Chunk("IDAT", z).End().file},
        {"tRNS in colour with alpha", PngBuilder().Header(2, 2, 8, 6).Chunk("tRNS", {0, 1, 0, 1, 0, 1}).Chunk("IDAT", z).End().file},
        {"tRNS longer than the palette", PngBuilder().Header(2, 2, 8, 3).Chunk("PLTE", palette).Chunk("tRNS", {1, 2}).Chunk("IDAT", paletteRows).End().file},
        {"grey tRNS of 1 byte", PngBuilder().Header(2, 2, 8, 0).Chunk("tRNS", {1}).Chunk("IDAT", z).End().file},
        {"no IEND", PngBuilder().Header(2, 2, 8, 0).Chunk("IDAT", z).file},
        {"no IDAT", PngBuilder().Header(2, 2, 8, 0).End().file},
        {"too little image data", PngBuilder().Header(2, 2, 8, 0).Chunk("IDAT", Compress({0, 10, 20, 0, 30})).End().file},
        {"too much image data", PngBuilder().Header(2, 2, 8, 0).Chunk("IDAT", Compress({0, 10, 20, 0, 30, 40, 0})).End().file},
        {"filter type 5", PngBuilder().Header(2, 2, 8, 0).Chunk("IDAT", Compress({0, 10, 20, 5, 30, 40})).End().file},
        {"broken zlib stream", PngBuilder().Header(2, 2, 8, 0).Chunk("IDAT", {0x78, 0x01, 0xFF, 0xFF}).End().file},
        {"chunk length over 0x7fffffff", [] {
             std::vector<uint8_t> f = PngBuilder().Header(2, 2, 8, 0).file;
             f.insert(f.end(), {0x80, 0, 0, 0, 'I', 'D', 'A', 'T'});
             return f;
         }()},
    };
    ASSERT_TRUE(DecodeOurs(ValidGrey()).ok);
    for (const auto& c : cases) {
        Decoded d = DecodeOurs(c.file);
        EXPECT_FALSE(d.ok) << c.what;
        EXPECT_EQ(d.width, 0) << c.what;
        EXPECT_EQ(d.height, 0) << c.what;
    }
}

TEST(PngRead, EveryTruncationFails)
{
    // Interlaced palette image with tRNS and an ancillary chunk: every kind of chunk is cut.
    TestImage shape{19, 11, 3, 4, true, PNG_ALL_FILTERS, true};
    std::vector<uint8_t> file = WriteWithLibpng(shape, 77);
    ASSERT_TRUE(DecodeOurs(file).ok);
    for (size_t cut = 0; cut < file.size(); cut++) {
        Decoded d = DecodeOurs(std::vector<uint8_t>(file.begin(), file.begin() + long(cut)));
        EXPECT_FALSE(d.ok) << "cut at " << cut << " of " << file.size();
        EXPECT_EQ(d.width, 0) << "cut at " << cut;
    }
}

TEST(PngRead, HugeHeadersCostNoMemoryUntilTheDataIsThere)
{
    // 16384 x 16384 RGBA at 16 bits (2 GiB of samples, the largest size accepted) whose image
    // data inflates to only 8 MB: the file fails, and memory never grew with the promise.
    std::vector<uint8_t> zeros(8 << 20, 0);
    std::vector<uint8_t> file = PngBuilder().Header(16384, 16384, 16, 6).Chunk("IDAT", Compress(zeros)).End().file;
    uint64_t peakBefore = Core::GetHeapStats().peakAllocSize;
    Decoded d = DecodeOurs(file);
    EXPECT_FALSE(d.ok);
    uint64_t peakGrowth = Core::GetHeapStats().peakAllocSize - peakBefore;
    EXPECT_LT(peakGrowth, uint64_t(128) << 20) << "peak memory grew by " << peakGrowth;
}

TEST(PngFilters, FastRowsMatchThePlainDefinition)
{
    std::mt19937 rng(31);
    for (size_t bpp = 1; bpp <= 8; bpp++) {
        for (uint8_t type = 0; type <= 4; type++) {
            for (size_t pixels : {1, 2, 7, 64}) {
                size_t length = pixels * bpp;
                std::vector<uint8_t> prior(length), row(length);
                for (auto& b : prior)
                    b = uint8_t(rng());
                for (auto& b : row)
                    b = uint8_t(rng());
                for (bool first : {false, true}) {
                    std::vector<uint8_t> fast = row, plain = row;
                    const uint8_t* above = first ? nullptr : prior.data();
                    ASSERT_TRUE(Image::UnfilterRow(type, fast.data(), above, length, bpp));
                    ASSERT_TRUE(Image::UnfilterRowPlain(type, plain.data(), above, length, bpp));
                    EXPECT_EQ(fast, plain) << "type " << int(type) << " bpp " << bpp << " pixels " << pixels
                                           << (first ? " first row" : "");
                }
            }
        }
    }
    uint8_t row[4] = {};
    EXPECT_FALSE(Image::UnfilterRow(5, row, nullptr, 4, 1));
}

}  // namespace
