#include "image/png/deflate.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cassert>
#include <cstring>

namespace Image {
namespace {

constexpr int32_t windowSize = 32768;
constexpr int32_t bufferSize = 65536;
// Bytes past the buffer end that the match comparison may read (8 at a time); never used.
constexpr int32_t bufferPadding = 16;
constexpr int32_t minMatch = 3;
constexpr int32_t maxMatch = 258;
constexpr int32_t hashSize = 32768;
constexpr uint16_t emptySlot = 65535;
constexpr size_t codeBufferSize = 65536;
// A step adds at most one item plus a new flag byte (4 bytes), so flushing at this fill keeps
// every write inside the code buffer.
constexpr size_t codeBufferFlush = 65532;
constexpr size_t storedPiece = 65535;

constexpr int32_t literalAlphabet = 286;
constexpr int32_t distanceAlphabet = 30;
constexpr int32_t codeLengthAlphabet = 19;
constexpr int32_t maxCodeBits = 15;
constexpr int32_t maxCodeLengthBits = 7;

// Chain candidates examined per search: below level 9, level 9 (what the tool writes its pages
// with) and level 10. Measured on lightmap-like atlas pages at level 9: 256 steps leave files
// about 14% larger than zlib's level 9 and run in less than half its time; 1024 closes about half
// of that gap, 4096 all of it, at roughly 2.6 times the time of 256. Rows of a filtered page
// repeat at a distance of a row length, which a short walk through a run of equal bytes never
// reaches.
constexpr int32_t searchSteps = 256;
constexpr int32_t bestSearchSteps = 4096;
constexpr int32_t thoroughSearchSteps = 65536;

// Share of the window searched, in 256ths, per level; levels 9 and 10 search all of it.
constexpr int32_t distanceFactors[11] = {112, 128, 144, 160, 176, 192, 208, 224, 240, 256, 256};

constexpr uint16_t lengthBase[29] = {3,  4,  5,  6,  7,  8,  9,  10, 11,  13,  15,  17,  19,  23, 27,
                                     31, 35, 43, 51, 59, 67, 83, 99, 115, 131, 163, 195, 227, 258};
constexpr uint8_t lengthExtra[29] = {0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2,
                                     2, 3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 0};
constexpr uint16_t distanceBase[30] = {1,   2,   3,   4,   5,   7,    9,    13,   17,   25,   33,   49,   65,    97,    129,
                                       193, 257, 385, 513, 769, 1025, 1537, 2049, 3073, 4097, 6145, 8193, 12289, 16385, 24577};
constexpr uint8_t distanceExtra[30] = {0, 0, 0, 0, 1, 1, 2, 2,  3,  3,  4,  4,  5,  5,  6,
                                       6, 7, 7, 8, 8, 9, 9, 10, 10, 11, 11, 12, 12, 13, 13};
// Order in which the code-length code lengths are sent.
constexpr uint8_t codeLengthOrder[19] = {16, 17, 18, 0, 8, 7, 9, 6, 10, 5, 11, 4, 12, 3, 13, 2, 14, 1, 15};

struct SymbolTables {
    std::array<uint8_t, 256> lengthCode{};    // length - 3 -> length symbol - 257
    std::array<uint8_t, 512> distanceCode{};  // see DistanceSymbol

