// OBJ parsing throughput, welding included: ketra-objbench FILE.obj [repeat]
// Prints bytes, triangles, parse_s (median wall seconds of the repeats, a fresh reader each), mb_per_s
// and cpu_s (median processor seconds).
#include <algorithm>
#include <ctime>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "bench/bench_support.h"
#include "core/timer.h"
#include "engine/mesh/obj_reader.h"

int main(int argc, char** argv)
{
    if (argc < 2) {
        std::fprintf(stderr, "usage: ketra-objbench FILE.obj [repeat]\n");
        return 1;
    }
    const char* path = argv[1];
    int repeat = argc > 2 ? std::max(1, std::atoi(argv[2])) : 1;

    // Processor time next to wall time: on a shared machine the wall clock also counts waiting.
    std::vector<double> seconds, cpuSeconds;
    long long bytes = 0;
    size_t triangleCount = 0;
    for (int run = 0; run < repeat; run++) {
        // A fresh reader per run, as in a real bake: its lists grow from empty every time.
        Engine::ObjReader reader;
        std::FILE* file = std::fopen(path, "rb");
        if (!file) {
            std::fprintf(stderr, "cannot open %s\n", path);
            return 1;
        }
        std::fseek(file, 0, SEEK_END);
        bytes = std::ftell(file);
        std::fseek(file, 0, SEEK_SET);
        Core::PreciseTimer timer;
        timer.Start();
        std::clock_t cpuStart = std::clock();
        bool ok = reader.Parse(file, path, {1, 1, 1}, 0);
        double elapsed = double(timer.Stop()) * 1e-6;
        cpuSeconds.push_back(double(std::clock() - cpuStart) / CLOCKS_PER_SEC);
        std::fclose(file);
        if (!ok) {
            std::fprintf(stderr, "parse failed: %s\n", reader.LastError().c_str());
            return 1;
        }
        seconds.push_back(elapsed);
        triangleCount = reader.triangles.size();
    }
    double median = Bench::Median(seconds);
    std::printf("bytes: %lld\n", bytes);
    std::printf("triangles: %zu\n", triangleCount);
    std::printf("parse_s: %.4f\n", median);
    std::printf("mb_per_s: %.1f\n", median > 0 ? double(bytes) / 1e6 / median : 0.0);
    std::printf("cpu_s: %.4f\n", Bench::Median(cpuSeconds));
    return 0;
}
