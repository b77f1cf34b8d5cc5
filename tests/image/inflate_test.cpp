#include "image/png/inflate.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <cstdint>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "image/png/deflate.h"

namespace {

using Image::InflateStream;

std::vector<uint8_t> RandomBytes(size_t n, uint32_t seed)
{
    std::mt19937 rng(seed);
    std::vector<uint8_t> bytes(n);
    for (auto& b : bytes)
        b = uint8_t(rng());
    return bytes;
}

// Words from a small vocabulary with occasional random bytes: many matches of every length and
// distance, literals of a skewed alphabet, so dynamic blocks get long codes too.
std::vector<uint8_t> StructuredBytes(size_t n, uint32_t seed)
{
    std::mt19937 rng(seed);
    const char* words[] = {"the ", "lightmap ", "texel ", "chart ", "atlas ", "occlusion ", "ray ", "\n", "0.25 ", "-1 "};
    std::vector<uint8_t> bytes;
    while (bytes.size() < n) {
        uint32_t pick = rng() % 100;
        if (pick < 80) {
            const char* w = words[rng() % 10];
            bytes.insert(bytes.end(), w, w + std::strlen(w));
        } else if (pick < 90) {
            bytes.push_back(uint8_t(rng()));
        } else {
            // A run, copied from one byte back: distance 1 and long lengths.
            bytes.insert(bytes.end(), 3 + rng() % 300, uint8_t(rng() % 4));
        }
    }
    bytes.resize(n);
    return bytes;
}

// zlib (or raw deflate with windowBits < 0) with the given settings.
std::vector<uint8_t> ZlibCompress(const std::vector<uint8_t>& data, int level, int strategy = Z_DEFAULT_STRATEGY,
                                  int windowBits = 15, int memLevel = 8)
{
    z_stream z{};
    EXPECT_EQ(deflateInit2(&z, level, Z_DEFLATED, windowBits, memLevel, strategy), Z_OK);
    std::vector<uint8_t> out(deflateBound(&z, uLong(data.size())) + 64);
    z.next_in = const_cast<Bytef*>(data.data());
    z.avail_in = uInt(data.size());
    z.next_out = out.data();
    z.avail_out = uInt(out.size());
    EXPECT_EQ(deflate(&z, Z_FINISH), Z_STREAM_END);
    out.resize(z.total_out);
    deflateEnd(&z);
    return out;
}

// Byte k drawn with probability about 2^-(k+1): Huffman codes of every length up to 15, so the
// long codes go through subtables.
std::vector<uint8_t> SkewedBytes(size_t n, uint32_t seed)
{
    std::mt19937 rng(seed);
    std::vector<uint8_t> bytes(n);
    for (auto& b : bytes) {
        uint32_t r = rng() | 0x80000000u;  // some bit is set, so the count stays below 32
        b = uint8_t(__builtin_ctz(r) * 7);
    }
    return bytes;
}

struct Inflated {
    bool ok = false;
    std::vector<uint8_t> bytes;
};

Inflated Inflate(const std::vector<uint8_t>& stream, size_t budget = SIZE_MAX,
                 InflateStream::Format format = InflateStream::Format::Zlib)
{
    // A copy of exactly the stream's size, so the sanitizer sees any read past its end.
    std::vector<uint8_t> exact(stream);
    Core::MemoryOutputStream out;
    InflateStream inflate(exact.data(), exact.size(), out);
    inflate.SelectFormat(format);
    Inflated result;
    result.ok = inflate.Run(budget);
    result.bytes = out.bytes;
    EXPECT_EQ(inflate.OutputSize(), out.bytes.size());
    return result;
}

TEST(Inflate, MatchesZlibOverBlockTypesLevelsAndWindows)
{
    struct Data {
        const char* name;
        std::vector<uint8_t> bytes;
    };
    const Data inputs[] = {
        {"empty", {}},
        {"one byte", {42}},
        {"random 300k", RandomBytes(300000, 1)},
        {"structured 200k", StructuredBytes(200000, 2)},
        {"structured 70000", StructuredBytes(70000, 3)},  // just past two window steps
        {"zeros 1M", std::vector<uint8_t>(1000000, 0)},
        {"skewed 100k", SkewedBytes(100000, 7)},
    };
    const struct {
        int level, strategy, windowBits, memLevel;
    } settings[] = {
        {0, Z_DEFAULT_STRATEGY, 15, 8},  // stored blocks only
        {1, Z_DEFAULT_STRATEGY, 15, 8},
        {6, Z_DEFAULT_STRATEGY, 15, 8},
        {9, Z_DEFAULT_STRATEGY, 15, 9},
        {9, Z_FIXED, 15, 8},             // fixed codes only
        {6, Z_HUFFMAN_ONLY, 15, 8},      // literals only
        {6, Z_RLE, 15, 8},               // distance-1 matches
        {9, Z_DEFAULT_STRATEGY, 9, 1},   // small window and small blocks: many dynamic headers
    };
    for (const Data& input : inputs) {
        for (const auto& s : settings) {
            std::vector<uint8_t> stream = ZlibCompress(input.bytes, s.level, s.strategy, s.windowBits, s.memLevel);
            Inflated result = Inflate(stream);
            EXPECT_TRUE(result.ok) << input.name << " level " << s.level << " strategy " << s.strategy;
            EXPECT_TRUE(result.bytes == input.bytes) << input.name << " level " << s.level << " strategy " << s.strategy;
        }
    }
}

TEST(Inflate, RawStreamsOfOurOwnDeflater)
{
    std::vector<uint8_t> data = StructuredBytes(150000, 4);
    for (int32_t level : {0, 1, 5, 9, 10}) {
        Core::MemoryOutputStream raw;
        Image::Deflater deflater(level);
        ASSERT_TRUE(deflater.Compress(data.data(), data.size(), raw));
        Inflated result = Inflate(raw.bytes, SIZE_MAX, InflateStream::Format::Raw);
        EXPECT_TRUE(result.ok) << "level " << level;
        EXPECT_TRUE(result.bytes == data) << "level " << level;
    }
}

TEST(Inflate, EveryTruncationFails)
{
    const struct {
        const char* name;
        int level, strategy;
    } cases[] = {{"stored", 0, Z_DEFAULT_STRATEGY}, {"fixed", 9, Z_FIXED}, {"dynamic", 9, Z_DEFAULT_STRATEGY}};
    std::vector<uint8_t> data = StructuredBytes(3000, 5);
    for (const auto& c : cases) {
        std::vector<uint8_t> stream = ZlibCompress(data, c.level, c.strategy);
        ASSERT_TRUE(Inflate(stream).ok) << c.name;
        for (size_t cut = 0; cut < stream.size(); cut++) {
            std::vector<uint8_t> head(stream.begin(), stream.begin() + long(cut));
            EXPECT_FALSE(Inflate(head).ok) << c.name << " cut at " << cut << " of " << stream.size();
        }
    }
}

TEST(Inflate, DamagedStreamsFail)
{
    // A stored block holding "abc": header 78 01, block header 01 (final, stored), LEN 3, NLEN
    // ~3, the bytes, Adler-32 of "abc".
    const std::vector<uint8_t> stored = {0x78, 0x01, 0x01, 0x03, 0x00, 0xFC, 0xFF, 'a', 'b', 'c', 0x02, 0x4D, 0x01, 0x27};
    ASSERT_TRUE(Inflate(stored).ok);
    ASSERT_EQ(Inflate(stored).bytes, (std::vector<uint8_t>{'a', 'b', 'c'}));

    const struct {
        const char* what;
        size_t offset;
        uint8_t value;
    } cases[] = {
        {"compression method 7", 0, 0x77},
        {"window exponent 8", 0, 0x88},
        {"header check not a multiple of 31", 1, 0x02},
        {"NLEN not the complement of LEN", 6, 0xFE},
        {"block type 3", 2, 0x07},
        {"Adler-32 off by one", 13, 0x28},
    };
    for (const auto& c : cases) {
        std::vector<uint8_t> bad = stored;
        bad[c.offset] = c.value;
        if (c.offset == 0)
            bad[1] = uint8_t(31 - (bad[0] * 256u) % 31);  // keep the header check right
        EXPECT_FALSE(Inflate(bad).ok) << c.what;
    }

    // Fixed block: literal 'a', then length 3 at distance 1 gives "aaaa"; at distance 2 it
    // reaches before the start of the output.
    const std::vector<uint8_t> nearBack = {0x4B, 0x04, 0x02, 0x00};
    EXPECT_EQ(Inflate(nearBack, SIZE_MAX, InflateStream::Format::Raw).bytes, (std::vector<uint8_t>{'a', 'a', 'a', 'a'}));
    const std::vector<uint8_t> farBack = {0x4B, 0x04, 0x42, 0x00};
    EXPECT_FALSE(Inflate(farBack, SIZE_MAX, InflateStream::Format::Raw).ok) << "distance before the output";
}

// Dynamic block headers built bit by bit, to reach the code-set checks.
class BitWriter {
public:
    void Put(uint32_t value, int32_t count)
    {
        for (int32_t i = 0; i < count; i++) {
            if (bitCount % 8 == 0)
                bytes.push_back(0);
            bytes.back() |= uint8_t(((value >> i) & 1) << (bitCount % 8));
            bitCount++;
        }
    }
    std::vector<uint8_t> bytes{0x78, 0x01};
    int32_t bitCount = 0;
};

TEST(Inflate, InvalidCodeSetsFail)
{
    // Each header: final dynamic block, HLIT 0 (257 codes), HDIST 0 (1 code), HCLEN 15 (19
    // code-length codes), then 19 three-bit lengths in the standard order.
    auto header = [](const std::vector<uint32_t>& codeLengthLengths) {
        BitWriter w;
        w.Put(1, 1);
        w.Put(2, 2);
        w.Put(0, 5);
        w.Put(0, 5);
        w.Put(15, 4);
        for (uint32_t len : codeLengthLengths)
            w.Put(len, 3);
        return w;
    };
    // Over-subscribed code-length code: three codes of one bit.
    BitWriter over = header({1, 1, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0});
    over.Put(0, 16);
    EXPECT_FALSE(Inflate(over.bytes).ok) << "over-subscribed";

    // Incomplete code-length code: a single code of two bits.
    BitWriter incomplete = header({2, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0});
    incomplete.Put(0, 16);
    EXPECT_FALSE(Inflate(incomplete.bytes).ok) << "incomplete";

    // Code-length code: symbols 0 and 8 of one bit each (order position 3 is 0, 4 is 8). All
    // 257 literal/length codes get length 0 except... none: symbol 256 stays 0, so the block
    // could never end.
    BitWriter noEnd = header({0, 0, 0, 1, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0});
    for (int i = 0; i < 258; i++)
        noEnd.Put(0, 1);  // code 0 = symbol 0: length 0 for every literal and the distance
    noEnd.Put(0, 16);
    EXPECT_FALSE(Inflate(noEnd.bytes).ok) << "no end-of-block code";

    // A repeat (symbol 16) as the very first length has nothing to repeat.
    BitWriter firstRepeat = header({1, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0});
    firstRepeat.Put(1, 1);  // codes: symbol 0 -> 0, symbol 16 -> 1
    firstRepeat.Put(0, 2);
    firstRepeat.Put(0, 16);
    EXPECT_FALSE(Inflate(firstRepeat.bytes).ok) << "repeat with no previous length";
}

TEST(Inflate, OutputBudgetIsExact)
{
    std::vector<uint8_t> data = StructuredBytes(100000, 6);
    std::vector<uint8_t> stream = ZlibCompress(data, 9);
    EXPECT_TRUE(Inflate(stream, data.size()).ok);
    Inflated tooSmall = Inflate(stream, data.size() - 1);
    EXPECT_FALSE(tooSmall.ok);
    EXPECT_LT(tooSmall.bytes.size(), data.size());
}

TEST(Inflate, DecompressionBombStopsNearItsBudget)
{
    // 64 MB of zeros compress to about 64 KB; a budget of 1 MB must stop it long before the
    // end, with at most the budget written.
    z_stream z{};
    ASSERT_EQ(deflateInit(&z, 1), Z_OK);
    std::vector<uint8_t> zeros(1 << 20, 0);
    std::vector<uint8_t> stream;
    std::vector<uint8_t> buffer(1 << 16);
    for (int i = 0; i < 64; i++) {
        z.next_in = zeros.data();
        z.avail_in = uInt(zeros.size());
        int flush = i == 63 ? Z_FINISH : Z_NO_FLUSH;
        do {
            z.next_out = buffer.data();
            z.avail_out = uInt(buffer.size());
            deflate(&z, flush);
            stream.insert(stream.end(), buffer.data(), buffer.data() + (buffer.size() - z.avail_out));
        } while (z.avail_out == 0);
    }
    deflateEnd(&z);

    std::vector<uint8_t> exact(stream);
    Core::MemoryOutputStream out;
    InflateStream inflate(exact.data(), exact.size(), out);
    EXPECT_FALSE(inflate.Run(1 << 20));
    EXPECT_LE(out.bytes.size(), size_t(1) << 20);
    EXPECT_FALSE(inflate.Run(SIZE_MAX)) << "a failed stream stays failed";
}

TEST(Inflate, PresetDictionaryIdIsSkipped)
{
    // FDICT set (0x78 0xBB: 0x78BB is a multiple of 31), a dictionary id, then a stored "abc".
    const std::vector<uint8_t> stream = {0x78, 0xBB, 1,   2,   3,    4,    0x01, 0x03, 0x00,
                                         0xFC, 0xFF, 'a', 'b', 'c', 0x02, 0x4D, 0x01, 0x27};
    Inflated result = Inflate(stream);
    EXPECT_TRUE(result.ok);
    EXPECT_EQ(result.bytes, (std::vector<uint8_t>{'a', 'b', 'c'}));
}

}  // namespace