    constexpr SymbolTables()
    {
        for (int32_t s = 0; s < 28; s++) {
            for (int32_t l = lengthBase[s]; l < lengthBase[s] + (1 << lengthExtra[s]); l++)
                lengthCode[size_t(l - 3)] = uint8_t(s);
        }
        lengthCode[255] = 28;  // 258 has its own symbol although 284 could also reach it
        for (int32_t s = 0; s < 30; s++) {
            for (int32_t d = distanceBase[s]; d < distanceBase[s] + (1 << distanceExtra[s]); d++) {
                int32_t v = d - 1;
                if (v < 256)
                    distanceCode[size_t(v)] = uint8_t(s);
                else
                    distanceCode[size_t(256 + (v >> 7))] = uint8_t(s);
            }
        }
    }
};

constexpr SymbolTables symbolTables;

inline int32_t LengthSymbol(int32_t length)
{
    return symbolTables.lengthCode[size_t(length - 3)];
}

// Distances above 256 share their symbol in groups of 128, so half a table covers them.
inline int32_t DistanceSymbol(int32_t distance)
{
    int32_t v = distance - 1;
    return v < 256 ? symbolTables.distanceCode[size_t(v)] : symbolTables.distanceCode[size_t(256 + (v >> 7))];
}

inline uint32_t Hash(const uint8_t* p)
{
    uint32_t x = uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16;
    uint32_t h = x ^ (x >> 11);
    h ^= h << 7;
    return h & (hashSize - 1);
}

inline uint64_t Load64(const uint8_t* p)
{
    uint64_t v;
    std::memcpy(&v, p, 8);
    return v;
}

inline uint32_t Load32(const uint8_t* p)
{
    uint32_t v;
    std::memcpy(&v, p, 4);
    return v;
}

// Number of equal leading bytes of a and b, at most limit. Reads up to 7 bytes beyond limit.
inline int32_t MatchLength(const uint8_t* a, const uint8_t* b, int32_t limit)
{
    int32_t n = 0;
    while (n < limit) {
        uint64_t diff = Load64(a + n) ^ Load64(b + n);
        if (diff != 0) {
            if constexpr (std::endian::native == std::endian::little)
                n += std::countr_zero(diff) >> 3;
            else
                n += std::countl_zero(diff) >> 3;
            return std::min(n, limit);
        }
        n += 8;
    }
    return limit;
}

inline uint32_t ReverseBits(uint32_t code, int32_t length)
{
    uint32_t r = 0;
    for (int32_t i = 0; i < length; i++, code >>= 1)
        r = r << 1 | (code & 1);
    return r;
}

}  // namespace

void HuffmanCodeLengths(const uint32_t* frequencies, int32_t n, int32_t limit, uint8_t* lengths)
{
    assert(n <= 288);
    std::array<uint64_t, 288> freq{};
    int32_t used = 0;
    int32_t lastUsed = -1;
    for (int32_t s = 0; s < n; s++) {
        freq[size_t(s)] = frequencies[s];
        if (freq[size_t(s)] != 0) {
            used++;
            lastUsed = s;
        }
    }
    if (used == 0) {
        freq[size_t(n - 1)] = 1;
        lastUsed = n - 1;
        used = 1;
    }
    if (used == 1) {
        freq[size_t(lastUsed + 1 < n ? lastUsed + 1 : lastUsed - 1)] = 1;
        used = 2;
    }

    // Min-heap keyed by (frequency, node id). Leaves are ids 0 .. n - 1 and merged nodes come
    // after them, so a merged node ranks behind every symbol of the same frequency.
    constexpr int32_t idBits = 10;
    std::array<uint64_t, 288> heap{};
    std::array<int32_t, 2 * 288> parent{};
    std::array<int32_t, 2 * 288> depth{};
    int32_t heapSize = 0;
    auto greater = [](uint64_t a, uint64_t b) { return a > b; };
    for (int32_t s = 0; s < n; s++) {
        if (freq[size_t(s)] != 0)
            heap[size_t(heapSize++)] = freq[size_t(s)] << idBits | uint64_t(s);
    }
    std::make_heap(heap.begin(), heap.begin() + heapSize, greater);
    int32_t nextId = n;
    while (heapSize > 1) {
        std::pop_heap(heap.begin(), heap.begin() + heapSize--, greater);
        uint64_t a = heap[size_t(heapSize)];
        std::pop_heap(heap.begin(), heap.begin() + heapSize--, greater);
        uint64_t b = heap[size_t(heapSize)];
        int32_t id = nextId++;
        parent[size_t(a & ((1u << idBits) - 1))] = id;
        parent[size_t(b & ((1u << idBits) - 1))] = id;
        heap[size_t(heapSize++)] = ((a >> idBits) + (b >> idBits)) << idBits | uint64_t(id);
        std::push_heap(heap.begin(), heap.begin() + heapSize, greater);
    }
    int32_t root = nextId - 1;
    depth[size_t(root)] = 0;
    for (int32_t id = root - 1; id >= n; id--)
        depth[size_t(id)] = depth[size_t(parent[size_t(id)])] + 1;

    int32_t maxDepth = 0;
    for (int32_t s = 0; s < n; s++) {
        lengths[s] = 0;
        if (freq[size_t(s)] != 0) {
            depth[size_t(s)] = depth[size_t(parent[size_t(s)])] + 1;
            maxDepth = std::max(maxDepth, depth[size_t(s)]);
        }
    }
    if (maxDepth <= limit) {
        for (int32_t s = 0; s < n; s++) {
            if (freq[size_t(s)] != 0)
                lengths[s] = uint8_t(depth[size_t(s)]);
        }
        return;
    }

    // Too deep: clamp the deep leaves to the limit, then, while the lengths overfill the code
    // space, move one leaf up from the limit and push a shorter leaf one level down (keeping
    // the leaf count). Lengths then go back to the symbols, longest to the rarest.
    std::array<int32_t, 2 * 288> countAt{};
    for (int32_t s = 0; s < n; s++) {
        if (freq[size_t(s)] != 0)
            countAt[size_t(std::min(depth[size_t(s)], limit))]++;
    }
    uint64_t total = 0;
    for (int32_t d = 1; d <= limit; d++)
        total += uint64_t(countAt[size_t(d)]) << (limit - d);
    while (total > (uint64_t(1) << limit)) {
        countAt[size_t(limit)]--;
        for (int32_t d = limit - 1; d > 0; d--) {
            if (countAt[size_t(d)] != 0) {
                countAt[size_t(d)]--;
                countAt[size_t(d + 1)] += 2;
                break;
            }
        }
        total--;
    }
    std::array<int32_t, 288> order{};
    int32_t orderCount = 0;
    for (int32_t s = 0; s < n; s++) {
        if (freq[size_t(s)] != 0)
            order[size_t(orderCount++)] = s;
    }
    std::sort(order.begin(), order.begin() + orderCount, [&](int32_t a, int32_t b) {
        if (freq[size_t(a)] != freq[size_t(b)])
            return freq[size_t(a)] < freq[size_t(b)];
        return depth[size_t(a)] > depth[size_t(b)];
    });
    int32_t k = 0;
    for (int32_t d = limit; d >= 1; d--) {
        for (int32_t c = 0; c < countAt[size_t(d)]; c++)
            lengths[order[size_t(k++)]] = uint8_t(d);
    }
    assert(k == orderCount);
}

namespace {

// Canonical codes from lengths, bit-reversed because deflate sends Huffman codes from the
// most significant bit while the bit writer fills from the least significant end.
void BuildCodes(const uint8_t* lengths, int32_t n, uint16_t* codes)
{
    std::array<uint32_t, 16> count{};
    for (int32_t s = 0; s < n; s++)
        count[lengths[s]]++;
    count[0] = 0;
    std::array<uint32_t, 16> next{};
    uint32_t code = 0;
    for (int32_t bits = 1; bits <= 15; bits++) {
        code = (code + count[size_t(bits - 1)]) << 1;
        next[size_t(bits)] = code;
    }
    for (int32_t s = 0; s < n; s++) {
        int32_t len = lengths[s];
        codes[s] = len != 0 ? uint16_t(ReverseBits(next[size_t(len)]++, len)) : 0;
    }
}

struct FixedCodes {
    std::array<uint8_t, 288> literalLengths{};
    std::array<uint8_t, 30> distanceLengths{};
    std::array<uint16_t, 288> literalCodes{};
    std::array<uint16_t, 30> distanceCodes{};

