#include "image/png/inflate.h"

#include <algorithm>
#include <array>
#include <cstring>

#include "image/png/adler32.h"

namespace Image {
namespace {

constexpr size_t windowSize = 32768;
// Decoding runs until this much sits in the window, then writes what is new and keeps the last
// 32 KiB as history. Larger steps write less often but move more history at each slide.
constexpr size_t flushLimit = 2 * windowSize;
constexpr size_t maxMatch = 258;
// Room behind the last possible match for a match copy that runs on in eight-byte pieces.
constexpr size_t windowBytes = flushLimit + maxMatch + 16;

// Tables are looked up with this many bits first; longer codes go on into a subtable. Ten bits
// answer nearly every literal/length code of real data in one step; raising it costs a larger
// table to fill for every dynamic block.
constexpr int32_t litRootBits = 10;
constexpr int32_t distRootBits = 8;
constexpr int32_t codeLengthRootBits = 7;
// Root table plus every subtable: far above the largest sets the root sizes can produce
// (about 1300 and 400 entries), so no valid code is ever refused for room.
constexpr int32_t litCapacity = 2048;
constexpr int32_t distCapacity = 1024;

constexpr int32_t maxCodeLength = 15;

// One table entry: what the code stands for and how many bits it takes.
enum EntryType : uint8_t {
    Invalid = 0,     // no code of the set ends here
    Literal = 1,     // value is the byte (or the code-length symbol)
    Length = 2,      // value is the base length, low nibble of typeExtra the extra bits
    EndOfBlock = 3,
    Distance = 4,    // value is the base distance, low nibble the extra bits
    Link = 5,        // value is the subtable's offset, low nibble its index bits
};

struct Entry {
    uint16_t value;
    uint8_t length;     // bits of the code in this table
    uint8_t typeExtra;  // type << 4 | extra bits

    uint8_t Type() const { return uint8_t(typeExtra >> 4); }
    int32_t Extra() const { return typeExtra & 15; }
};

constexpr Entry MakeEntry(uint16_t value, EntryType type, int32_t extra)
{
    return Entry{value, 0, uint8_t(type << 4 | extra)};
}

// What each symbol of the three alphabets means, before its code length is known.
struct SymbolTables {
    std::array<Entry, 288> litLen{};
    std::array<Entry, 32> dist{};
    std::array<Entry, 19> codeLength{};

