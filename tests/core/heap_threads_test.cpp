#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <random>
#include <thread>
#include <vector>

#include "core/heap.h"

namespace {

uint8_t PatternByte(size_t i, uint32_t seed) { return uint8_t(i * 7 + seed * 13 + (seed >> 8)); }

void Fill(void* block, size_t count, uint32_t seed)
{
    for (size_t i = 0; i < count; i++)
        static_cast<uint8_t*>(block)[i] = PatternByte(i, seed);
}

bool Intact(const void* block, size_t count, uint32_t seed)
{
    for (size_t i = 0; i < count; i++)
        if (static_cast<const uint8_t*>(block)[i] != PatternByte(i, seed))
            return false;
    return true;
}

struct Block {
    void* memory = nullptr;
    size_t size = 0;
    uint32_t seed = 0;
    bool fromNew = false;
};

// Threads that allocate, resize and free at once, through new and delete and through the
// growable-array entry points, and pass some blocks on to other threads to free. Every block
// keeps its own pattern, so two threads handed overlapping memory, or a block freed twice and
// handed out again, show up as a broken pattern.
TEST(HeapThreads, ManyThreadsAllocatingAtOnce)
{
    Core::Heap::Start();
    const int threadCount = 8;
    const int stepsPerThread = 20000;
    // Slots that any thread may swap a block into, taking out what another thread left there.
    std::vector<std::atomic<Block*>> handOver(64);
    Core::HeapStats before = Core::Heap::GetStats();
    std::atomic<int> broken{0};
    auto work = [&](int thread) {
        std::mt19937 random(uint32_t(1000 + thread));
        std::vector<Block> mine;
        uint32_t nextSeed = uint32_t(thread) << 24;
        auto release = [](Block& block) {
            if (block.fromNew)
                delete[] static_cast<uint8_t*>(block.memory);
            else
                Core::Heap::Free(block.memory);
        };
        for (int step = 0; step < stepsPerThread; step++) {
            uint32_t operation = random() % 10;
            size_t size = random() % 8 == 0 ? 1 + random() % 20000 : 1 + random() % 200;
            if (operation < 4 || mine.empty()) {
                Block block{nullptr, size, ++nextSeed, random() % 2 == 0};
                block.memory = block.fromNew ? new uint8_t[size] : Core::Heap::Alloc(size);
                Fill(block.memory, size, block.seed);
                mine.push_back(block);
            } else if (operation < 6) {
                Block& block = mine[random() % mine.size()];
                if (block.fromNew)
                    continue;
                if (!Intact(block.memory, block.size, block.seed))
                    broken++;
                block.memory = Core::Heap::Realloc(block.memory, size);
                block.size = size;
                block.seed = ++nextSeed;
                Fill(block.memory, size, block.seed);
            } else if (operation < 8) {
                size_t index = random() % mine.size();
                if (!Intact(mine[index].memory, mine[index].size, mine[index].seed))
                    broken++;
                release(mine[index]);
                mine[index] = mine.back();
                mine.pop_back();
            } else {
                // Swap one of ours into a slot; whatever was there is now ours to check and free.
                size_t index = random() % mine.size();
                Block* given = new Block(mine[index]);
                mine[index] = mine.back();
                mine.pop_back();
                Block* taken = handOver[random() % handOver.size()].exchange(given);
                if (taken) {
                    if (!Intact(taken->memory, taken->size, taken->seed))
                        broken++;
                    release(*taken);
                    delete taken;
                }
            }
        }
        for (Block& block : mine) {
            if (!Intact(block.memory, block.size, block.seed))
                broken++;
            release(block);
        }
    };
    {
        std::vector<std::thread> threads;
        for (int t = 0; t < threadCount; t++)
            threads.emplace_back(work, t);
        for (std::thread& thread : threads)
            thread.join();
    }
    for (std::atomic<Block*>& slot : handOver) {
        if (Block* left = slot.load()) {
            EXPECT_TRUE(Intact(left->memory, left->size, left->seed));
            if (left->fromNew)
                delete[] static_cast<uint8_t*>(left->memory);
            else
                Core::Heap::Free(left->memory);
            delete left;
        }
    }
    Core::HeapStats after = Core::Heap::GetStats();
    Core::Heap::Stop();
    EXPECT_EQ(broken.load(), 0);
    EXPECT_EQ(after.allocBlocks, before.allocBlocks);
    EXPECT_EQ(after.allocSize, before.allocSize);
    EXPECT_GE(after.allocCalls - before.allocCalls, uint64_t(threadCount) * stepsPerThread / 4);
    EXPECT_EQ(after.allocCalls - before.allocCalls, after.freeCalls - before.freeCalls);
    EXPECT_TRUE(Core::Heap::CheckConsistency());
}

}  // namespace
