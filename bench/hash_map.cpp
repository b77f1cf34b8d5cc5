// Insert and lookup throughput of Core::HashMap on one million 12-byte keys (the shape of the
// edge keys), one core. Prints name: value lines; figures are medians of the runs, by wall time
// and by processor time (which tells more on a machine shared with other work).
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <vector>

#include "bench/bench_support.h"
#include "core/hash_map.h"
#include "core/timer.h"

namespace {

struct EdgeKey {
    int32_t lower, upper, modelId;
};


}  // namespace

int main(int argc, char** argv)
{
    int keyCount = argc > 1 ? std::atoi(argv[1]) : 1000000;
    int runs = argc > 2 ? std::atoi(argv[2]) : 7;
    std::vector<EdgeKey> keys(static_cast<size_t>(keyCount));
    uint32_t state = 12345;
    for (EdgeKey& key : keys) {
        // Mesh-like keys: neighbouring vertex indices, a handful of models.
        state = state * 1664525u + 1013904223u;
        int32_t a = int32_t(state >> 8) % (keyCount / 2 + 1);
        key = {a, a + 1 + int32_t(state & 7), int32_t(state >> 29)};
    }

    std::vector<double> insertRates, lookupRates, insertCpuRates, lookupCpuRates;
    int64_t checksum = 0;
    for (int run = 0; run < runs; run++) {
        Core::HashMap<EdgeKey, int32_t> map;
        Core::PreciseTimer timer;
        std::clock_t cpuStart = std::clock();
        timer.Start();
        for (int i = 0; i < keyCount; i++)
            map.FindOrAdd(keys[size_t(i)], i);
        double insertSeconds = double(timer.Stop()) * 1e-6;
        std::clock_t cpuMiddle = std::clock();

        timer.Start();
        for (int i = 0; i < keyCount; i++)
            checksum += map.Find(keys[size_t(i)]);
        double lookupSeconds = double(timer.Stop()) * 1e-6;
        std::clock_t cpuEnd = std::clock();
        insertRates.push_back(keyCount / insertSeconds * 1e-6);
        lookupRates.push_back(keyCount / lookupSeconds * 1e-6);
        insertCpuRates.push_back(keyCount / (double(cpuMiddle - cpuStart) / CLOCKS_PER_SEC) * 1e-6);
        lookupCpuRates.push_back(keyCount / (double(cpuEnd - cpuMiddle) / CLOCKS_PER_SEC) * 1e-6);
        if (run == 0)
            std::printf("distinct_keys: %d\n", map.Count());
    }
    std::printf("keys: %d\n", keyCount);
    std::printf("runs: %d\n", runs);
    std::printf("minserts_per_s: %.2f\n", Bench::Median(insertRates));
    std::printf("mlookups_per_s: %.2f\n", Bench::Median(lookupRates));
    std::printf("minserts_per_cpu_s: %.2f\n", Bench::Median(insertCpuRates));
    std::printf("mlookups_per_cpu_s: %.2f\n", Bench::Median(lookupCpuRates));
    std::printf("checksum: %lld\n", static_cast<long long>(checksum));
    return 0;
}
