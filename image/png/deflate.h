#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "core/stream.h"

namespace Image {

// Huffman code lengths for frequencies[0 .. count) (count <= 288), none longer than limit;
// unused symbols get 0. Every code gets at least two symbols, since decoders reject a code
// with one: an alphabet with no or one used symbol gains a neighbour with frequency 1.
void HuffmanCodeLengths(const uint32_t* frequencies, int32_t count, int32_t limit, uint8_t* lengths);

struct DeflateBitWriter;

// Raw deflate (RFC 1951) encoder: LZ77 with hash chains and one-step lazy matching, then one
// Huffman block (stored, fixed or dynamic, whichever is smallest) per flushed stretch of codes.
// One Deflater can compress several inputs in turn; it is not shared between threads.
class Deflater {
public:
    // 0 (fastest) to 10 (most thorough); values outside are clamped.
    explicit Deflater(int32_t level = 9);

    // Writes one complete raw deflate stream for the input. False once the stream has refused a
    // write: nothing more reaches it, and compression stops at the end of the current block.
    bool Compress(const void* input, size_t length, Core::OutputStream& output);

    int32_t Level() const { return level; }

private:

    void Reset();
    void Insert(int32_t position);
    int32_t FindMatch(int32_t position, int32_t available, int32_t pendingLength, int32_t& distance) const;
    void Slide(int32_t shift);
    void PutLiteral(uint8_t literal);
    void PutMatch(int32_t distance, int32_t length);
    // Sends the pending codes as one block, stored, fixed or dynamic, whichever is smallest.
    bool FlushBlock(DeflateBitWriter& bits, bool final);

    int32_t level;
    int32_t distanceFactor;
    int32_t maxSteps;

    // Coding state: buffer positions are 16-bit, so the window is the 32 KiB below `position`
    // and the rest of the 64 KiB buffer is lookahead.
    std::vector<uint8_t> window;
    std::vector<uint16_t> head;   // hash bucket -> newest position, emptySlot when none
    std::vector<uint16_t> chain;  // position -> distance back to the previous one in its bucket, 0 none

    // Pending LZ codes of the current block: a flag byte before every group of up to eight
    // items, bit k set when item k is a match (3 bytes: distance - 1 low, high, length - 3).
    std::vector<uint8_t> codes;
    size_t codeCount = 0;
    size_t flagIndex = 0;
    int32_t itemsInGroup = 8;
    int32_t literalCount = 0;
    int64_t matchTotal = 0;

    // Where the current block's bytes start in the caller's input, for stored blocks.
    const uint8_t* input = nullptr;
    size_t blockStart = 0;
    size_t blockBytes = 0;
};

}  // namespace Image
