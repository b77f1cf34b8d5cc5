#include "core/heap.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <random>
#include <vector>

#include "core/sanitizer.h"

namespace {

constexpr bool processHeapUsesRuntime = KETRA_SANITIZED;

constexpr size_t MiB = size_t(1) << 20;
constexpr size_t never = SIZE_MAX;

// Fills with a pattern that depends on the position and a seed, so that a block moved or resized
// with the wrong offset or length, or overlapping another block, shows up.
uint8_t PatternByte(size_t i, uint32_t seed) { return uint8_t((i * 131 + (i >> 12) + seed * 61) ^ (seed >> 3)); }

void Fill(void* block, size_t count, uint32_t seed = 0)
{
    uint8_t* bytes = static_cast<uint8_t*>(block);
    for (size_t i = 0; i < count; i++)
        bytes[i] = PatternByte(i, seed);
}

size_t FirstMismatch(const void* block, size_t count, uint32_t seed = 0)
{
    const uint8_t* bytes = static_cast<const uint8_t*>(block);
    for (size_t i = 0; i < count; i++)
        if (bytes[i] != PatternByte(i, seed))
            return i;
    return count;
}

bool AlignedTo(const void* block, size_t alignment) { return reinterpret_cast<uintptr_t>(block) % alignment == 0; }

std::unique_ptr<Core::SegmentHeap> FreshHeap(size_t ownSegmentMinimum = never, size_t growingMinimum = never)
{
    return std::make_unique<Core::SegmentHeap>(ownSegmentMinimum, growingMinimum);
}

// ---- the segmented heap on its own ----

TEST(SegmentHeap, SmallRequestsRoundUpToWholeWords)
{
    const struct {
        size_t request, payload;
    } cases[] = {{1, 8}, {8, 8}, {9, 16}, {16, 16}, {17, 24}, {1000, 1000}, {1001, 1008}};
    for (const auto& c : cases) {
        auto heap = FreshHeap();
        void* block = heap->Alloc(c.request, 16);
        ASSERT_NE(block, nullptr) << c.request;
        EXPECT_EQ(heap->BlockSize(block), c.payload) << c.request;
        EXPECT_EQ(heap->GetStats(false).allocSize, c.payload) << c.request;
        EXPECT_TRUE(AlignedTo(block, 16)) << c.request;
        EXPECT_TRUE(heap->CheckConsistency()) << c.request;
    }
}

TEST(SegmentHeap, AdjacentFreeBlocksMerge)
{
    // Three neighbours a, b, c and a guard after them; every order of freeing the three must
    // leave one free block spanning them, which a request of exactly that size then reuses.
    const int orders[][3] = {{0, 1, 2}, {2, 1, 0}, {0, 2, 1}, {1, 0, 2}};
    for (const auto& order : orders) {
        auto heap = FreshHeap();
        void* blocks[3];
        for (void*& block : blocks)
            block = heap->Alloc(64, 16);
        void* guard = heap->Alloc(64, 16);
        ASSERT_NE(guard, nullptr);
        uint64_t freeBefore = heap->GetStats(false).freeBlocks;  // the rest of the segment
        for (int index : order)
            heap->Free(blocks[index]);
        ASSERT_TRUE(heap->CheckConsistency());
        Core::HeapStats stats = heap->GetStats(true);
        EXPECT_EQ(stats.freeBlocks, freeBefore + 1) << order[0] << order[1] << order[2];
        EXPECT_EQ(stats.allocBlocks, 1u);
        void* merged = heap->Alloc(3 * 64 + 2 * 16, 16);
        EXPECT_EQ(merged, blocks[0]) << order[0] << order[1] << order[2];
        EXPECT_TRUE(heap->CheckConsistency());
    }
}

TEST(SegmentHeap, PeakOfOneMebibyteBlock)
{
    // The same figure whether the block shares a segment or has one of its own.
    for (size_t ownSegmentMinimum : {never, MiB}) {
        auto heap = FreshHeap(ownSegmentMinimum);
        void* block = heap->Alloc(MiB, 16);
        ASSERT_NE(block, nullptr);
        EXPECT_EQ(heap->GetStats(false).peakAllocSize, MiB + 16);
        heap->Free(block);
        Core::HeapStats stats = heap->GetStats(false);
        EXPECT_EQ(stats.peakAllocSize, MiB + 16);
        EXPECT_EQ(stats.allocSize, 0u);
        EXPECT_EQ(stats.allocBlocks, 0u);
        EXPECT_EQ(stats.peakBlockSize, MiB);
        EXPECT_TRUE(heap->CheckConsistency());
    }
}

TEST(SegmentHeap, RequestAboveTheSegmentSizeGetsASegmentOfItsOwn)
{
    auto heap = FreshHeap();
    void* small = heap->Alloc(100, 16);
    Core::HeapStats before = heap->GetStats(false);
    ASSERT_EQ(before.numSegments, 1);
    const size_t big = 40 * MiB + 8;
    void* block = heap->Alloc(big, 16);
    ASSERT_NE(block, nullptr);
    Core::HeapStats after = heap->GetStats(false);
    EXPECT_EQ(after.numSegments, 2);
    EXPECT_GE(after.totalSize - before.totalSize, big + 32);
    EXPECT_LT(after.totalSize - before.totalSize, big + 32 + 2 * MiB);
    Fill(block, big);
    EXPECT_EQ(FirstMismatch(block, big), big);
    EXPECT_TRUE(heap->CheckConsistency());
    heap->Free(block);
    heap->Free(small);
    EXPECT_TRUE(heap->CheckConsistency());
}

TEST(SegmentHeap, BlocksOfTheirOwnGoBackToTheSystem)
{
    auto heap = FreshHeap(4 * MiB, 512 * 1024);
    void* big = heap->Alloc(5 * MiB, 16);
    ASSERT_NE(big, nullptr);
    Core::HeapStats held = heap->GetStats(false);
    EXPECT_EQ(held.numSegments, 1);
    EXPECT_EQ(held.allocSize, 5 * MiB);
    // Grows and shrinks by moving pages; every step keeps the contents.
    Fill(big, 5 * MiB);
    const size_t sizes[] = {9 * MiB + 24, 9 * MiB + 40, 3 * MiB, 700 * 1024};
    size_t kept = 5 * MiB;
    for (size_t size : sizes) {
        big = heap->Realloc(big, size);
        ASSERT_NE(big, nullptr) << size;
        kept = std::min(kept, size);
        ASSERT_EQ(FirstMismatch(big, kept), kept) << size;
        EXPECT_EQ(heap->GetStats(false).numSegments, 1) << size;
        EXPECT_TRUE(heap->CheckConsistency()) << size;
    }
    heap->Free(big);
    Core::HeapStats freed = heap->GetStats(false);
    EXPECT_EQ(freed.numSegments, 0);
    EXPECT_EQ(freed.totalSize, 0u);
    EXPECT_EQ(freed.allocSize, 0u);
    EXPECT_EQ(freed.freeSize, 0u);
}

TEST(SegmentHeap, ReallocInPlaceWhenTheNextBlockIsFree)
{
    auto heap = FreshHeap();
    void* a = heap->Alloc(96, 16);
    void* b = heap->Alloc(192, 16);
    void* c = heap->Alloc(288, 16);
    Fill(a, 96);
    heap->Free(b);
    // Grows into b's room; the rest of b stays free behind it.
    Core::HeapStats before = heap->GetStats(false);
    EXPECT_EQ(heap->Realloc(a, 200), a);
    EXPECT_EQ(FirstMismatch(a, 96), 96u);
    Core::HeapStats grown = heap->GetStats(false);
    EXPECT_EQ(grown.reallocSucc, before.reallocSucc + 1);
    EXPECT_EQ(grown.allocSize, before.allocSize + 200 - 96);
    EXPECT_TRUE(heap->CheckConsistency());
    // All of b's room and no more: exactly up to c's header.
    EXPECT_EQ(heap->Realloc(a, 96 + 16 + 192), a);
    EXPECT_EQ(static_cast<char*>(a) + 96 + 16 + 192 + 16, static_cast<char*>(c));
    // One byte more must move, keeping the contents.
    void* moved = heap->Realloc(a, 96 + 16 + 192 + 1);
    EXPECT_NE(moved, a);
    EXPECT_EQ(FirstMismatch(moved, 96), 96u);
    // Shrinking stays in place and frees the tail for others.
    void* shrunk = heap->Realloc(moved, 40);
    EXPECT_EQ(shrunk, moved);
    EXPECT_EQ(heap->BlockSize(shrunk), 40u);
    EXPECT_TRUE(heap->CheckConsistency());
}

TEST(SegmentHeap, AlignedBlocksAndTheirGaps)
{
    // After a block of 8 bytes at the start of a segment the next payload would start 8 bytes
    // off a multiple of 16: a 16-aligned request then hands that word to the block before it,
    // while larger alignments leave a free block in front.
    const size_t alignments[] = {16, 32, 64, 4096, 65536, MiB};
    for (size_t alignment : alignments) {
        auto heap = FreshHeap();
        void* first = heap->Alloc(8, 8);
        ASSERT_FALSE(AlignedTo(static_cast<char*>(first) + 8 + 16, 16));
        void* aligned = heap->Alloc(24, alignment);
        ASSERT_NE(aligned, nullptr) << alignment;
        EXPECT_TRUE(AlignedTo(aligned, alignment)) << alignment;
        EXPECT_EQ(heap->BlockSize(first), alignment == 16 ? 16u : 8u) << alignment;
        EXPECT_EQ(heap->GetStats(false).allocSize, heap->BlockSize(first) + 24) << alignment;
        EXPECT_TRUE(heap->CheckConsistency()) << alignment;
        Fill(aligned, 24, 1);
        Fill(first, heap->BlockSize(first), 2);
        EXPECT_EQ(FirstMismatch(aligned, 24, 1), 24u);
        heap->Free(first);
        heap->Free(aligned);
        EXPECT_TRUE(heap->CheckConsistency()) << alignment;
        Core::HeapStats stats = heap->GetStats(false);
        EXPECT_EQ(stats.allocSize, 0u) << alignment;
        EXPECT_EQ(stats.freeBlocks, 1u) << alignment;
    }
}

TEST(SegmentHeap, RefusesWhatCannotBeServed)
{
    auto heap = FreshHeap();
    EXPECT_EQ(heap->Alloc(64, 2 * MiB), nullptr);
    EXPECT_EQ(heap->LastFailure(), Core::HeapFailure::Refused);
    EXPECT_EQ(heap->Alloc(SIZE_MAX - 8, 16), nullptr);
    EXPECT_EQ(heap->LastFailure(), Core::HeapFailure::Refused);
    EXPECT_EQ(heap->Alloc(SIZE_MAX / 2, 16), nullptr);
    EXPECT_EQ(heap->LastFailure(), Core::HeapFailure::NoMemory);
    void* block = heap->Alloc(64, 16);
    Fill(block, 64);
    EXPECT_EQ(heap->Realloc(block, SIZE_MAX / 2), nullptr);
    EXPECT_EQ(FirstMismatch(block, 64), 64u);  // a refused resize leaves the block as it was
    EXPECT_TRUE(heap->CheckConsistency());
}

TEST(SegmentHeap, RunsOutOfSegmentSlots)
{
    // Requests just above the default segment size take a segment each.
    auto heap = std::make_unique<Core::SegmentHeap>(never, never, 3);
    std::vector<void*> blocks;
    while (void* block = heap->Alloc(17 * MiB, 16))
        blocks.push_back(block);
    EXPECT_EQ(heap->LastFailure(), Core::HeapFailure::NoSegmentSlot);
    EXPECT_EQ(blocks.size(), 3u);
    // Small requests still find room in what is there.
    EXPECT_NE(heap->Alloc(100, 16), nullptr);
    EXPECT_TRUE(heap->CheckConsistency());
}

struct Live {
    void* block;
    size_t size;
    uint32_t seed;
};

// The heap agrees with the model: every live block holds its pattern, no two overlap, none is
// shorter than asked for, and the counters add up to them.
testing::AssertionResult MatchesShadow(const Core::SegmentHeap& heap, std::vector<Live> live)
{
    std::sort(live.begin(), live.end(), [](const Live& a, const Live& b) { return a.block < b.block; });
    uint64_t payload = 0;
    for (size_t i = 0; i < live.size(); i++) {
        const Live& entry = live[i];
        size_t size = heap.BlockSize(entry.block);
        if (size < entry.size)
            return testing::AssertionFailure() << "block of " << entry.size << " bytes has " << size;
        if (size_t at = FirstMismatch(entry.block, entry.size, entry.seed); at != entry.size)
            return testing::AssertionFailure() << "block of " << entry.size << " bytes changed at " << at;
        if (i + 1 < live.size() && static_cast<char*>(entry.block) + size + 16 > live[i + 1].block)
            return testing::AssertionFailure() << "block of " << size << " bytes overlaps the next one's header";
        payload += size;
    }
    uint64_t peakFloor = payload + 16 * live.size();
    Core::HeapStats stats = heap.GetStats(false);
    if (stats.allocBlocks != live.size() || stats.allocSize != payload)
        return testing::AssertionFailure() << stats.allocBlocks << " blocks of " << stats.allocSize << " bytes counted, "
                                           << live.size() << " of " << payload << " live";
    if (stats.peakAllocSize < peakFloor)
        return testing::AssertionFailure() << "peak " << stats.peakAllocSize << " below what is live now, " << peakFloor;
    return testing::AssertionSuccess();
}

// Every operation checked against a plain model of the live blocks and their contents.
TEST(SegmentHeap, RandomOperationsKeepEveryBlockIntact)
{
    const uint32_t seed = 20240611;
    std::mt19937 random(seed);
    // Small limits so that segments of their own and page moves take part too.
    auto heap = FreshHeap(256 * 1024, 64 * 1024);
    std::vector<Live> live;
    uint32_t nextSeed = 1;
    auto randomSize = [&]() -> size_t {
        uint32_t pick = random() % 100;
        if (pick < 70)
            return 1 + random() % 128;
        if (pick < 95)
            return 1 + random() % 8192;
        return 1 + random() % (300 * 1024);
    };
    for (int step = 0; step < 30000; step++) {
        uint32_t operation = random() % 10;
        if (operation < 4 || live.empty()) {
            size_t size = randomSize();
            size_t alignment = size_t(8) << (random() % 4 == 0 ? random() % 10 : 1);
            void* block = heap->Alloc(size, alignment);
            ASSERT_NE(block, nullptr) << "seed " << seed << " step " << step;
            ASSERT_TRUE(AlignedTo(block, alignment)) << "seed " << seed << " step " << step;
            Fill(block, size, nextSeed);
            live.push_back({block, size, nextSeed++});
        } else if (operation < 7) {
            size_t index = random() % live.size();
            Live& entry = live[index];
            size_t size = random() % 2 ? randomSize() : entry.size + random() % 256;
            void* resized = heap->Realloc(entry.block, size);
            ASSERT_NE(resized, nullptr) << "seed " << seed << " step " << step;
            size_t kept = std::min(size, entry.size);
            ASSERT_EQ(FirstMismatch(resized, kept, entry.seed), kept) << "seed " << seed << " step " << step;
            Fill(resized, size, nextSeed);
            entry = {resized, size, nextSeed++};
        } else {
            size_t index = random() % live.size();
            ASSERT_EQ(FirstMismatch(live[index].block, live[index].size, live[index].seed), live[index].size)
                << "seed " << seed << " step " << step;
            heap->Free(live[index].block);
            live[index] = live.back();
            live.pop_back();
        }
        if (step % 500 == 0) {
            ASSERT_TRUE(heap->CheckConsistency()) << "seed " << seed << " step " << step;
            ASSERT_TRUE(MatchesShadow(*heap, live)) << "seed " << seed << " step " << step;
        }
    }
    ASSERT_TRUE(MatchesShadow(*heap, live)) << "seed " << seed;
    Core::HeapStats stats = heap->GetStats(true);
    EXPECT_GT(stats.reallocSucc, 0u);
    EXPECT_TRUE(heap->CheckConsistency());
    for (const Live& entry : live)
        heap->Free(entry.block);
    stats = heap->GetStats(true);
    EXPECT_EQ(stats.allocBlocks, 0u);
    EXPECT_EQ(stats.maxAllocSize, 0u);
    // With nothing in use, every shared segment is one free block again.
    EXPECT_EQ(stats.freeBlocks, uint64_t(stats.numSegments));
    EXPECT_TRUE(heap->CheckConsistency());
}

// ---- the process heap ----

TEST(Heap, ReallocKeepsContentsThroughSmallAndLargeBlocks)
{
    // From a small block over the size where blocks get segments of their own to several large
    // ones, then back down: every step keeps the bytes that both sizes share.
    const size_t sizes[] = {21, 3001, size_t(3) << 20, (size_t(5) << 20) + 3, (size_t(9) << 20) + 8, size_t(17) << 20,
                            (size_t(6) << 20) + 5, 43};
    uint8_t* block = nullptr;
    size_t filled = 0;
    for (size_t size : sizes) {
        block = static_cast<uint8_t*>(Core::Heap::Realloc(block, size));
        ASSERT_NE(block, nullptr) << size;
        EXPECT_EQ(reinterpret_cast<uintptr_t>(block) % 16, 0u) << size;
        size_t kept = filled < size ? filled : size;
        EXPECT_EQ(FirstMismatch(block, kept), kept) << "after resizing to " << size;
        Fill(block, size);
        filled = size;
    }
    EXPECT_EQ(Core::Heap::Realloc(block, 0), nullptr);
}

TEST(Heap, ReallocCountsOnlyTheNewSize)
{
    Core::HeapStats before = Core::GetHeapStats();
    void* block = Core::Heap::Alloc(1000);
    ASSERT_NE(block, nullptr);
    block = Core::Heap::Realloc(block, size_t(8) << 20);
    ASSERT_NE(block, nullptr);
    Core::HeapStats grown = Core::GetHeapStats();
    EXPECT_EQ(grown.allocBlocks, before.allocBlocks + 1);
    EXPECT_EQ(grown.allocSize, before.allocSize + (uint64_t(8) << 20));
    EXPECT_GE(grown.peakAllocSize, grown.allocSize + 16 * grown.allocBlocks);
    Core::Heap::Free(block);
    Core::HeapStats after = Core::GetHeapStats();
    EXPECT_EQ(after.allocBlocks, before.allocBlocks);
    EXPECT_EQ(after.allocSize, before.allocSize);
}

TEST(Heap, AlignsAsTheRequestNeeds)
{
    // 16 bytes from 16 on; below that the largest power of two not above the size.
    for (size_t size = 1; size <= 300; size++) {
        size_t alignment = size >= 16 ? 16 : std::bit_floor(size);
        void* block = Core::Heap::Alloc(size);
        ASSERT_NE(block, nullptr);
        EXPECT_TRUE(AlignedTo(block, alignment)) << size;
        Core::Heap::Free(block);
    }
    uint8_t* zeroed = static_cast<uint8_t*>(Core::Heap::AllocZeroed(37, 3));
    ASSERT_NE(zeroed, nullptr);
    Fill(zeroed, 111);
    Core::Heap::Free(zeroed);
    zeroed = static_cast<uint8_t*>(Core::Heap::AllocZeroed(37, 3));
    for (size_t i = 0; i < 111; i++)
        ASSERT_EQ(zeroed[i], 0) << i;
    Core::Heap::Free(zeroed);
    EXPECT_EQ(Core::Heap::AllocZeroed(SIZE_MAX / 2, 3), nullptr);  // count times size overflows
}

TEST(Heap, RefusesAbsurdSizes)
{
    EXPECT_EQ(Core::Heap::Alloc(SIZE_MAX - 8), nullptr);
    void* block = Core::Heap::Alloc(64);
    ASSERT_NE(block, nullptr);
    Fill(block, 64);
    EXPECT_EQ(Core::Heap::Realloc(block, SIZE_MAX - 8), nullptr);
    EXPECT_EQ(FirstMismatch(block, 64), 64u);
    Core::Heap::Free(block);  // a refused resize leaves the block usable
}

TEST(HeapDeathTest, RunningOutOfMemoryEndsTheProcessWithAMessage)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(Core::Heap::OutOfMemory(), testing::ExitedWithCode(EXIT_FAILURE), "^Fatal error: Out of memory!\n$");
    // A full segment table (see SegmentHeap.RunsOutOfSegmentSlots; filling the process heap's
    // would take a gigabyte of large pages) has a message of its own.
    EXPECT_EXIT(Core::Heap::OutOfMemory(Core::HeapFailure::NoSegmentSlot), testing::ExitedWithCode(EXIT_FAILURE),
                "^Fatal error: Out of memory \\(segments\\)!\n$");
}

