#include "core/segment_heap.h"

#include <algorithm>
#include <bit>
#include <cassert>
#include <cstring>

#include "core/platform/platform.h"

namespace Core {
namespace {

// Block header: word 0 holds the payload size in 8-byte units and the flags below, word 1 the
// address of the previous block's header in the segment (null for the first). A segment ends
// with a header whose word 0 is all ones.
constexpr size_t headerSize = 16;
constexpr uint64_t usedFlag = uint64_t(1) << 63;
// Free, but in no list: a sliver with no room for the two list links, or the unused end of a
// segment that holds one block.
constexpr uint64_t unlistedFlag = uint64_t(1) << 62;
// The previous block is free. Freeing a block then reads the previous header only when there
// is something to merge: that read is a cache miss more often than not.
constexpr uint64_t prevFreeFlag = uint64_t(1) << 61;
constexpr uint64_t flagBits = usedFlag | unlistedFlag | prevFreeFlag;
constexpr uint64_t endMark = ~uint64_t(0);
// A free block's payload starts with the next and previous links of its list.
constexpr uint64_t smallestListed = 16;

// Segments of the default size hold many blocks; bigger ones are sized for their request.
// Raising it means fewer system calls and fewer segments, at the cost of memory the process
// holds but may never touch (untouched pages cost nothing).
constexpr size_t defaultSegmentSize = 0x1100000;
// Segments come from large-page mappings, so they are whole large pages.
constexpr size_t segmentGranularity = Platform::LargePageSize;
// Requests above this are refused outright, so no size computation below can overflow.
constexpr uint64_t largestRequest = ~uint64_t(0) - (uint64_t(1) << 20);
// Larger requests cannot be mapped on any machine this runs on; they fail as out of memory
// without a size computation that could wrap around.
constexpr uint64_t largestMappable = uint64_t(1) << 56;

constexpr uint32_t topClass = SegmentHeap::classCount - 1;
constexpr uint32_t noClass = ~uint32_t(0);

uint64_t& Word(char* header) { return *reinterpret_cast<uint64_t*>(header); }
uint64_t Word(const char* header) { return *reinterpret_cast<const uint64_t*>(header); }
char*& PrevOf(char* header) { return *reinterpret_cast<char**>(header + 8); }
const char* PrevOf(const char* header) { return *reinterpret_cast<char* const*>(header + 8); }
char*& NextLink(char* header) { return *reinterpret_cast<char**>(header + headerSize); }
char*& PrevLink(char* header) { return *reinterpret_cast<char**>(header + headerSize + 8); }
const char* NextLink(const char* header) { return *reinterpret_cast<char* const*>(header + headerSize); }
const char* PrevLink(const char* header) { return *reinterpret_cast<char* const*>(header + headerSize + 8); }

bool IsEnd(const char* header) { return Word(header) == endMark; }
bool IsUsed(const char* header) { return !IsEnd(header) && (Word(header) & usedFlag); }
bool IsFree(const char* header) { return !IsEnd(header) && !(Word(header) & usedFlag); }
bool IsListed(const char* header) { return IsFree(header) && !(Word(header) & unlistedFlag); }
bool IsPrevFree(const char* header) { return Word(header) & prevFreeFlag; }
uint64_t SizeOf(const char* header) { return (Word(header) & ~flagBits) * 8; }
char* NextOf(char* header) { return header + headerSize + SizeOf(header); }
const char* NextOf(const char* header) { return header + headerSize + SizeOf(header); }
void MarkPrevFree(char* header, bool prevFree)
{
    if (!IsEnd(header))
        Word(header) = prevFree ? Word(header) | prevFreeFlag : Word(header) & ~prevFreeFlag;
}
char* HeaderOf(void* block) { return static_cast<char*>(block) - headerSize; }
const char* HeaderOf(const void* block) { return static_cast<const char*>(block) - headerSize; }

// Bytes from the payload start of the block at `header` up to the next multiple of `alignment`,
// a power of two.
uint64_t AlignmentGap(const char* header, size_t alignment)
{
    return (0 - (reinterpret_cast<uintptr_t>(header) + headerSize)) & (alignment - 1);
}

uint64_t Rounded(size_t size) { return size < 8 ? 8 : (uint64_t(size) + 7) & ~uint64_t(7); }
uint64_t RoundUp(uint64_t value, uint64_t granularity) { return (value + granularity - 1) & ~(granularity - 1); }

// 4-byte classes below 512 bytes, then 64 classes per power of two; everything from 1 GiB on
// shares the top class.
uint32_t ClassOf(uint64_t size)
{
    if (size < 512)
        return uint32_t(size / 4);
    if (size >= (uint64_t(1) << 30))
        return topClass;
    int e = 63 - std::countl_zero(size);
    return uint32_t((e - 7) * 64 + int((size - (uint64_t(1) << e)) >> (e - 6)));
}

uint64_t ClassMinimum(uint32_t c)
{
    if (c < 128)
        return uint64_t(c) * 4;
    int e = int(c / 64) + 7;
    return (uint64_t(1) << e) + (uint64_t(c % 64) << (e - 6));
}

}  // namespace

SegmentHeap::~SegmentHeap()
{
    for (int32_t i = 0; i < segmentCount; i++)
        Platform::UnmapLargeBlock(segments[i].base, segments[i].size);
}

// ---- statistics ----

void SegmentHeap::CountAlloc(uint64_t size)
{
    stats.allocBlocks++;
    stats.allocSize += size;
    stats.peakAllocSize = std::max(stats.peakAllocSize, stats.allocSize + headerSize * stats.allocBlocks);
    stats.peakBlockSize = std::max(stats.peakBlockSize, size);
}

void SegmentHeap::CountResize(uint64_t oldSize, uint64_t newSize)
{
    stats.allocSize = stats.allocSize - oldSize + newSize;
    stats.peakAllocSize = std::max(stats.peakAllocSize, stats.allocSize + headerSize * stats.allocBlocks);
    stats.peakBlockSize = std::max(stats.peakBlockSize, newSize);
}

void SegmentHeap::CountFreeBlock(uint64_t size, int64_t sign)
{
    stats.freeBlocks += uint64_t(sign);
    stats.freeSize += uint64_t(sign) * size;
}

// ---- segments ----

int32_t SegmentHeap::FindSegment(const void* address) const
{
    const char* at = static_cast<const char*>(address);
    int32_t low = 0, high = segmentCount;
    while (low < high) {
        int32_t middle = (low + high) / 2;
        if (segments[middle].base <= at)
            low = middle + 1;
        else
            high = middle;
    }
    int32_t found = low - 1;
    if (found >= 0 && at < segments[found].base + segments[found].size)
        return found;
    return -1;
}

void SegmentHeap::InsertSegment(char* base, size_t size, bool ownBlock)
{
    int32_t at = segmentCount;
    while (at > 0 && segments[at - 1].base > base) {
        segments[at] = segments[at - 1];
        at--;
    }
    segments[at] = {base, size, ownBlock};
    segmentCount++;
    stats.totalSize += size;
}

void SegmentHeap::RemoveSegment(int32_t index)
{
    stats.totalSize -= segments[index].size;
    for (int32_t i = index; i + 1 < segmentCount; i++)
        segments[i] = segments[i + 1];
    segmentCount--;
}

// Maps a segment of at least `length` bytes; null, with the reason noted, when the table is full
// or the system refuses.
char* SegmentHeap::MapSegment(uint64_t length, size_t& mapped)
{
    if (segmentCount >= segmentLimit) {
        lastFailure = HeapFailure::NoSegmentSlot;
        return nullptr;
    }
    if (length > largestMappable) {
        lastFailure = HeapFailure::NoMemory;
        return nullptr;
    }
    mapped = size_t(RoundUp(length, segmentGranularity));
    char* base = static_cast<char*>(Platform::MapLargeBlock(mapped));
    if (!base)
        lastFailure = HeapFailure::NoMemory;
    return base;
}

bool SegmentHeap::AddSharedSegment(uint64_t rounded, size_t alignment)
{
    size_t length = 0;
    char* base = MapSegment(std::max<uint64_t>(rounded + alignment + 40, defaultSegmentSize), length);
    if (!base)
        return false;
    InsertSegment(base, length, false);
    char* end = base + length - headerSize;
    Word(end) = endMark;
    PrevOf(end) = base;
    PrevOf(base) = nullptr;
    MakeFree(base, length - 2 * headerSize, true);
    return true;
}

// ---- free lists ----

void SegmentHeap::Link(char* header)
{
    uint32_t c = ClassOf(SizeOf(header));
    char* head = heads[c];
    if (!head) {
        NextLink(header) = PrevLink(header) = nullptr;
        heads[c] = tails[c] = header;
        occupied[c / 64] |= uint64_t(1) << (c % 64);
        occupiedSummary |= uint64_t(1) << (c / 64);
    } else if (header < head) {
        // The head stays the lowest address of its list, so the first choice of a class is
        // its lowest block and memory fills from the bottom of the segments up.
        NextLink(header) = head;
        PrevLink(header) = nullptr;
        PrevLink(head) = header;
        heads[c] = header;
    } else {
        char* tail = tails[c];
        NextLink(header) = nullptr;
        PrevLink(header) = tail;
        NextLink(tail) = header;
        tails[c] = header;
    }
    lengths[c]++;
}

void SegmentHeap::Unlink(char* header)
{
    uint32_t c = ClassOf(SizeOf(header));
    char* next = NextLink(header);
    char* prev = PrevLink(header);
    if (prev)
        NextLink(prev) = next;
    else
        heads[c] = next;
    if (next)
        PrevLink(next) = prev;
    else
        tails[c] = prev;
    if (--lengths[c] == 0) {
        occupied[c / 64] &= ~(uint64_t(1) << (c % 64));
        if (occupied[c / 64] == 0)
            occupiedSummary &= ~(uint64_t(1) << (c / 64));
    }
}

// The first class at or above `from` whose list is non-empty.
uint32_t SegmentHeap::NextOccupiedClass(uint32_t from) const
{
    uint32_t word = from / 64;
    uint64_t bits = occupied[word] & (~uint64_t(0) << (from % 64));
    if (!bits) {
        uint64_t words = occupiedSummary & (~uint64_t(0) << word) & ~(uint64_t(1) << word);
        if (!words)
            return noClass;
        word = uint32_t(std::countr_zero(words));
        bits = occupied[word];
    }
    return word * 64 + uint32_t(std::countr_zero(bits));
}

// A free block with at least `searchSize` payload bytes, lowest-addressed among the candidates
// of the smallest class that certainly fits; null when none.
char* SegmentHeap::FindFreeBlock(uint64_t searchSize)
{
    uint32_t c = ClassOf(searchSize);
    if (c < topClass && ClassMinimum(c) < searchSize)
        c++;
    for (c = NextOccupiedClass(c); c != noClass; c = c < topClass ? NextOccupiedClass(c + 1) : noClass) {
        if (ClassMinimum(c) >= searchSize)
            return std::min(heads[c], tails[c]);
        // Only the top class mixes sizes below and above the request.
        stats.slowBucket++;
        char* best = nullptr;
        for (char* block = heads[c]; block; block = NextLink(block)) {
            if (SizeOf(block) >= searchSize && (!best || block < best))
                best = block;
        }
        if (best)
            return best;
    }
    return nullptr;
}

// A block from the free lists whose payload can start on `alignment` and hold `rounded` bytes.
char* SegmentHeap::FindFittingBlock(uint64_t rounded, size_t alignment)
{
    if (alignment <= 8)
        return FindFreeBlock(rounded);
    // Payloads all start on 8 bytes; where the first candidate of the request's own size
    // happens to be aligned, it fits as it is. Searching only with room for any misalignment
    // would never hand a freed block back to a request of its own size.
    char* block = FindFreeBlock(rounded);
    if (block) {
        uint64_t gap = AlignmentGap(block, alignment);
        if (SizeOf(block) >= rounded + gap)
            return block;
    }
    return FindFreeBlock(rounded - 1 + alignment);
}

// ---- blocks ----

// Turns the block at `header` free with `size` payload bytes; its neighbour links must already
// be right, and neither neighbour may be free.
void SegmentHeap::MakeFree(char* header, uint64_t size, bool listable)
{
    bool listed = listable && size >= smallestListed;
    Word(header) = (size / 8) | (listed ? 0 : unlistedFlag);
    MarkPrevFree(NextOf(header), true);
    CountFreeBlock(size, 1);
    if (listed)
        Link(header);
}

// Takes a free block out of its list and the counts, before it is used or merged.
void SegmentHeap::TakeFree(char* header)
{
    if (IsListed(header))
        Unlink(header);
    CountFreeBlock(SizeOf(header), -1);
}

// Cuts a block down to `keep` payload bytes when at least a header's worth is left over; the
// rest becomes a free block, merged with the next block when that one is free.
void SegmentHeap::SplitTail(char* header, uint64_t keep, bool listable)
{
    uint64_t size = SizeOf(header);
    if (size < keep + headerSize)
        return;
    char* next = NextOf(header);
    char* rest = header + headerSize + keep;
    uint64_t restSize = size - keep - headerSize;
    Word(header) = (keep / 8) | (Word(header) & (usedFlag | prevFreeFlag));
    PrevOf(rest) = header;
    if (IsFree(next)) {
        TakeFree(next);
        restSize += headerSize + SizeOf(next);
        next = NextOf(next);
    }
    PrevOf(next) = rest;
    MakeFree(rest, restSize, listable);
}

// Moves the start of the free block at `header` up so that its payload is aligned and returns
// the moved header. A one-word gap goes to the previous block, which is in use because free
// blocks never touch; a larger gap becomes a free block of its own.
char* SegmentHeap::AlignStart(char* header, size_t alignment)
{
    uint64_t gap = AlignmentGap(header, alignment);
    if (gap == 0)
        return header;
    uint64_t size = SizeOf(header);
    char* prev = PrevOf(header);
    char* next = NextOf(header);
    char* moved = header + gap;
    Word(moved) = (size - gap) / 8;
    if (gap == 8) {
        assert(prev && IsUsed(prev));
        Word(prev) += 1;
        stats.allocSize += 8;
        PrevOf(moved) = prev;
    } else {
        PrevOf(moved) = header;
        MakeFree(header, gap - headerSize, true);
    }
    PrevOf(next) = moved;
    return moved;
}

void* SegmentHeap::PlaceBlock(char* header, uint64_t rounded, size_t alignment)
{
    TakeFree(header);
    header = AlignStart(header, alignment);
    Word(header) |= usedFlag;
    SplitTail(header, rounded, true);
    // The block after is the new rest, or the old neighbour that saw a free block before it.
    MarkPrevFree(NextOf(header), false);
    CountAlloc(SizeOf(header));
    return header + headerSize;
}

// ---- segments of one block ----

// Lays out a segment holding one block of `rounded` bytes at its start: the block, the unused
// rest as an unlisted free block (or, when only a word is left, as part of the block), the end
// mark. Keeps the free counts of the rest.
void SegmentHeap::LayOutOwnSegment(char* base, size_t length, uint64_t rounded)
{
    char* end = base + length - headerSize;
    char* afterBlock = base + headerSize + rounded;
    uint64_t rest = uint64_t(end - afterBlock);
    Word(end) = endMark;
    PrevOf(base) = nullptr;
    if (rest < headerSize) {
        Word(base) = ((rounded + rest) / 8) | usedFlag;
        PrevOf(end) = base;
    } else {
        Word(base) = (rounded / 8) | usedFlag;
        PrevOf(afterBlock) = base;
        PrevOf(end) = afterBlock;
        MakeFree(afterBlock, rest - headerSize, false);
    }
}

// Takes the unused rest of a segment of one block out of the free counts, before the segment
// is laid out anew or given back.
void SegmentHeap::ForgetOwnSegmentRest(char* base)
{
    char* next = NextOf(base);
    if (!IsEnd(next))
        CountFreeBlock(SizeOf(next), -1);
}

void* SegmentHeap::AllocOwnSegment(uint64_t rounded)
{
    size_t length = 0;
    char* base = MapSegment(rounded + 2 * headerSize, length);
    if (!base)
        return nullptr;
    InsertSegment(base, length, true);
    LayOutOwnSegment(base, length, rounded);
    CountAlloc(SizeOf(base));
    return base + headerSize;
}

void* SegmentHeap::ReallocOwnSegment(int32_t index, uint64_t rounded)
{
    Segment segment = segments[index];
    uint64_t oldSize = SizeOf(segment.base);
    constexpr uint64_t noRest = ~uint64_t(0);
    uint64_t restSize = IsEnd(NextOf(segment.base)) ? noRest : SizeOf(NextOf(segment.base));
    stats.reallocCalls++;
    if (rounded + 2 * headerSize > largestMappable) {
        lastFailure = HeapFailure::NoMemory;
        return nullptr;
    }
    size_t length = size_t(RoundUp(rounded + 2 * headerSize, segmentGranularity));
    char* base = segment.base;
    if (length != segment.size) {
        // The pages move to a new place by their page-table entries: no copy, and the pages
        // already touched need no first touch again.
        base = static_cast<char*>(Platform::RemapLargeBlock(segment.base, segment.size, length));
        if (!base) {
            lastFailure = HeapFailure::NoMemory;
            return nullptr;
        }
        RemoveSegment(index);
        InsertSegment(base, length, true);
    } else {
        stats.reallocSucc++;
    }
    // The old rest may lie beyond a shrunk segment's end, so its size was read before.
    if (restSize != noRest)
        CountFreeBlock(restSize, -1);
    LayOutOwnSegment(base, length, rounded);
    CountResize(oldSize, SizeOf(base));
    return base + headerSize;
}

// ---- the operations ----

void* SegmentHeap::Alloc(size_t size, size_t alignment) { return Alloc(size, alignment, ownSegmentMinimum); }

void* SegmentHeap::Alloc(size_t size, size_t alignment, size_t ownSegmentLimit)
{
    if (alignment > maxAlignment || uint64_t(size) > largestRequest) {
        lastFailure = HeapFailure::Refused;
        return nullptr;
    }
    stats.allocCalls++;
    uint64_t rounded = Rounded(size);
    if (rounded > largestMappable) {
        lastFailure = HeapFailure::NoMemory;
        return nullptr;
    }
    alignment = std::bit_ceil(std::max<size_t>(alignment, 8));
    // Blocks get segments of their own only while a quarter of the table is left, which stays
    // for the segments that many blocks share.
    if (rounded >= ownSegmentLimit && alignment <= headerSize && segmentCount < segmentLimit - segmentLimit / 4) {
        if (void* block = AllocOwnSegment(rounded))
            return block;
        if (lastFailure == HeapFailure::NoMemory)
            return nullptr;
    }
    char* header = FindFittingBlock(rounded, alignment);
    if (!header) {
        if (!AddSharedSegment(rounded, alignment))
            return nullptr;
        header = FindFittingBlock(rounded, alignment);
        assert(header && "a new segment always fits its request");
    }
    return PlaceBlock(header, rounded, alignment);
}

bool SegmentHeap::TryFree(void* block)
{
    int32_t index = FindSegment(block);
    if (index < 0)
        return false;
    FreeInSegment(index, HeaderOf(block));
    return true;
}

void SegmentHeap::Free(void* block)
{
    if (!block)
        return;
    bool owned = TryFree(block);
    assert(owned && "SegmentHeap::Free of a block that is not the heap's");
    (void)owned;
}

void SegmentHeap::FreeInSegment(int32_t index, char* header)
{
    assert(IsUsed(header) && "freeing a block that is not in use");
    uint64_t size = SizeOf(header);
    stats.freeCalls++;
    stats.allocBlocks--;
    stats.allocSize -= size;
    if (segments[index].ownBlock) {
        ForgetOwnSegmentRest(segments[index].base);
        Platform::UnmapLargeBlock(segments[index].base, segments[index].size);
        RemoveSegment(index);
        return;
    }
    char* next = header + headerSize + size;
    if (IsPrevFree(header)) {
        char* prev = PrevOf(header);
        TakeFree(prev);
        size += SizeOf(prev) + headerSize;
        header = prev;
    }
    if (IsFree(next)) {
        TakeFree(next);
        size += headerSize + SizeOf(next);
        next = NextOf(next);
    }
    PrevOf(next) = header;
    MakeFree(header, size, true);
}

bool SegmentHeap::ResizeInPlace(char* header, uint64_t rounded)
{
    uint64_t oldSize = SizeOf(header);
    if (rounded > oldSize) {
        char* next = NextOf(header);
        if (!IsFree(next) || oldSize + headerSize + SizeOf(next) < rounded)
            return false;
        TakeFree(next);
        char* afterNext = NextOf(next);
        Word(header) = ((oldSize + headerSize + SizeOf(next)) / 8) | (Word(header) & (usedFlag | prevFreeFlag));
        PrevOf(afterNext) = header;
        MarkPrevFree(afterNext, false);
    }
    SplitTail(header, rounded, true);
    CountResize(oldSize, SizeOf(header));
    return true;
}

void* SegmentHeap::Realloc(void* block, size_t size)
{
    if (!block)
        return Alloc(size, 16, growingOwnSegmentMinimum);
    if (size == 0) {
        Free(block);
        return nullptr;
    }
    if (uint64_t(size) > largestRequest) {
        lastFailure = HeapFailure::Refused;
        return nullptr;
    }
    int32_t index = FindSegment(block);
    assert(index >= 0 && "SegmentHeap::Realloc of a block that is not the heap's");
    uint64_t rounded = Rounded(size);
    if (segments[index].ownBlock)
        return ReallocOwnSegment(index, rounded);
    // A block that grows this big is likely to grow on: it moves to a segment of its own now,
    // where later growth moves pages instead of copying.
    bool movesToOwnSegment = rounded >= growingOwnSegmentMinimum && rounded > SizeOf(HeaderOf(block));
    if (!movesToOwnSegment) {
        stats.reallocCalls++;
        if (ResizeInPlace(HeaderOf(block), rounded)) {
            stats.reallocSucc++;
            return block;
        }
    }
    void* moved = Alloc(size, 16, growingOwnSegmentMinimum);
    if (!moved)
        return nullptr;
    std::memcpy(moved, block, size_t(std::min(rounded, SizeOf(HeaderOf(block)))));
    Free(block);
    return moved;
}

size_t SegmentHeap::BlockSize(const void* block) const { return size_t(SizeOf(HeaderOf(block))); }

// ---- statistics and checks ----

HeapStats SegmentHeap::GetStats(bool detailed) const
{
    HeapStats result = stats;
    result.numSegments = segmentCount;
    result.bookKeeping = stats.totalSize - stats.allocSize - stats.freeSize;
    if (!detailed)
        return result;
    for (int32_t i = 0; i < segmentCount; i++) {
        for (const char* header = segments[i].base; !IsEnd(header); header = NextOf(header)) {
            uint64_t& largest = IsUsed(header) ? result.maxAllocSize : result.maxFreeSize;
            largest = std::max(largest, SizeOf(header));
        }
    }
    for (uint32_t c = 0; c < uint32_t(classCount); c++)
        result.largestFreeChain = std::max(result.largestFreeChain, lengths[c]);
    return result;
}

bool SegmentHeap::CheckSegment(int32_t index, HeapStats& walked, uint64_t& listedBlocks) const
{
    const Segment& segment = segments[index];
    const char* end = segment.base + segment.size - headerSize;
    const char* prev = nullptr;
    bool prevFree = false;
    const char* header = segment.base;
    int32_t blocks = 0;
    while (header < end && !IsEnd(header)) {
        if (PrevOf(header) != prev || IsPrevFree(header) != prevFree)
            return false;
        bool free = IsFree(header);
        uint64_t size = SizeOf(header);
        if (free && prevFree)
            return false;  // two free neighbours should have merged
        if (IsListed(header) && (size < smallestListed || segment.ownBlock))
            return false;
        if (free && !IsListed(header) && size >= smallestListed && !segment.ownBlock)
            return false;  // a free block big enough for a list must be in one
        (free ? walked.freeBlocks : walked.allocBlocks)++;
        (free ? walked.freeSize : walked.allocSize) += size;
        listedBlocks += IsListed(header);
        blocks++;
        prevFree = free;
        prev = header;
        header = NextOf(header);
    }
    if (header != end || !IsEnd(header) || PrevOf(header) != prev)
        return false;
    // A segment of its own holds its block first, then at most its unused rest.
    if (segment.ownBlock && (!IsUsed(segment.base) || blocks > 2))
        return false;
    walked.bookKeeping += headerSize * uint64_t(blocks + 1);
    return true;
}

bool SegmentHeap::CheckLists(uint64_t& listedBlocks) const
{
    for (uint32_t c = 0; c < uint32_t(classCount); c++) {
        bool bit = (occupied[c / 64] >> (c % 64)) & 1;
        if (bit != (heads[c] != nullptr) || bit != (lengths[c] != 0))
            return false;
        uint64_t length = 0;
        const char* prev = nullptr;
        for (const char* block = heads[c]; block; block = NextLink(block)) {
            if (!IsListed(block) || ClassOf(SizeOf(block)) != c || PrevLink(block) != prev || FindSegment(block) < 0)
                return false;
            if (++length > lengths[c])
                return false;
            prev = block;
        }
        if (length != lengths[c] || tails[c] != prev)
            return false;
        listedBlocks += length;
    }
    for (uint32_t word = 0; word < 24; word++) {
        if (((occupiedSummary >> word) & 1) != (occupied[word] != 0))
            return false;
    }
    return true;
}

bool SegmentHeap::CheckConsistency() const
{
    HeapStats walked{};
    uint64_t listedInSegments = 0, listedInLists = 0, total = 0;
    for (int32_t i = 0; i < segmentCount; i++) {
        if (i > 0 && segments[i - 1].base + segments[i - 1].size > segments[i].base)
            return false;
        if (!CheckSegment(i, walked, listedInSegments))
            return false;
        total += segments[i].size;
    }
    if (!CheckLists(listedInLists) || listedInLists != listedInSegments)
        return false;
    return walked.allocBlocks == stats.allocBlocks && walked.allocSize == stats.allocSize &&
           walked.freeBlocks == stats.freeBlocks && walked.freeSize == stats.freeSize && total == stats.totalSize &&
           walked.allocSize + walked.freeSize + walked.bookKeeping == total &&
           stats.peakAllocSize >= stats.allocSize + headerSize * stats.allocBlocks;
}

}  // namespace Core
