#pragma once

#include <cstddef>
#include <cstdint>

namespace Core {

struct HeapStats {
    uint64_t allocBlocks = 0;      // blocks in use
    uint64_t allocSize = 0;        // their payload bytes (requests rounded up to 8, at least 8)
    uint64_t peakAllocSize = 0;    // largest allocSize + 16 * allocBlocks reached
    uint64_t peakBlockSize = 0;    // largest payload ever handed out
    uint64_t freeBlocks = 0;       // free blocks, including slivers too small to list
    uint64_t freeSize = 0;         // their payload bytes
    uint64_t totalSize = 0;        // bytes of all segments
    uint64_t bookKeeping = 0;      // block headers and segment end marks: totalSize - allocSize - freeSize
    uint64_t maxAllocSize = 0;     // detailed only: largest block in use
    uint64_t maxFreeSize = 0;      // detailed only: largest free block
    int32_t numSegments = 0;
    uint64_t largestFreeChain = 0; // detailed only: longest size-class list
    uint64_t allocCalls = 0;
    uint64_t preallocCalls = 0;    // blocks of operator new served by the C runtime: before the Core
                                   // starts the heap, or after it stops
    uint64_t reallocCalls = 0;     // resizes tried in place
    uint64_t freeCalls = 0;
    uint64_t reallocSucc = 0;      // resizes done in place
    uint64_t slowBucket = 0;       // searches that had to walk a size-class list
};

// Why the last Alloc of a SegmentHeap that returned null did so.
enum class HeapFailure { None, Refused, NoMemory, NoSegmentSlot };

// A segregated-fit allocator over a few large segments from the system. Every block is a 16-byte
// header (payload size, in-use bit, address of the previous block's header) followed by its
// payload, and the next block's header follows the payload directly, so neighbours are found
// without a search and freed blocks merge with free neighbours at once: two free blocks are never
// adjacent. Free blocks wait in one list per size class, and a bitmap of the non-empty classes
// finds the smallest class that certainly fits with a few bit scans.
//
// Big blocks get a segment of their own, which their Free gives back to the system and whose
// Realloc moves the pages instead of copying them.
//
// Not thread-safe; the process heap (namespace Heap below) puts one behind a lock.
class SegmentHeap {
public:
    static constexpr size_t maxAlignment = size_t(1) << 20;
    static constexpr int32_t maxSegments = 256;
    static constexpr int32_t classCount = 1473;

    // Blocks of at least ownSegmentMinimum bytes from Alloc, and blocks that Realloc grows to
    // at least growingOwnSegmentMinimum bytes, get a segment of their own. No more than
    // segmentLimit segments (at most maxSegments) exist at once.
    constexpr SegmentHeap(size_t ownSegmentMinimum, size_t growingOwnSegmentMinimum, int32_t segmentLimit = maxSegments)
        : ownSegmentMinimum(ownSegmentMinimum),
          growingOwnSegmentMinimum(growingOwnSegmentMinimum),
          segmentLimit(segmentLimit < maxSegments ? segmentLimit : maxSegments)
    {
    }
    SegmentHeap(const SegmentHeap&) = delete;
    SegmentHeap& operator=(const SegmentHeap&) = delete;
    // Gives every segment back; blocks still in use die with it.
    ~SegmentHeap();

    // Null when the request is refused (alignment above 1 MiB, size near the end of the address
    // space) or no segment could be added; LastFailure tells which. Alignments below 8 mean 8.
    void* Alloc(size_t size, size_t alignment);
    // As Alloc, with the size from which a block gets a segment of its own given by the caller.
    void* Alloc(size_t size, size_t alignment, size_t ownSegmentLimit);
    // The block must be one of this heap's and in use; null is ignored.
    void Free(void* block);
    // Frees the block when it is one of this heap's; false, touching nothing, when it is not.
    bool TryFree(void* block);
    // Null allocates, size 0 frees and returns null. Keeps the contents up to the smaller size,
    // resizing in place where the next block leaves room; a block that grows to
    // growingOwnSegmentMinimum moves to a segment of its own, which later grows by moving pages.
    // Null on failure, the old block then untouched.
    void* Realloc(void* block, size_t size);
    // The detailed statistics walk every segment and every list.
    HeapStats GetStats(bool detailed) const;
    HeapFailure LastFailure() const { return lastFailure; }

    bool Owns(const void* address) const { return FindSegment(address) >= 0; }
    // Payload bytes of a block in use: the request rounded up to 8, sometimes up to 24 more.
    size_t BlockSize(const void* block) const;

    // Walks every segment and every list and checks that headers, neighbour links, lists,
    // bitmap and counters all agree. For tests.
    bool CheckConsistency() const;

private:
    struct Segment {
        char* base;
        size_t size;
        bool ownBlock;  // holds one block, and goes back to the system with it
    };

    void CountAlloc(uint64_t size);
    void CountResize(uint64_t oldSize, uint64_t newSize);
    void CountFreeBlock(uint64_t size, int64_t sign);

    int32_t FindSegment(const void* address) const;
    void InsertSegment(char* base, size_t size, bool ownBlock);
    void RemoveSegment(int32_t index);
    char* MapSegment(uint64_t length, size_t& mapped);
    bool AddSharedSegment(uint64_t rounded, size_t alignment);

    void Link(char* header);
    void Unlink(char* header);
    uint32_t NextOccupiedClass(uint32_t from) const;
    char* FindFreeBlock(uint64_t searchSize);
    char* FindFittingBlock(uint64_t rounded, size_t alignment);

    void MakeFree(char* header, uint64_t size, bool listable);
    void TakeFree(char* header);
    void SplitTail(char* header, uint64_t keep, bool listable);
    char* AlignStart(char* header, size_t alignment);
    void* PlaceBlock(char* header, uint64_t rounded, size_t alignment);
    void FreeInSegment(int32_t index, char* header);
    bool ResizeInPlace(char* header, uint64_t rounded);

    void LayOutOwnSegment(char* base, size_t length, uint64_t rounded);
    void ForgetOwnSegmentRest(char* base);
    void* AllocOwnSegment(uint64_t rounded);
    void* ReallocOwnSegment(int32_t index, uint64_t rounded);

    bool CheckSegment(int32_t index, HeapStats& walked, uint64_t& listedBlocks) const;
    bool CheckLists(uint64_t& listedBlocks) const;

    size_t ownSegmentMinimum;
    size_t growingOwnSegmentMinimum;
    int32_t segmentLimit;
    HeapFailure lastFailure = HeapFailure::None;
    HeapStats stats{};
    int32_t segmentCount = 0;
    Segment segments[maxSegments]{};  // sorted by base address
    // Per class: first and last block header of its free list, and its length.
    char* heads[classCount]{};
    char* tails[classCount]{};
    uint64_t lengths[classCount]{};
    // Bit c of word c / 64 is set while class c's list is non-empty; bit w of the summary while
    // word w is non-zero.
    uint64_t occupied[24]{};
    uint64_t occupiedSummary = 0;
};

}  // namespace Core
