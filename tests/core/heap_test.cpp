#include "core/heap.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>

namespace {

// Fills with a pattern that depends on the position, so that a block moved or resized with the
// wrong offset or length shows up.
void Fill(uint8_t* bytes, size_t count)
{
    for (size_t i = 0; i < count; i++)
        bytes[i] = uint8_t(i * 131 + (i >> 12));
}

size_t FirstMismatch(const uint8_t* bytes, size_t count)
{
    for (size_t i = 0; i < count; i++)
        if (bytes[i] != uint8_t(i * 131 + (i >> 12)))
            return i;
    return count;
}

TEST(Heap, ReallocKeepsContentsThroughSmallAndLargeBlocks)
{
    // From a small block over the size where blocks come from the system to several large ones,
    // then back down: every step keeps the bytes that both sizes share.
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

TEST(Heap, RefusesAbsurdSizes)
{
    EXPECT_EQ(Core::Heap::Alloc(SIZE_MAX - 8), nullptr);
    void* block = Core::Heap::Alloc(64);
    ASSERT_NE(block, nullptr);
    EXPECT_EQ(Core::Heap::Realloc(block, SIZE_MAX / 2), nullptr);
    Core::Heap::Free(block);  // a refused resize leaves the block usable
}

}  // namespace