    FixedCodes()
    {
        for (int32_t s = 0; s < 288; s++)
            literalLengths[size_t(s)] = s < 144 ? 8 : s < 256 ? 9 : s < 280 ? 7 : 8;
        distanceLengths.fill(5);
        BuildCodes(literalLengths.data(), 288, literalCodes.data());
        BuildCodes(distanceLengths.data(), 30, distanceCodes.data());
    }
};

const FixedCodes& Fixed()
{
    static const FixedCodes codes;
    return codes;
}

}  // namespace

// LSB-first bit packer with a staging buffer in front of the stream. After a refused write it
// drops everything and `failed` stays set.
struct DeflateBitWriter {
    explicit DeflateBitWriter(Core::OutputStream& output) : output(output) { staging.reserve(stagingSize + 8); }

    void Put(uint32_t value, int32_t count)
    {
        bits |= uint64_t(value) << bitCount;
        bitCount += count;
        if (bitCount >= 32) {
            uint8_t four[4] = {uint8_t(bits), uint8_t(bits >> 8), uint8_t(bits >> 16), uint8_t(bits >> 24)};
            staging.insert(staging.end(), four, four + 4);
            bits >>= 32;
            bitCount -= 32;
            if (staging.size() >= stagingSize)
                Drain();
        }
    }

