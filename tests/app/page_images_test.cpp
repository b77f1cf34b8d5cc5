// Lightmap pages read back for embedding: a whole PNG passes untouched, and any damage a file can
// carry (a cut, a changed byte, bytes after the end, a missing page) is refused before it could
// end up inside a .glb.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/page_images.h"
#include "core/stream.h"
#include "image/bitmap/bitmap.h"
#include "image/png/crc32.h"
#include "image/png/png_write.h"
#include "run_process_fixture.h"

namespace {

std::vector<uint8_t> SmallPng(uint32_t shade)
{
    Image::Bitmap bitmap(5, 3);
    for (int32_t y = 0; y < 3; y++) {
        for (int32_t x = 0; x < 5; x++)
            bitmap.RowPixels(y)[x] = 0xFF000000u | (shade + uint32_t(x * 9 + y)) * 0x010101u;
    }
    Core::MemoryOutputStream out;
    EXPECT_TRUE(Image::PngWrite(Image::PngWriter{}, out, bitmap));
    return out.bytes;
}

void PutBigEndian32(uint8_t* p, uint32_t value)
{
    for (int i = 0; i < 4; i++)
        p[i] = uint8_t(value >> (24 - 8 * i));
}

TEST(PageImages, AWholePngPassesAndEveryCutOrChangedByteIsRefused)
{
    const std::vector<uint8_t> png = SmallPng(40);
    ASSERT_EQ(App::PngStructureProblem(png), nullptr);
    for (size_t cut = 0; cut < png.size(); cut++) {
        // A fresh buffer per cut lets the sanitizer catch any read past the end.
        std::vector<uint8_t> head(png.begin(), png.begin() + long(cut));
        EXPECT_NE(App::PngStructureProblem(head), nullptr) << "cut at " << cut;
    }
    for (size_t at = 0; at < png.size(); at++) {
        std::vector<uint8_t> changed = png;
        changed[at] ^= 0x10;
        EXPECT_NE(App::PngStructureProblem(changed), nullptr) << "byte " << at << " changed";
    }
    std::vector<uint8_t> trailing = png;
    trailing.push_back(0);
    EXPECT_NE(App::PngStructureProblem(trailing), nullptr);
}

TEST(PageImages, RefusesAnImpossibleHeaderEvenWithAnIntactCrc)
{
    // Signature (8), then IHDR: length (4), type (4), width (4), height (4), ... CRC after 13 bytes.
    const struct { const char* damage; size_t offset; uint32_t value; } cases[] = {
        {"zero width", 16, 0}, {"zero height", 20, 0}, {"width past 2^31 - 1", 16, 0x80000000u}};
    for (const auto& c : cases) {
        std::vector<uint8_t> png = SmallPng(0);
        PutBigEndian32(&png[c.offset], c.value);
        PutBigEndian32(&png[8 + 8 + 13], Image::Crc32(&png[12], 4 + 13));
        EXPECT_NE(App::PngStructureProblem(png), nullptr) << c.damage;
    }
}

TEST(PageImages, ReadsEveryPageFromTheFolderAndNamesTheOneThatFails)
{
    const std::string dir = TestSupport::MakeTempDirectory();
    const std::vector<uint8_t> pages[2] = {SmallPng(10), SmallPng(90)};
    for (int i = 0; i < 2; i++)
        TestSupport::WriteFile(dir + "/Ketra_lightmap_" + std::to_string(i) + ".png",
                               std::string(pages[i].begin(), pages[i].end()));
    for (const std::string& folder : {dir, dir + "/"}) {
        std::vector<std::vector<uint8_t>> read;
        std::string error;
        ASSERT_EQ(App::ReadPageImages(2, folder, read, error), App::PageReadResult::Ok) << error;
        ASSERT_EQ(read.size(), 2u);
        EXPECT_EQ(read[0], pages[0]);
        EXPECT_EQ(read[1], pages[1]);
    }

    std::vector<std::vector<uint8_t>> read;
    std::string error;
    EXPECT_EQ(App::ReadPageImages(3, dir, read, error), App::PageReadResult::Missing);
    EXPECT_NE(error.find(dir + "/Ketra_lightmap_2.png"), std::string::npos) << error;

    TestSupport::WriteFile(dir + "/Ketra_lightmap_1.png", std::string(pages[1].begin(), pages[1].end() - 1));
    EXPECT_EQ(App::ReadPageImages(2, dir, read, error), App::PageReadResult::Malformed);
    EXPECT_NE(error.find("Ketra_lightmap_1.png"), std::string::npos) << error;
}

}  // namespace
