#include "image/png/adler32.h"
#include "image/png/crc32.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <cstdint>
#include <random>
#include <vector>

namespace {

std::vector<uint8_t> RandomBytes(size_t n, uint32_t seed)
{
    std::mt19937 rng(seed);
    std::vector<uint8_t> bytes(n);
    for (auto& b : bytes)
        b = uint8_t(rng());
    return bytes;
}

// Lengths around the 4-byte stride of the CRC loop and the 5552-byte deferral of the Adler
// modulo, where an off-by-one would show.
const size_t lengths[] = {0, 1, 3, 4, 5, 7, 8, 255, 5551, 5552, 5553, 11104, 11105, 100000};

TEST(Checksums, MatchZlibOverLengths)
{
    const uint32_t seed = 17;
    std::vector<uint8_t> bytes = RandomBytes(100000, seed);
    for (size_t n : lengths) {
        EXPECT_EQ(Image::Crc32(bytes.data(), n), uint32_t(crc32(0, bytes.data(), uInt(n)))) << n << " seed " << seed;
        EXPECT_EQ(Image::Adler32(bytes.data(), n), uint32_t(adler32(1, bytes.data(), uInt(n)))) << n << " seed " << seed;
    }
}

TEST(Checksums, AllOnesWorstCaseForAdlerSums)
{
    // 0xFF bytes drive both Adler sums to their largest values between two modulo steps.
    std::vector<uint8_t> bytes(50000, 0xFF);
    for (size_t n : lengths) {
        if (n <= bytes.size()) {
            EXPECT_EQ(Image::Adler32(bytes.data(), n), uint32_t(adler32(1, bytes.data(), uInt(n)))) << n;
        }
    }
}

TEST(Checksums, SplitComputationGivesTheSameValue)
{
    const uint32_t seed = 23;
    std::vector<uint8_t> bytes = RandomBytes(20000, seed);
    uint32_t wholeCrc = uint32_t(crc32(0, bytes.data(), uInt(bytes.size())));
    uint32_t wholeAdler = uint32_t(adler32(1, bytes.data(), uInt(bytes.size())));
    for (size_t cut : {size_t(0), size_t(1), size_t(2), size_t(3), size_t(5551), size_t(5552), size_t(9999), size_t(20000)}) {
        uint32_t crc = Image::Crc32(bytes.data(), cut);
        crc = Image::Crc32(bytes.data() + cut, bytes.size() - cut, crc);
        uint32_t adler = Image::Adler32(bytes.data(), cut);
        adler = Image::Adler32(bytes.data() + cut, bytes.size() - cut, adler);
        EXPECT_EQ(crc, wholeCrc) << "cut " << cut << " seed " << seed;
        EXPECT_EQ(adler, wholeAdler) << "cut " << cut << " seed " << seed;
    }
}

TEST(Checksums, KnownValues)
{
    // The published check values of both algorithms for "123456789".
    EXPECT_EQ(Image::Crc32("123456789", 9), 0xCBF43926u);
    EXPECT_EQ(Image::Adler32("123456789", 9), 0x091E01DEu);
}

}  // namespace
