// pngtool decode: the raw layout of its output and its exit codes, run as a user runs it.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "core/stream.h"
#include "image/bitmap/bitmap.h"
#include "image/png/png_write.h"
#include "run_process_fixture.h"

namespace {

TEST(PngTool, DecodeWritesSizeThenRgbaRowsTopToBottom)
{
    std::string dir = TestSupport::MakeTempDirectory();
    Image::Bitmap bitmap(2, 3);
    for (int32_t y = 0; y < 3; y++) {
        for (int32_t x = 0; x < 2; x++) {
            uint32_t i = uint32_t(y * 2 + x + 1);
            bitmap.At(x, y) = (0x10 * i) << 24 | (0x10 * i) << 16 | (0x20 * i) << 8 | (0x28 * i);
        }
    }
    Core::MemoryOutputStream png;
    ASSERT_TRUE(Image::PngWrite(Image::PngWriter{}, png, bitmap));
    TestSupport::WriteFile(dir + "/in.png", std::string(png.bytes.begin(), png.bytes.end()));

    TestSupport::ProcessResult r = TestSupport::RunProcess({KETRA_PNGTOOL, "decode", "in.png", "out.rgba"}, dir);
    ASSERT_EQ(r.exitCode, 0) << r.err;
    std::string raw = TestSupport::ReadFile(dir + "/out.rgba");
    std::string expected = std::string("\x02\0\0\0\x03\0\0\0", 8);
    for (int i = 1; i <= 6; i++) {
        // Pixel i: red 0x10 i, green 0x20 i, blue 0x28 i, alpha 0x10 i.
        expected += char(0x10 * i);
        expected += char(0x20 * i);
        expected += char(0x28 * i);
        expected += char(0x10 * i);
    }
    EXPECT_EQ(raw, expected);

    // A file that is not a PNG, and one that is missing: exit code 1.
    TestSupport::WriteFile(dir + "/bad.png", "\x89PNG\r\n\x1a\nnot really");
    for (const char* name : {"bad.png", "missing.png"}) {
        r = TestSupport::RunProcess({KETRA_PNGTOOL, "decode", name, "bad.rgba"}, dir);
        EXPECT_EQ(r.exitCode, 1) << name;
        EXPECT_NE(r.err, "") << name;
    }
}

}  // namespace