    // Pads with zero bits to the next byte boundary and moves whole bytes to the staging buffer.
    void Align()
    {
        while (bitCount > 0) {
            staging.push_back(uint8_t(bits));
            bits >>= 8;
            bitCount = std::max(bitCount - 8, 0);
        }
        bits = 0;
    }

    // Only on a byte boundary.
    void PutBytes(const uint8_t* bytes, size_t length)
    {
        assert(bitCount == 0);
        Drain();
        if (!failed && length > 0 && !output.Write(bytes, length))
            failed = true;
    }

    void Drain()
    {
        if (!failed && !staging.empty() && !output.Write(staging.data(), staging.size()))
            failed = true;
        staging.clear();
    }

    static constexpr size_t stagingSize = 65536;
    Core::OutputStream& output;
    std::vector<uint8_t> staging;
    uint64_t bits = 0;
    int32_t bitCount = 0;
    bool failed = false;
};

Deflater::Deflater(int32_t requestedLevel)
    : level(std::clamp(requestedLevel, 0, 10)),
      distanceFactor(distanceFactors[level]),
      maxSteps(level == 10 ? thoroughSearchSteps : level == 9 ? bestSearchSteps : searchSteps),
      window(size_t(bufferSize + bufferPadding), 0),
      head(hashSize, emptySlot),
      chain(bufferSize, 0),
      codes(codeBufferSize, 0)
{
}

void Deflater::Reset()
{
    std::fill(head.begin(), head.end(), emptySlot);
    std::fill(chain.begin(), chain.end(), uint16_t(0));
    codeCount = 0;
    flagIndex = 0;
    itemsInGroup = 8;
    literalCount = 0;
    matchTotal = 0;
    blockStart = 0;
    blockBytes = 0;
}

inline void Deflater::Insert(int32_t position)
{
    uint32_t bucket = Hash(&window[size_t(position)]);
    uint16_t previous = head[bucket];
    int32_t distance = position - int32_t(previous);
    chain[size_t(position)] = (previous != emptySlot && distance <= windowSize) ? uint16_t(distance) : 0;
    head[bucket] = uint16_t(position);
}

// Longest match for `position` (already inserted) among earlier positions of its hash chain,
// using at most `available` bytes (3 or more). With a pending match the result must reach that
// match's length to matter, so the search starts from one less. A result below 3 means none.
inline int32_t Deflater::FindMatch(int32_t position, int32_t available, int32_t pendingLength,
                                   int32_t& bestDistance) const
{
    const uint8_t* current = &window[size_t(position)];
    int32_t best = pendingLength > 0 ? std::min(available, pendingLength - 1) : 0;
    int32_t distanceLimit = (distanceFactor * std::min(position, windowSize)) >> 8;
    int32_t steps = (level < 10 && pendingLength == maxMatch) ? 1 : maxSteps;
    int32_t distance = chain[size_t(position)];
    while (distance != 0 && distance <= distanceLimit && steps-- > 0) {
        int32_t candidate = position - distance;
        const uint8_t* earlier = &window[size_t(candidate)];
        // A candidate can only beat `best` if it also matches at offset best; testing the four
        // bytes ending there rejects most of them without a full comparison.
        bool worthCounting;
        if (best == 0)
            worthCounting = true;
        else if (best >= available)
            worthCounting = false;
        else if (best >= 3)
            worthCounting = Load32(earlier + best - 3) == Load32(current + best - 3);
        else
            worthCounting = earlier[best] == current[best];
        if (worthCounting) {
            int32_t length = MatchLength(current, earlier, available);
            if (length > best) {
                best = length;
                bestDistance = distance;
                if (length >= available)
                    break;
            }
        }
        uint16_t step = chain[size_t(candidate)];
        if (step == 0)
            break;
        distance += step;
    }
    return best >= minMatch ? best : 0;
}

// Drops the oldest `shift` bytes of the buffer; positions, heads and chains move with it, and
// links that would now point before the buffer start are cut.
void Deflater::Slide(int32_t shift)
{
    assert(shift > 0 && shift < bufferSize);
    std::memmove(window.data(), window.data() + shift, size_t(bufferSize - shift));
    for (uint16_t& h : head)
        h = (h == emptySlot || int32_t(h) < shift) ? emptySlot : uint16_t(h - shift);
    std::memmove(chain.data(), chain.data() + shift, size_t(bufferSize - shift) * sizeof(uint16_t));
    for (int32_t p = 0; p < std::min(windowSize, bufferSize - shift); p++) {
        if (chain[size_t(p)] > p)
            chain[size_t(p)] = 0;
    }
}

void Deflater::PutLiteral(uint8_t literal)
{
    if (itemsInGroup == 8) {
        flagIndex = codeCount;
        codes[codeCount++] = 0;
        itemsInGroup = 0;
    }
    codes[codeCount++] = literal;
    itemsInGroup++;
    literalCount++;
    blockBytes++;
}

void Deflater::PutMatch(int32_t distance, int32_t length)
{
    if (itemsInGroup == 8) {
        flagIndex = codeCount;
        codes[codeCount++] = 0;
        itemsInGroup = 0;
    }
    codes[flagIndex] |= uint8_t(1u << itemsInGroup);
    codes[codeCount++] = uint8_t(distance - 1);
    codes[codeCount++] = uint8_t((distance - 1) >> 8);
    codes[codeCount++] = uint8_t(length - 3);
    itemsInGroup++;
    matchTotal += length;
    blockBytes += size_t(length);
}

bool Deflater::Compress(const void* data, size_t length, Core::OutputStream& output)
{
    Reset();
    input = static_cast<const uint8_t*>(data);
    DeflateBitWriter bits(output);

    size_t consumed = 0;      // input bytes copied into the buffer
    int32_t fill = 0;         // valid bytes in the buffer
    int32_t position = 0;     // next buffer position to code
    int32_t insertedEnd = 0;  // positions below this are in the hash
    bool pending = false;
    int32_t pendingLength = 0;
    int32_t pendingDistance = 0;
    uint8_t pendingLiteral = 0;

    // Codes the pending match (which starts one byte back) and hashes the positions it covers.
    auto emitPending = [&]() {
        PutMatch(pendingDistance, pendingLength);
        int32_t end = position - 1 + pendingLength;
        int32_t hashable = std::min(end, fill - (minMatch - 1));
        for (int32_t p = std::max(insertedEnd, 0); p < hashable; p++)
            Insert(p);
        insertedEnd = std::max(insertedEnd, end);
        position = end;
        pending = false;
    };

    for (;;) {
        bool ended = consumed == length;
        // Keep a full match of lookahead until the input ends.
        if (!ended && position + maxMatch > fill) {
            if (position > windowSize) {
                int32_t shift = position - windowSize;
                Slide(shift);
                position -= shift;
                fill -= shift;
                insertedEnd -= shift;
            }
            size_t take = std::min(size_t(bufferSize - fill), length - consumed);
            std::memcpy(window.data() + fill, input + consumed, take);
            fill += int32_t(take);
            consumed += take;
            continue;
        }
        if (position >= fill)
            break;

        int32_t available = std::min(fill - position, maxMatch);
        int32_t matchLength = 0;
        int32_t matchDistance = 0;
        if (available >= minMatch) {
            Insert(position);
            insertedEnd = position + 1;
            matchLength = FindMatch(position, available, pending ? pendingLength : 0, matchDistance);
        }

        if (matchLength != 0 && !pending) {
            pending = true;
            pendingLength = matchLength;
            pendingDistance = matchDistance;
            pendingLiteral = window[size_t(position)];
            position++;
        } else if (matchLength > pendingLength && pending) {
            PutLiteral(pendingLiteral);
            pendingLength = matchLength;
            pendingDistance = matchDistance;
            pendingLiteral = window[size_t(position)];
            position++;
        } else if (pending) {
            emitPending();
        } else {
            PutLiteral(window[size_t(position)]);
            position++;
        }

        if (codeCount >= codeBufferFlush || (matchTotal + literalCount >= 32768 && literalCount >= 4096)) {
            if (!FlushBlock(bits, false))
                return false;
        }
    }
    if (pending)
        emitPending();
    if (!FlushBlock(bits, true))
        return false;
    bits.Align();
    bits.Drain();
    return !bits.failed;
}

namespace {

// Walks an LZ code buffer: groups of up to 8 items behind a flag byte, a literal as one byte, a
// match as (distance - 1) low, high, length - 3.
template <class OnLiteral, class OnMatch>
void ForEachCode(const uint8_t* codes, size_t codeCount, OnLiteral onLiteral, OnMatch onMatch)
{
    for (size_t i = 0; i < codeCount;) {
        uint8_t flags = codes[i++];
        for (int32_t k = 0; k < 8 && i < codeCount; k++) {
            if (flags & (1u << k)) {
                onMatch((codes[i] | codes[i + 1] << 8) + 1, codes[i + 2] + 3);
                i += 3;
            } else {
                onLiteral(codes[i++]);
            }
        }
    }
}

// How often each symbol occurs in a block, and the extra bits its matches carry.
struct BlockStatistics {
    std::array<uint32_t, literalAlphabet> literalFrequencies{};
    std::array<uint32_t, distanceAlphabet> distanceFrequencies{};
    uint64_t extraBits = 0;
};

BlockStatistics CountSymbols(const uint8_t* codes, size_t codeCount)
{
    BlockStatistics statistics;
    ForEachCode(
        codes, codeCount, [&](uint8_t literal) { statistics.literalFrequencies[literal]++; },
        [&](int32_t distance, int32_t length) {
            int32_t ls = LengthSymbol(length);
            int32_t ds = DistanceSymbol(distance);
            statistics.literalFrequencies[size_t(257 + ls)]++;
            statistics.distanceFrequencies[size_t(ds)]++;
            statistics.extraBits += lengthExtra[ls] + distanceExtra[ds];
        });
    statistics.literalFrequencies[256] = 1;  // the end of the block
    return statistics;
}

// A block's dynamic Huffman code lengths, and the run-length coded sequence of those lengths
// with the code that sends it.
struct DynamicCodes {
    std::array<uint8_t, literalAlphabet> literalLengths{};
    std::array<uint8_t, distanceAlphabet> distanceLengths{};
    int32_t literalsSent = literalAlphabet;
    int32_t distancesSent = distanceAlphabet;
    // Items of the length sequence: symbol in the low byte, repeat extra value in the high byte.
    std::array<uint16_t, literalAlphabet + distanceAlphabet> items{};
    int32_t itemCount = 0;
    std::array<uint32_t, codeLengthAlphabet> codeLengthFrequencies{};
    std::array<uint8_t, codeLengthAlphabet> codeLengthLengths{};
    int32_t codeLengthsSent = codeLengthAlphabet;