TEST(HeapDeathTest, RequestsTheSystemCannotServeEndTheProcess)
{
    if (processHeapUsesRuntime)
        GTEST_SKIP() << "the sanitizer's allocator reports impossible sizes itself";
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(Core::Heap::Alloc(SIZE_MAX / 2), testing::ExitedWithCode(EXIT_FAILURE), "^Fatal error: Out of memory!\n$");
    EXPECT_EXIT(
        {
            Core::Heap::Start();
            char* block = new char[SIZE_MAX / 4];
            block[0] = 1;
        },
        testing::ExitedWithCode(EXIT_FAILURE), "^Fatal error: Out of memory!\n$");
}

TEST(Heap, NewUsesTheHeapOnlyWhileStarted)
{
    if (processHeapUsesRuntime)
        GTEST_SKIP() << "sanitizer builds serve every block from the C runtime";
    Core::HeapStats before = Core::Heap::GetStats();
    auto* early = new std::vector<int>(1000, 7);  // from the C runtime: the heap is not started
    Core::HeapStats notStarted = Core::Heap::GetStats();
    EXPECT_EQ(notStarted.allocCalls, before.allocCalls);
    EXPECT_EQ(notStarted.preallocCalls, before.preallocCalls + 2);

    Core::Heap::Start();
    auto* counted = new std::vector<int>(1000, 9);
    Core::HeapStats started = Core::Heap::GetStats();
    EXPECT_EQ(started.allocBlocks, before.allocBlocks + 2);
    EXPECT_GE(started.allocSize, before.allocSize + 4000 + sizeof(std::vector<int>));
    delete early;  // not the heap's: handed back to the C runtime
    EXPECT_EQ(Core::Heap::GetStats().freeCalls, started.freeCalls);
    Core::Heap::Stop();

    EXPECT_EQ((*counted)[999], 9);
    delete counted;  // the heap's, after it stopped serving new
    Core::HeapStats after = Core::Heap::GetStats();
    EXPECT_EQ(after.allocBlocks, before.allocBlocks);
    EXPECT_EQ(after.freeCalls, started.freeCalls + 2);
}

}  // namespace
