// The allocation patterns of a bake, served by the engine's heap and by the C runtime's
// allocator in turns within one process:
//   ketra-heap [ROUNDS] [PATTERN]
// charts: many small vectors grown element by element and merged into each other, the way the
//   grouping and layout steps build their charts (most blocks of a bake are 8 to 128 bytes);
// charts_2_threads: the same on two threads at once, as the layout step runs on the pool;
// churn: a steady state of some 300,000 live blocks, freed and replaced in random order, with
//   the sizes of a real bake;
// bitmaps: per-chart coverage bitmaps of a few kilobytes and a few atlas pages of 16 MiB,
//   each filled once, as the atlas stage does.
// Prints name: value lines: medians of the rounds in milliseconds (wall clock, and processor time
// of the process, which tells more on a machine shared with other work), and the median of the
// per-round ratios heap / C runtime.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <random>
#include <thread>
#include <vector>

#include "bench/bench_support.h"
#include "core/heap.h"

namespace {

// Which allocator the containers below use; switched between rounds, never during one.
bool useHeap = false;

void* Allocate(size_t size) { return useHeap ? ::operator new(size) : std::malloc(size); }
void Release(void* block)
{
    if (useHeap)
        ::operator delete(block);
    else
        std::free(block);
}

template <class T>
struct SwitchedAllocator {
    using value_type = T;
    SwitchedAllocator() = default;
    template <class U>
    SwitchedAllocator(const SwitchedAllocator<U>&)
    {
    }
    T* allocate(size_t count) { return static_cast<T*>(Allocate(count * sizeof(T))); }
    void deallocate(T* block, size_t) { Release(block); }
    bool operator==(const SwitchedAllocator&) const { return true; }
};

template <class T>
using Vector = std::vector<T, SwitchedAllocator<T>>;

// ---- the patterns; each returns a checksum so that nothing is optimised away ----

int64_t Charts(uint32_t seed, int groupCount)
{
    std::mt19937 random(seed);
    Vector<Vector<int32_t>> groups;
    for (int g = 0; g < groupCount; g++) {
        Vector<int32_t> triangles;
        int count = 1 + int(random() % 8 == 0 ? random() % 400 : random() % 24);
        for (int t = 0; t < count; t++)
            triangles.push_back(g + t);
        groups.push_back(std::move(triangles));
    }
    // Merging: the smaller of two groups moves into the larger and is freed.
    for (int merge = 0; merge < groupCount / 2; merge++) {
        size_t a = random() % groups.size(), b = random() % groups.size();
        if (a == b)
            continue;
        if (groups[a].size() < groups[b].size())
            std::swap(a, b);
        groups[a].insert(groups[a].end(), groups[b].begin(), groups[b].end());
        groups[b] = std::move(groups.back());
        groups.pop_back();
    }
    // Layout: per group a few short-lived scratch lists.
    int64_t sum = 0;
    for (const auto& group : groups) {
        Vector<float> corners;
        Vector<int32_t> runs;
        for (int32_t triangle : group) {
            corners.push_back(float(triangle));
            if (triangle % 3 == 0)
                runs.push_back(triangle);
        }
        sum += int64_t(corners.size()) + int64_t(runs.size());
    }
    return sum;
}

int64_t ChartsOnTwoThreads(uint32_t seed, int groupCount)
{
    int64_t sums[2] = {};
    std::thread other([&] { sums[1] = Charts(seed + 1, groupCount / 2); });
    sums[0] = Charts(seed, groupCount / 2);
    other.join();
    return sums[0] + sums[1];
}

// Sizes in the proportions a bake of the furnished room asks for them.
size_t BakeLikeSize(std::mt19937& random)
{
    static const struct {
        uint32_t percent;
        size_t low, high;
    } bands[] = {{11, 1, 8}, {16, 9, 16}, {13, 17, 32}, {27, 33, 64}, {20, 65, 128}, {5, 129, 256}, {7, 257, 512}, {1, 513, 16384}};
    uint32_t pick = random() % 100;
    for (const auto& band : bands) {
        if (pick < band.percent)
            return band.low + random() % (band.high - band.low + 1);
        pick -= band.percent;
    }
    return 64;
}

int64_t Churn(uint32_t seed, int liveCount, int replacements)
{
    std::mt19937 random(seed);
    std::vector<char*> live(size_t(liveCount), nullptr);
    int64_t sum = 0;
    for (char*& block : live) {
        size_t size = BakeLikeSize(random);
        block = static_cast<char*>(Allocate(size));
        block[0] = char(size);
    }
    for (int step = 0; step < replacements; step++) {
        char*& block = live[random() % live.size()];
        sum += block[0];
        Release(block);
        size_t size = BakeLikeSize(random);
        block = static_cast<char*>(Allocate(size));
        block[0] = char(size);
    }
    for (char* block : live)
        Release(block);
    return sum;
}

int64_t Bitmaps(uint32_t seed, int chartCount, int pageCount)
{
    std::mt19937 random(seed);
    int64_t sum = 0;
    for (int chart = 0; chart < chartCount; chart++) {
        size_t width = 4 + random() % 120, height = 4 + random() % 120;
        Vector<uint32_t> coverage((width * height + 31) / 32);
        coverage[random() % coverage.size()] = 1;
        Vector<float> texels(width * height);
        sum += int64_t(coverage.size() + texels.size());
    }
    for (int page = 0; page < pageCount; page++) {
        Vector<uint32_t> pixels(size_t(2048) * 2048);
        pixels[random() % pixels.size()] = uint32_t(page);
        sum += pixels[size_t(page)];
    }
    return sum;
}

struct Pattern {
    const char* name;
    int64_t (*run)(uint32_t seed);
};

const Pattern patterns[] = {
    {"charts", [](uint32_t seed) { return Charts(seed, 200000); }},
    {"charts_2_threads", [](uint32_t seed) { return ChartsOnTwoThreads(seed, 200000); }},
    {"churn", [](uint32_t seed) { return Churn(seed, 300000, 2000000); }},
    {"bitmaps", [](uint32_t seed) { return Bitmaps(seed, 20000, 4); }},
};

struct Timing {
    double wallMs, cpuMs;
};

Timing TimeOnce(const Pattern& pattern, bool heap, uint32_t seed, int64_t& checksum)
{
    useHeap = heap;
    auto wallStart = std::chrono::steady_clock::now();
    std::clock_t cpuStart = std::clock();
    checksum += pattern.run(seed);
    std::clock_t cpuEnd = std::clock();
    auto wallEnd = std::chrono::steady_clock::now();
    return {std::chrono::duration<double, std::milli>(wallEnd - wallStart).count(),
            double(cpuEnd - cpuStart) * 1000.0 / CLOCKS_PER_SEC};
}

}  // namespace