    void AddItem(int32_t symbol, int32_t extra)
    {
        items[size_t(itemCount++)] = uint16_t(symbol | extra << 8);
        codeLengthFrequencies[size_t(symbol)]++;
    }
};

// Codes a run of equal code lengths: zeros in runs of 3-10 (17) and 11-138 (18), other lengths
// once and then repeated 3-6 at a time (16); shorter rests go one by one.
void AddLengthRun(DynamicCodes& dynamic, uint8_t value, int32_t run)
{
    if (value == 0) {
        while (run >= 11) {
            int32_t r = std::min(run, 138);
            dynamic.AddItem(18, r - 11);
            run -= r;
        }
        if (run >= 3) {
            dynamic.AddItem(17, run - 3);
            run = 0;
        }
    } else {
        dynamic.AddItem(value, 0);
        run--;
        while (run >= 3) {
            int32_t r = std::min(run, 6);
            dynamic.AddItem(16, r - 3);
            run -= r;
        }
    }
    for (; run > 0; run--)
        dynamic.AddItem(value, 0);
}

DynamicCodes MakeDynamicCodes(const BlockStatistics& statistics)
{
    DynamicCodes dynamic;
    HuffmanCodeLengths(statistics.literalFrequencies.data(), literalAlphabet, maxCodeBits,
                       dynamic.literalLengths.data());
    HuffmanCodeLengths(statistics.distanceFrequencies.data(), distanceAlphabet, maxCodeBits,
                       dynamic.distanceLengths.data());
    while (dynamic.literalsSent > 257 && dynamic.literalLengths[size_t(dynamic.literalsSent - 1)] == 0)
        dynamic.literalsSent--;
    while (dynamic.distancesSent > 1 && dynamic.distanceLengths[size_t(dynamic.distancesSent - 1)] == 0)
        dynamic.distancesSent--;

    std::array<uint8_t, literalAlphabet + distanceAlphabet> sequence{};
    int32_t sequenceLength = 0;
    for (int32_t s = 0; s < dynamic.literalsSent; s++)
        sequence[size_t(sequenceLength++)] = dynamic.literalLengths[size_t(s)];
    for (int32_t s = 0; s < dynamic.distancesSent; s++)
        sequence[size_t(sequenceLength++)] = dynamic.distanceLengths[size_t(s)];
    for (int32_t i = 0; i < sequenceLength;) {
        uint8_t value = sequence[size_t(i)];
        int32_t run = 1;
        while (i + run < sequenceLength && sequence[size_t(i + run)] == value)
            run++;
        i += run;
        AddLengthRun(dynamic, value, run);
    }
    HuffmanCodeLengths(dynamic.codeLengthFrequencies.data(), codeLengthAlphabet, maxCodeLengthBits,
                       dynamic.codeLengthLengths.data());
    while (dynamic.codeLengthsSent > 4 && dynamic.codeLengthLengths[codeLengthOrder[dynamic.codeLengthsSent - 1]] == 0)
        dynamic.codeLengthsSent--;
    return dynamic;
}

// Sizes in bits of the three ways to send a block.
struct BlockSizes {
    uint64_t stored = 0, fixed = 0, dynamic = 0;
    uint64_t storedPieces = 0;  // a stored block holds at most storedPiece bytes
};

BlockSizes SizeBlock(const BlockStatistics& statistics, const DynamicCodes& dynamic, size_t blockBytes)
{
    const FixedCodes& fixed = Fixed();
    BlockSizes sizes;
    sizes.fixed = 3 + statistics.extraBits;
    sizes.dynamic = 26 + 3 * uint64_t(dynamic.codeLengthsSent) + statistics.extraBits;
    for (int32_t s = 0; s < literalAlphabet; s++) {
        sizes.fixed += uint64_t(statistics.literalFrequencies[size_t(s)]) * fixed.literalLengths[size_t(s)];
        sizes.dynamic += uint64_t(statistics.literalFrequencies[size_t(s)]) * dynamic.literalLengths[size_t(s)];
    }
    for (int32_t s = 0; s < distanceAlphabet; s++) {
        sizes.fixed += uint64_t(statistics.distanceFrequencies[size_t(s)]) * 5;
        sizes.dynamic += uint64_t(statistics.distanceFrequencies[size_t(s)]) * dynamic.distanceLengths[size_t(s)];
    }
    for (int32_t s = 0; s < codeLengthAlphabet; s++)
        sizes.dynamic += uint64_t(dynamic.codeLengthFrequencies[size_t(s)]) * dynamic.codeLengthLengths[size_t(s)];
    sizes.dynamic += 2 * uint64_t(dynamic.codeLengthFrequencies[16]) + 3 * uint64_t(dynamic.codeLengthFrequencies[17]) +
                     7 * uint64_t(dynamic.codeLengthFrequencies[18]);
    sizes.storedPieces = std::max<uint64_t>(1, (blockBytes + storedPiece - 1) / storedPiece);
    sizes.stored = 8 * (blockBytes + 4 * sizes.storedPieces) + 8;
    return sizes;
}

void PutStoredBlocks(DeflateBitWriter& bits, const uint8_t* bytes, size_t blockBytes, uint64_t pieces, bool final)
{
    size_t left = blockBytes;
    for (uint64_t piece = 0; piece < pieces; piece++) {
        size_t n = std::min(left, storedPiece);
        left -= n;
        bits.Put(final && left == 0 ? 1 : 0, 1);
        bits.Put(0, 2);
        bits.Align();
        bits.Put(uint32_t(n), 16);
        bits.Put(uint32_t(n) ^ 0xFFFF, 16);
        bits.PutBytes(bytes, n);
        bytes += n;
    }
}

// The header of a dynamic block: its three counts, the code-length code, then the code lengths.
void PutDynamicHeader(DeflateBitWriter& bits, const DynamicCodes& dynamic, bool final)
{
    std::array<uint16_t, codeLengthAlphabet> codeLengthCodes{};
    BuildCodes(dynamic.codeLengthLengths.data(), codeLengthAlphabet, codeLengthCodes.data());
    bits.Put(final ? 1 : 0, 1);
    bits.Put(2, 2);
    bits.Put(uint32_t(dynamic.literalsSent - 257), 5);
    bits.Put(uint32_t(dynamic.distancesSent - 1), 5);
    bits.Put(uint32_t(dynamic.codeLengthsSent - 4), 4);
    for (int32_t i = 0; i < dynamic.codeLengthsSent; i++)
        bits.Put(dynamic.codeLengthLengths[codeLengthOrder[i]], 3);
    for (int32_t i = 0; i < dynamic.itemCount; i++) {
        int32_t symbol = dynamic.items[size_t(i)] & 0xFF;
        int32_t extra = dynamic.items[size_t(i)] >> 8;
        bits.Put(codeLengthCodes[size_t(symbol)], dynamic.codeLengthLengths[size_t(symbol)]);
        if (symbol == 16)
            bits.Put(uint32_t(extra), 2);
        else if (symbol == 17)
            bits.Put(uint32_t(extra), 3);
        else if (symbol == 18)
            bits.Put(uint32_t(extra), 7);
    }
}

// One Huffman code for literals and lengths and one for distances, each as lengths and codes.
struct BlockCode {
    const uint8_t* literalLengths;
    const uint16_t* literalCodes;
    const uint8_t* distanceLengths;
    const uint16_t* distanceCodes;
};

// The block's codes and its end, in the given code.
void PutCodes(DeflateBitWriter& bits, const uint8_t* codes, size_t codeCount, const BlockCode& code)
{
    ForEachCode(
        codes, codeCount, [&](uint8_t literal) { bits.Put(code.literalCodes[literal], code.literalLengths[literal]); },
        [&](int32_t distance, int32_t length) {
            int32_t ls = LengthSymbol(length);
            int32_t ds = DistanceSymbol(distance);
            bits.Put(code.literalCodes[257 + ls], code.literalLengths[257 + ls]);
            if (lengthExtra[ls] != 0)
                bits.Put(uint32_t(length - lengthBase[ls]), lengthExtra[ls]);
            bits.Put(code.distanceCodes[ds], code.distanceLengths[ds]);
            if (distanceExtra[ds] != 0)
                bits.Put(uint32_t(distance - distanceBase[ds]), distanceExtra[ds]);
        });
    bits.Put(code.literalCodes[256], code.literalLengths[256]);
}

}  // namespace

bool Deflater::FlushBlock(DeflateBitWriter& bits, bool final)
{
    const BlockStatistics statistics = CountSymbols(codes.data(), codeCount);
    const DynamicCodes dynamic = MakeDynamicCodes(statistics);
    const BlockSizes sizes = SizeBlock(statistics, dynamic, blockBytes);

    if (sizes.stored <= sizes.fixed && sizes.stored <= sizes.dynamic) {
        PutStoredBlocks(bits, input + blockStart, blockBytes, sizes.storedPieces, final);
    } else if (sizes.fixed > sizes.dynamic) {
        std::array<uint16_t, literalAlphabet> literalCodes{};
        std::array<uint16_t, distanceAlphabet> distanceCodes{};
        BuildCodes(dynamic.literalLengths.data(), literalAlphabet, literalCodes.data());
        BuildCodes(dynamic.distanceLengths.data(), distanceAlphabet, distanceCodes.data());
        PutDynamicHeader(bits, dynamic, final);
        PutCodes(bits, codes.data(), codeCount,
                 {dynamic.literalLengths.data(), literalCodes.data(), dynamic.distanceLengths.data(),
                  distanceCodes.data()});
    } else {
        const FixedCodes& fixed = Fixed();
        bits.Put(final ? 1 : 0, 1);
        bits.Put(1, 2);
        PutCodes(bits, codes.data(), codeCount,
                 {fixed.literalLengths.data(), fixed.literalCodes.data(), fixed.distanceLengths.data(),
                  fixed.distanceCodes.data()});
    }

    blockStart += blockBytes;
    blockBytes = 0;
    codeCount = 0;
    flagIndex = 0;
    itemsInGroup = 8;
    literalCount = 0;
    matchTotal = 0;
    return !bits.failed;
}

}  // namespace Image
