#include "image/png/deflate.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <random>
#include <string>
#include <unordered_map>
#include <vector>

namespace {

std::vector<uint8_t> Compress(const std::vector<uint8_t>& input, int32_t level)
{
    Core::MemoryOutputStream out;
    Image::Deflater deflater(level);
    EXPECT_TRUE(deflater.Compress(input.data(), input.size(), out));
    return out.bytes;
}

// Inflates a raw deflate stream with zlib; false unless the stream is complete, consumed to its
// last byte and decodes to no more than `expectedSize` bytes.
bool Inflate(const std::vector<uint8_t>& stream, size_t expectedSize, std::vector<uint8_t>& output)
{
    z_stream z{};
    if (inflateInit2(&z, -15) != Z_OK)
        return false;
    output.assign(expectedSize + 1, 0);
    z.next_in = const_cast<Bytef*>(stream.data());
    z.avail_in = uInt(stream.size());
    z.next_out = output.data();
    z.avail_out = uInt(output.size());
    int result = inflate(&z, Z_FINISH);
    output.resize(output.size() - z.avail_out);
    bool ok = result == Z_STREAM_END && z.avail_in == 0;
    inflateEnd(&z);
    return ok;
}

std::vector<uint8_t> RandomBytes(size_t n, uint32_t seed)
{
    std::mt19937 rng(seed);
    std::vector<uint8_t> bytes(n);
    for (auto& b : bytes)
        b = uint8_t(rng());
    return bytes;
}

std::vector<uint8_t> Text(size_t n, uint32_t seed)
{
    static const char* words[] = {"the ", "chart ", "texel ", "of ", "a ", "page ", "lightmap ", "ray ", "occlusion ",
                                  "mesh, ", "triangle ", "and ", "seam. ", "bake ", "atlas\n"};
    std::mt19937 rng(seed);
    std::vector<uint8_t> bytes;
    while (bytes.size() < n) {
        const char* w = words[rng() % std::size(words)];
        bytes.insert(bytes.end(), w, w + std::char_traits<char>::length(w));
    }
    bytes.resize(n);
    return bytes;
}

std::vector<uint8_t> Runs(size_t n, uint32_t seed)
{
    std::mt19937 rng(seed);
    std::vector<uint8_t> bytes;
    while (bytes.size() < n)
        bytes.insert(bytes.end(), 1 + rng() % 1000, uint8_t(rng() % 4));
    bytes.resize(n);
    return bytes;
}

// A random block followed by an exact copy: the copy can only be found exactly 32768 back.
std::vector<uint8_t> RepeatAt32K(uint32_t seed)
{
    std::vector<uint8_t> bytes = RandomBytes(32768, seed);
    bytes.insert(bytes.end(), bytes.begin(), bytes.end());
    return bytes;
}

// Blocks of random bytes that reappear much later, after several window slides.
std::vector<uint8_t> LongWithRepeats(uint32_t seed)
{
    std::vector<uint8_t> a = RandomBytes(20000, seed);
    std::vector<uint8_t> text = Text(150000, seed + 1);
    std::vector<uint8_t> bytes = a;
    bytes.insert(bytes.end(), text.begin(), text.end());
    bytes.insert(bytes.end(), a.begin(), a.end());
    std::vector<uint8_t> b = RandomBytes(70000, seed + 2);
    bytes.insert(bytes.end(), b.begin(), b.end());
    bytes.insert(bytes.end(), text.begin(), text.begin() + 30000);
    return bytes;
}

// Bytes with Fibonacci frequencies, shuffled: an optimal Huffman code for them would need far
// more than 15 bits for the rarest symbols.
std::vector<uint8_t> Fibonacci(uint32_t seed)
{
    std::vector<uint8_t> bytes;
    uint32_t a = 1, b = 1;
    for (int s = 0; s < 26; s++) {
        bytes.insert(bytes.end(), a, uint8_t('A' + s));
        uint32_t c = a + b;
        a = b;
        b = c;
    }
    std::shuffle(bytes.begin(), bytes.end(), std::mt19937(seed));
    return bytes;
}

// 32 KiB of noise (a block of its own), then back-to-back copies of consecutive pieces of it,
// one skipped byte apart. Copy lengths 3, 4, .., 31 (one per length symbol) occur with
// Fibonacci counts 1597, 987, .., 1 and the end-of-block symbol once: the optimal literal/length
// code is then a chain 16 bits deep and must be length-limited. The skipped byte always differs
// from the next piece's first byte, so every match ends exactly where its copy does.
std::vector<uint8_t> FibonacciLengths(uint32_t seed)
{
    static const int32_t lengths[16] = {3, 4, 5, 6, 7, 8, 9, 10, 11, 13, 15, 17, 19, 23, 27, 31};
    std::mt19937 rng(seed);
    std::vector<int32_t> copies;
    uint32_t a = 1, b = 1;
    for (int32_t k = 15; k >= 0; k--) {
        copies.insert(copies.end(), b, lengths[k]);
        uint32_t c = a + b;
        a = b;
        b = c;
    }
    std::shuffle(copies.begin(), copies.end(), rng);
    std::vector<uint8_t> bytes = RandomBytes(32768, seed);
    size_t source = 0;
    for (size_t i = 0; i < copies.size(); i++) {
        size_t next = source + size_t(copies[i]) + 1;
        bytes[next - 1] = uint8_t(bytes[next] ^ 0x80);
        source = next;
    }
    source = 0;
    for (int32_t length : copies) {
        for (int32_t i = 0; i < length; i++)
            bytes.push_back(bytes[source + size_t(i)]);
        source += size_t(length) + 1;
    }
    return bytes;
}

int FirstBlockType(const std::vector<uint8_t>& stream)
{
    return stream.empty() ? -1 : (stream[0] >> 1) & 3;
}

TEST(Deflate, ZlibInflatesToTheInput)
{
    const uint32_t seed = 1234;
    const struct {
        const char* name;
        std::vector<uint8_t> input;
        int firstBlockType;  // -1: any
        size_t maxSize;      // 0: no bound
    } cases[] = {
        {"empty", {}, 1, 8},
        {"one byte", {'x'}, 1, 8},
        {"1 MiB of zeros", std::vector<uint8_t>(1 << 20, 0), -1, 2000},
        {"random bytes go stored", RandomBytes(200000, seed), 0, 200000 + 4 * 5 + 64},
        {"text", Text(100000, seed), 2, 0},
        {"long runs", Runs(300000, seed), -1, 0},
        {"copy exactly 32768 back", RepeatAt32K(seed), -1, 32768 + 2000},
        {"over 64 KiB with far repeats", LongWithRepeats(seed), -1, 0},
        {"Fibonacci byte frequencies", Fibonacci(seed), -1, 0},
        {"length code deeper than 15 bits", FibonacciLengths(seed), -1, 0},
    };
    for (const auto& c : cases) {
        std::vector<uint8_t> stream = Compress(c.input, 9);
        std::vector<uint8_t> output;
        ASSERT_TRUE(Inflate(stream, c.input.size(), output)) << c.name << " seed " << seed;
        EXPECT_TRUE(output == c.input) << c.name << " seed " << seed;
        if (c.firstBlockType >= 0) {
            EXPECT_EQ(FirstBlockType(stream), c.firstBlockType) << c.name;
        }
        if (c.maxSize > 0) {
            EXPECT_LE(stream.size(), c.maxSize) << c.name;
        }
    }
}

TEST(Deflate, EveryLevelRoundTrips)
{
    const uint32_t seed = 99;
    std::vector<uint8_t> input = Text(60000, seed);
    std::vector<uint8_t> runs = Runs(60000, seed);
    std::vector<uint8_t> noise = RandomBytes(30000, seed);
    input.insert(input.end(), runs.begin(), runs.end());
    input.insert(input.end(), noise.begin(), noise.end());
    input.insert(input.end(), input.begin(), input.begin() + 40000);
    size_t previousSize = SIZE_MAX;
    for (int32_t level = -1; level <= 11; level++) {
        std::vector<uint8_t> stream = Compress(input, level);
        std::vector<uint8_t> output;
        ASSERT_TRUE(Inflate(stream, input.size(), output)) << "level " << level << " seed " << seed;
        EXPECT_TRUE(output == input) << "level " << level << " seed " << seed;
        // A deeper search never loses much; a big loss would mean the level is wired wrongly.
        if (level >= 1 && level <= 10) {
            EXPECT_LE(stream.size(), previousSize + previousSize / 50) << "level " << level;
        }
        previousSize = stream.size();
    }
}

TEST(Deflate, CompressorIsReusable)
{
    Image::Deflater deflater(9);
    std::vector<uint8_t> first = Text(70000, 5);
    std::vector<uint8_t> second = Runs(50000, 6);
    Core::MemoryOutputStream a, b, c;
    ASSERT_TRUE(deflater.Compress(first.data(), first.size(), a));
    ASSERT_TRUE(deflater.Compress(second.data(), second.size(), b));
    ASSERT_TRUE(Image::Deflater(9).Compress(second.data(), second.size(), c));
    // Nothing of the first input may leak into the second stream.
    EXPECT_EQ(b.bytes, c.bytes);
}

// Takes `limit` bytes in total, then refuses every write.
class LimitedStream final : public Core::OutputStream {
public:
    explicit LimitedStream(size_t limit) : limit(limit) {}
    bool Write(const void*, size_t size) override
    {
        if (written + size > limit)
            return false;
        written += size;
        return true;
    }
    size_t limit;
    size_t written = 0;
};

TEST(Deflate, RefusedWriteFails)
{
    std::vector<uint8_t> input = Text(300000, 3);
    input.insert(input.end(), 100000, 7);
    std::vector<uint8_t> stored = RandomBytes(100000, 3);
    input.insert(input.end(), stored.begin(), stored.end());
    size_t full = Compress(input, 9).size();
    for (size_t limit : {size_t(0), size_t(1), full / 3, full - 1}) {
        LimitedStream stream(limit);
        EXPECT_FALSE(Image::Deflater(9).Compress(input.data(), input.size(), stream)) << "limit " << limit;
    }
    LimitedStream enough(full);
    EXPECT_TRUE(Image::Deflater(9).Compress(input.data(), input.size(), enough));
}

TEST(HuffmanCodeLengths, RespectTheLimitAndFillTheCodeSpace)
{
    std::vector<uint32_t> fibonacci(30);
    fibonacci[0] = fibonacci[1] = 1;
    for (size_t i = 2; i < fibonacci.size(); i++)
        fibonacci[i] = fibonacci[i - 1] + fibonacci[i - 2];
    std::vector<uint32_t> skewedWithZeros(286, 0);
    for (size_t i = 0; i < 25; i++)
        skewedWithZeros[i * 11] = fibonacci[i];
    const struct {
        const char* name;
        std::vector<uint32_t> frequencies;
        int32_t limit;
        int32_t expectedUsed;
    } cases[] = {
        {"Fibonacci, 15 bits", fibonacci, 15, 30},
        {"Fibonacci, 7 bits", std::vector<uint32_t>(fibonacci.begin(), fibonacci.begin() + 19), 7, 19},
        {"sparse Fibonacci in a literal alphabet", skewedWithZeros, 15, 25},
        {"nothing used", std::vector<uint32_t>(30, 0), 15, 2},
        {"only the last used", {0, 0, 0, 5}, 15, 2},
        {"only the first used", {9, 0, 0, 0}, 15, 2},
        {"flat", std::vector<uint32_t>(286, 7), 15, 286},
    };
    for (const auto& c : cases) {
        std::vector<uint8_t> lengths(c.frequencies.size(), 99);
        Image::HuffmanCodeLengths(c.frequencies.data(), int32_t(c.frequencies.size()), c.limit, lengths.data());
        uint64_t kraft = 0;  // in units of 2^-limit
        int32_t used = 0;
        for (size_t s = 0; s < lengths.size(); s++) {
            EXPECT_LE(lengths[s], c.limit) << c.name << " symbol " << s;
            if (c.frequencies[s] != 0) {
                EXPECT_GT(lengths[s], 0) << c.name << " symbol " << s;
            }
            if (lengths[s] != 0) {
                kraft += uint64_t(1) << (c.limit - lengths[s]);
                used++;
            }
        }
        // A complete prefix code: exactly fills the code space, as decoders require.
        EXPECT_EQ(kraft, uint64_t(1) << c.limit) << c.name;
        EXPECT_EQ(used, c.expectedUsed) << c.name;
    }
}

}  // namespace