    constexpr SymbolTables()
    {
        constexpr uint16_t lengthBase[29] = {3,  4,  5,  6,  7,  8,  9,  10, 11,  13,  15,  17,  19,  23, 27,
                                             31, 35, 43, 51, 59, 67, 83, 99, 115, 131, 163, 195, 227, 258};
        constexpr uint8_t lengthExtra[29] = {0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2,
                                             2, 3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 0};
        constexpr uint16_t distBase[30] = {1,   2,   3,   4,   5,   7,    9,    13,   17,   25,   33,   49,   65,    97,    129,
                                           193, 257, 385, 513, 769, 1025, 1537, 2049, 3073, 4097, 6145, 8193, 12289, 16385, 24577};
        for (int32_t s = 0; s < 256; s++)
            litLen[size_t(s)] = MakeEntry(uint16_t(s), Literal, 0);
        litLen[256] = MakeEntry(0, EndOfBlock, 0);
        for (int32_t s = 0; s < 29; s++)
            litLen[size_t(257 + s)] = MakeEntry(lengthBase[s], Length, lengthExtra[s]);
        // 286 and 287 take part in the fixed code but mean nothing: they stay Invalid.
        for (int32_t s = 0; s < 30; s++)
            dist[size_t(s)] = MakeEntry(distBase[s], Distance, s < 4 ? 0 : s / 2 - 1);
        for (int32_t s = 0; s < 19; s++)
            codeLength[size_t(s)] = MakeEntry(uint16_t(s), Literal, 0);
    }
};

constexpr SymbolTables symbols;

// The order in which a dynamic block lists the code lengths of the code-length alphabet.
constexpr uint8_t codeLengthOrder[19] = {16, 17, 18, 0, 8, 7, 9, 6, 10, 5, 11, 4, 12, 3, 13, 2, 14, 1, 15};

uint32_t ReverseBits(uint32_t code, int32_t length)
{
    uint32_t reversed = 0;
    for (int32_t i = 0; i < length; i++, code >>= 1)
        reversed = reversed << 1 | (code & 1);
    return reversed;
}

// Builds the decoding table of a canonical Huffman code from its code lengths (0: unused).
// Codes up to rootBits long are answered by the root table (indexed by the next rootBits bits
// of the stream, first bit lowest); longer ones by a subtable that their root entry links to,
// sized for exactly the codes below it. Over-subscribed sets fail; an incomplete set is taken
// only when it is a single one-bit code (as zlib does), its unused half left Invalid.
bool BuildTable(const uint8_t* lengths, int32_t symbolCount, const Entry* meaning, int32_t rootBits, Entry* table,
                int32_t capacity, bool allowSingleCode)
{
    int32_t count[maxCodeLength + 1] = {};
    for (int32_t s = 0; s < symbolCount; s++)
        count[lengths[s]]++;
    int32_t maxLength = 0;
    int32_t left = 1;
    for (int32_t len = 1; len <= maxCodeLength; len++) {
        left = (left << 1) - count[len];
        if (left < 0)
            return false;
        if (count[len] > 0)
            maxLength = len;
    }
    if (left > 0 && maxLength > 0 && !(allowSingleCode && maxLength == 1))
        return false;

    // Symbols sorted by code length, then by value: the order of their canonical codes.
    int32_t offset[maxCodeLength + 2] = {};
    for (int32_t len = 1; len <= maxCodeLength; len++)
        offset[len + 1] = offset[len] + count[len];
    uint16_t sorted[288];
    for (int32_t s = 0; s < symbolCount; s++) {
        if (lengths[s] != 0)
            sorted[offset[lengths[s]]++] = uint16_t(s);
    }

    const int32_t rootSize = 1 << rootBits;
    std::fill(table, table + rootSize, Entry{0, 0, 0});
    int32_t used = rootSize;
    int32_t remaining[maxCodeLength + 1];
    std::memcpy(remaining, count, sizeof(count));
    uint32_t code = 0;  // canonical code, first bit highest
    int32_t index = 0;
    int32_t subStart = 0, subBits = 0;
    uint32_t subPrefix = ~0u;
    for (int32_t len = 1; len <= maxLength; len++, code <<= 1) {
        for (int32_t k = 0; k < count[len]; k++, code++) {
            Entry entry = meaning[sorted[index++]];
            uint32_t reversed = ReverseBits(code, len);
            if (len <= rootBits) {
                entry.length = uint8_t(len);
                for (uint32_t j = reversed; j < uint32_t(rootSize); j += 1u << len)
                    table[j] = entry;
            } else {
                uint32_t prefix = reversed & uint32_t(rootSize - 1);
                if (prefix != subPrefix) {
                    // A new subtable: as many index bits as the codes sharing this prefix need.
                    subBits = len - rootBits;
                    int32_t room = 1 << subBits;
                    while (subBits + rootBits < maxLength) {
                        room -= remaining[subBits + rootBits];
                        if (room <= 0)
                            break;
                        subBits++;
                        room <<= 1;
                    }
                    if (used + (1 << subBits) > capacity)
                        return false;
                    subStart = used;
                    used += 1 << subBits;
                    std::fill(table + subStart, table + used, Entry{0, 0, 0});
                    table[prefix] = Entry{uint16_t(subStart), uint8_t(rootBits), uint8_t(Link << 4 | subBits)};
                    subPrefix = prefix;
                }
                entry.length = uint8_t(len - rootBits);
                for (uint32_t j = reversed >> rootBits; j < (1u << subBits); j += 1u << (len - rootBits))
                    table[subStart + int32_t(j)] = entry;
            }
            remaining[len]--;
        }
    }
    return true;
}

// The fixed code of block type 1, built into tables of the same root sizes as dynamic ones.
void BuildFixedTables(Entry* lit, Entry* dist)
{
    uint8_t lengths[288];
    std::memset(lengths, 8, 144);
    std::memset(lengths + 144, 9, 112);
    std::memset(lengths + 256, 7, 24);
    std::memset(lengths + 280, 8, 8);
    BuildTable(lengths, 288, symbols.litLen.data(), litRootBits, lit, 1 << litRootBits, false);
    std::memset(lengths, 5, 32);
    BuildTable(lengths, 32, symbols.dist.data(), distRootBits, dist, 1 << distRootBits, false);
}

uint64_t LoadLittleEndian64(const uint8_t* p)
{
    uint64_t word;
    std::memcpy(&word, p, 8);
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
    word = __builtin_bswap64(word);
#endif
    return word;
}

// Copies a match of `length` bytes from `distance` bytes back; the regions overlap when the
// distance is below the length, and then the copy repeats the bytes it has just written.
inline void CopyMatch(uint8_t* out, size_t distance, size_t length)
{
    const uint8_t* from = out - distance;
    if (distance >= 8) {
        // Eight bytes at a time, possibly up to seven past the end (the window has room); pieces
        // eight or more bytes apart never overlap, and each reads only bytes already final.
        uint8_t* end = out + length;
        do {
            std::memcpy(out, from, 8);
            out += 8;
            from += 8;
        } while (out < end);
    } else if (distance == 1) {
        std::memset(out, *from, length);
    } else {
        for (size_t i = 0; i < length; i++)
            out[i] = from[i];
    }
}

}  // namespace

struct InflateStream::Tables {
    Entry lit[litCapacity];
    Entry dist[distCapacity];
    Entry fixedLit[1 << litRootBits];
    Entry fixedDist[1 << distRootBits];
    Entry codeLength[1 << codeLengthRootBits];
    bool fixedBuilt = false;
    const Entry* currentLit = nullptr;
    const Entry* currentDist = nullptr;
};

InflateStream::InflateStream(const void* source, size_t sourceSize, Core::OutputStream& destination)
    : in(static_cast<const uint8_t*>(source)), inEnd(in + sourceSize), destination(destination)
{
}

InflateStream::~InflateStream() = default;

void InflateStream::Refill()
{
    if (inEnd - in >= 8) {
        // Whole bytes up to 56..63 bits in one load. Bits above bitCount may already hold the
        // next bytes; they are the same stream bits, so or-ing them in again changes nothing.
        bits |= LoadLittleEndian64(in) << bitCount;
        in += (63 - bitCount) >> 3;
        bitCount |= 56;
        return;
    }
    while (bitCount <= 56) {
        uint64_t byte = 0;
        if (in < inEnd)
            byte = *in++;
        else
            padding++;
        bits |= byte << bitCount;
        bitCount += 8;
    }
}

uint32_t InflateStream::TakeBits(int32_t count)
{
    uint32_t value = PeekBits(count);
    DropBits(count);
    return value;
}

// True once bits beyond the end of the source have been used.
bool InflateStream::Overran() const
{
    return padding * 8 > size_t(bitCount);
}

bool InflateStream::Flush(bool slide)
{
    uint8_t* base = window.get();
    size_t pending = position - flushed;
    if (pending > budget - written)
        return false;
    if (pending > 0) {
        if (format == Format::Zlib)
            adler = Adler32(base + flushed, pending, adler);
        if (!destination.Write(base + flushed, pending))
            return false;
        written += pending;
    }
    flushed = position;
    if (slide && position > windowSize) {
        std::memmove(base, base + position - windowSize, windowSize);
        position = flushed = windowSize;
    }
    return true;
}

bool InflateStream::ReadZlibHeader()
{
    Refill();
    uint32_t cmf = TakeBits(8);
    uint32_t flg = TakeBits(8);
    if ((cmf & 15) != 8 || (cmf >> 4) > 7 || (cmf * 256 + flg) % 31 != 0)
        return false;
    if (flg & 0x20)
        TakeBits(32);  // preset dictionary id: the data is decoded without one
    return !Overran();
}

bool InflateStream::ReadZlibTrailer()
{
    AlignToByte();
    Refill();
    uint32_t expected = 0;
    for (int32_t i = 0; i < 4; i++)
        expected = expected << 8 | TakeBits(8);
    return !Overran() && expected == adler;
}

bool InflateStream::CopyStored()
{
    AlignToByte();
    Refill();
    uint32_t length = TakeBits(16);
    uint32_t complement = TakeBits(16);
    if (Overran() || (length ^ 0xFFFF) != complement)
        return false;
    // The bytes follow at the current byte position: give back what the bit buffer holds.
    const uint8_t* at = in - (size_t(bitCount) / 8 - padding);
    bits = 0;
    bitCount = 0;
    padding = 0;
    if (size_t(inEnd - at) < length)
        return false;
    in = at + length;
    uint8_t* base = window.get();
    while (length > 0) {
        // The block before may have left the window past the flush limit.
        if (position >= flushLimit && !Flush(true))
            return false;
        size_t n = std::min<size_t>(length, flushLimit - position);
        std::memcpy(base + position, at, n);
        at += n;
        position += n;
        length -= uint32_t(n);
    }
    return true;
}

bool InflateStream::ReadDynamicTables()
{
    Tables& t = *tables;
    Refill();
    int32_t litCount = int32_t(TakeBits(5)) + 257;
    int32_t distCount = int32_t(TakeBits(5)) + 1;
    int32_t codeLengthCount = int32_t(TakeBits(4)) + 4;
    // 286, 287 and distances 30, 31 have no meaning, so a set that codes them is refused.
    if (litCount > 286 || distCount > 30)
        return false;
    uint8_t lengths[286 + 30] = {};
    for (int32_t i = 0; i < codeLengthCount; i++) {
        Refill();
        lengths[codeLengthOrder[i]] = uint8_t(TakeBits(3));
    }
    if (!BuildTable(lengths, 19, symbols.codeLength.data(), codeLengthRootBits, t.codeLength,
                    1 << codeLengthRootBits, false))
        return false;

    int32_t total = litCount + distCount;
    std::memset(lengths, 0, sizeof(lengths));
    for (int32_t i = 0; i < total;) {
        Refill();
        Entry e = t.codeLength[PeekBits(codeLengthRootBits)];
        if (e.Type() != Literal)
            return false;
        DropBits(e.length);
        int32_t symbol = e.value;
        if (symbol < 16) {
            lengths[i++] = uint8_t(symbol);
            continue;
        }
        uint8_t repeated = 0;
        int32_t times;
        if (symbol == 16) {
            if (i == 0)
                return false;
            repeated = lengths[i - 1];
            times = 3 + int32_t(TakeBits(2));
        } else if (symbol == 17) {
            times = 3 + int32_t(TakeBits(3));
        } else {
            times = 11 + int32_t(TakeBits(7));
        }
        if (times > total - i)
            return false;
        std::memset(lengths + i, repeated, size_t(times));
        i += times;
    }
    if (Overran() || lengths[256] == 0)
        return false;  // a block must be able to end
    if (!BuildTable(lengths, litCount, symbols.litLen.data(), litRootBits, t.lit, litCapacity, true) ||
        !BuildTable(lengths + litCount, distCount, symbols.dist.data(), distRootBits, t.dist, distCapacity, true))
        return false;
    t.currentLit = t.lit;
    t.currentDist = t.dist;
    return true;
}

bool InflateStream::DecodeBlock(bool& final)
{
    Refill();
    if (Overran())
        return false;
    uint32_t header = TakeBits(3);
    final = (header & 1) != 0;
    switch (header >> 1) {
    case 0:
        return CopyStored();
    case 1: {
        Tables& t = *tables;
        if (!t.fixedBuilt) {
            BuildFixedTables(t.fixedLit, t.fixedDist);
            t.fixedBuilt = true;
        }
        t.currentLit = t.fixedLit;
        t.currentDist = t.fixedDist;
        return DecodeHuffman();
    }
    case 2:
        return ReadDynamicTables() && DecodeHuffman();
    default:
        return false;
    }
}

bool InflateStream::DecodeHuffman()
{
    const Entry* lit = tables->currentLit;
    const Entry* dist = tables->currentDist;
    uint8_t* out = window.get();
    // The bit reader and the write position live in locals here: a byte stored through `out` may
    // alias any member, so members would be reloaded and stored again around every byte.
    uint64_t b = bits;
    int32_t n = bitCount;
    const uint8_t* p = in;
    const uint8_t* const end = inEnd;
    size_t pos = position;
    auto save = [&] {
        bits = b;
        bitCount = n;
        in = p;
        position = pos;
    };
    auto load = [&] {
        b = bits;
        n = bitCount;
        p = in;
        pos = position;
    };
    auto drop = [&](int32_t count) {
        b >>= count;
        n -= count;
    };
    auto take = [&](int32_t count) {
        uint32_t value = uint32_t(b & ((uint64_t(1) << count) - 1));
        drop(count);
        return value;
    };
    for (;;) {
        if (pos >= flushLimit) {
            // Running on zero bits past the end still yields symbols, so the check for a
            // short source comes at least once a step.
            save();
            if (!Flush(true) || Overran())
                return false;
            load();
        }
        // One refill holds 56 bits or more: enough for a length code with its extra bits
        // (15 + 5) and a distance code with its extra bits (15 + 13).
        if (end - p >= 8) {
            b |= LoadLittleEndian64(p) << n;
            p += (63 - n) >> 3;
            n |= 56;
        } else {
            save();
            Refill();
            load();
        }
        Entry e = lit[b & ((1u << litRootBits) - 1)];
        if (e.Type() == Link) {
            drop(litRootBits);
            e = lit[e.value + (b & ((1u << e.Extra()) - 1))];
        }
        drop(e.length);
        if (e.Type() == Literal) {
            out[pos++] = uint8_t(e.value);
            // Literals come in runs, and after one code of at most 15 bits the refill still
            // holds another: take a second one from the root table without refilling.
            Entry next = lit[b & ((1u << litRootBits) - 1)];
            if (next.Type() == Literal) {
                drop(next.length);
                out[pos++] = uint8_t(next.value);
            }
            continue;
        }
        if (e.Type() != Length) {
            save();
            return e.Type() == EndOfBlock && !Overran();
        }
        size_t length = e.value + take(e.Extra());

        Entry d = dist[b & ((1u << distRootBits) - 1)];
        if (d.Type() == Link) {
            drop(distRootBits);
            d = dist[d.value + (b & ((1u << d.Extra()) - 1))];
        }
        if (d.Type() != Distance) {
            save();
            return false;
        }
        drop(d.length);
        size_t distance = d.value + take(d.Extra());
        if (distance > pos) {
            save();
            return false;  // before the start of the output
        }
        CopyMatch(out + pos, distance, length);
        pos += length;
    }
}

bool InflateStream::Run(size_t maximumOutput)
{
    if (state != State::Start)
        return state == State::Done;
    state = State::Error;
    budget = maximumOutput;
    window = std::make_unique_for_overwrite<uint8_t[]>(windowBytes);
    tables = std::make_unique<Tables>();
    if (format == Format::Zlib && !ReadZlibHeader())
        return false;
    bool final = false;
    while (!final) {
        if (!DecodeBlock(final))
            return false;
    }
    if (!Flush(false))
        return false;
    if (format == Format::Zlib && !ReadZlibTrailer())
        return false;
    window.reset();
    tables.reset();
    state = State::Done;
    return true;
}

}  // namespace Image