int main(int argc, char** argv)
{
    int rounds = argc > 1 ? std::atoi(argv[1]) : 7;
    const char* only = argc > 2 ? argv[2] : nullptr;
    // operator new serves from the heap only once it is started, as the Core does at start-up.
    Core::Heap::Start();
    int64_t checksum = 0;
    std::printf("rounds: %d\n", rounds);
    for (const Pattern& pattern : patterns) {
        if (only && std::strcmp(only, pattern.name) != 0)
            continue;
        std::vector<double> systemWall, heapWall, systemCpu, heapCpu, wallRatio, cpuRatio;
        for (int round = 0; round < rounds; round++) {
            // The same work for both, alternating which goes first.
            uint32_t seed = 1000 + uint32_t(round);
            bool heapFirst = round % 2 == 1;
            Timing first = TimeOnce(pattern, heapFirst, seed, checksum);
            Timing second = TimeOnce(pattern, !heapFirst, seed, checksum);
            const Timing& system = heapFirst ? second : first;
            const Timing& heap = heapFirst ? first : second;
            systemWall.push_back(system.wallMs);
            heapWall.push_back(heap.wallMs);
            systemCpu.push_back(system.cpuMs);
            heapCpu.push_back(heap.cpuMs);
            wallRatio.push_back(heap.wallMs / system.wallMs);
            cpuRatio.push_back(heap.cpuMs / system.cpuMs);
        }
        std::printf("%s_system_ms: %.1f\n", pattern.name, Bench::Median(systemWall));
        std::printf("%s_heap_ms: %.1f\n", pattern.name, Bench::Median(heapWall));
        std::printf("%s_ratio: %.3f\n", pattern.name, Bench::Median(wallRatio));
        std::printf("%s_system_cpu_ms: %.1f\n", pattern.name, Bench::Median(systemCpu));
        std::printf("%s_heap_cpu_ms: %.1f\n", pattern.name, Bench::Median(heapCpu));
        std::printf("%s_cpu_ratio: %.3f\n", pattern.name, Bench::Median(cpuRatio));
    }
    Core::HeapStats stats = Core::Heap::GetStats(true);
    std::printf("heap_segments: %d\n", stats.numSegments);
    std::printf("heap_total_mb: %.1f\n", double(stats.totalSize) / 1048576.0);
    std::printf("heap_peak_mb: %.1f\n", double(stats.peakAllocSize) / 1048576.0);
    std::printf("checksum: %lld\n", static_cast<long long>(checksum));
    return 0;
}
