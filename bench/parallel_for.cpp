// Round trip of an empty job on a ParallelFor pool: publish, wake the workers, claim one chunk
// each, count out and hand control back to the caller. This is the fixed cost every parallel
// step of the lightmapper pays on top of its work.
//
// usage: ketra-parallel_for [threads (0: one per logical core)] [rounds] [repeats]

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "core/cpu_info.h"
#include "core/parallel_for.h"

namespace {

using Clock = std::chrono::steady_clock;

double Percentile(std::vector<double>& values, double fraction)
{
    std::sort(values.begin(), values.end());
    size_t index = std::min(values.size() - 1, size_t(fraction * double(values.size())));
    return values[index];
}

}  // namespace

int main(int argc, char** argv)
{
    int threads = argc > 1 ? std::atoi(argv[1]) : 0;
    int rounds = argc > 2 ? std::max(1, std::atoi(argv[2])) : 20000;
    int repeats = argc > 3 ? std::max(1, std::atoi(argv[3])) : 5;

    Core::ParallelFor pool;
    pool.Start(threads);
    int32_t threadCount = pool.GetThreadCount();
    Core::ParallelBody body = [](int32_t, int32_t) {};

    // Warm up: first wake-ups fault in stacks and let the scheduler place the workers.
    for (int i = 0; i < 1000; i++)
        pool.Run(body, threadCount, 1);

    std::printf("threads=%d logical_cores=%d rounds=%d\n", threadCount, Core::GetLogicalCoreCount(), rounds);
    std::vector<double> medians;
    std::vector<double> samples(static_cast<size_t>(rounds));
    for (int repeat = 0; repeat < repeats; repeat++) {
        for (int i = 0; i < rounds; i++) {
            Clock::time_point start = Clock::now();
            pool.Run(body, threadCount, 1);
            samples[size_t(i)] = std::chrono::duration<double, std::micro>(Clock::now() - start).count();
        }
        double median = Percentile(samples, 0.5);
        double p90 = Percentile(samples, 0.9);
        double p99 = Percentile(samples, 0.99);
        std::printf("repeat=%d threads=%d roundtrip_us_median=%.2f roundtrip_us_p90=%.2f roundtrip_us_p99=%.2f "
                    "roundtrip_us_min=%.2f\n",
            repeat, threadCount, median, p90, p99, samples.front());
        medians.push_back(median);
    }
    std::printf("threads=%d roundtrip_us_median=%.2f (median of %d repeats)\n", threadCount,
        Percentile(medians, 0.5), repeats);
    return 0;
}
