// Binary glTF export: ketra-glb MESH.txt OUT.glb [--pages DIR] [runs]
// Reads a mesh file and its pages once (the ketra-gltf tool's input side), then writes OUT.glb
// `runs` times (default 5) with the writer the tool uses after a bake. Prints triangles,
// read_mesh_s, then write_glb_s and write_glb_cpu_s (medians of the runs) and glb_bytes.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>
#include <vector>

#include "app/gltf_writer.h"
#include "app/mesh_reader.h"
#include "app/page_images.h"
#include "bench/bench_support.h"
#include "core/timer.h"

int main(int argc, char** argv)
{
    std::vector<std::string> positional;
    std::string pages;
    for (int i = 1; i < argc; i++) {
        std::string word = argv[i];
        if (word == "--pages" && i + 1 < argc)
            pages = argv[++i];
        else
            positional.push_back(word);
    }
    if (positional.size() < 2) {
        std::fprintf(stderr, "usage: ketra-glb MESH.txt OUT.glb [--pages DIR] [runs]\n");
        return 1;
    }
    const int runs = positional.size() > 2 ? std::max(1, std::atoi(positional[2].c_str())) : 5;
    if (pages.empty()) {
        size_t slash = positional[0].find_last_of('/');
        pages = slash == std::string::npos ? "" : positional[0].substr(0, slash + 1);
    }

    App::BakedMesh mesh;
    std::string error;
    Core::PreciseTimer timer;
    timer.Start();
    if (App::ReadMeshFile(positional[0], mesh, error) != App::MeshReadResult::Ok ||
        App::ReadPageImages(App::PageCountOf(mesh), pages, mesh.pagePngs, error) != App::PageReadResult::Ok) {
        std::fprintf(stderr, "%s\n", error.c_str());
        return 1;
    }
    const double readSeconds = double(timer.Stop()) * 1e-6;

    // Processor time next to wall time: on a shared machine the wall clock also counts waiting.
    std::vector<double> seconds, cpuSeconds;
    for (int run = 0; run < runs; run++) {
        std::clock_t cpuStart = std::clock();
        timer.Start();
        if (!App::WriteGlbFile(mesh, positional[1], error)) {
            std::fprintf(stderr, "%s\n", error.c_str());
            return 1;
        }
        seconds.push_back(double(timer.Stop()) * 1e-6);
        cpuSeconds.push_back(double(std::clock() - cpuStart) / CLOCKS_PER_SEC);
    }
    long long bytes = 0;
    if (std::FILE* file = std::fopen(positional[1].c_str(), "rb")) {
        std::fseek(file, 0, SEEK_END);
        bytes = std::ftell(file);
        std::fclose(file);
    }
    std::printf("triangles: %zu\n", mesh.pages.size());
    std::printf("read_mesh_s: %.4f\n", readSeconds);
    std::printf("write_glb_s: %.4f\n", Bench::Median(seconds));
    std::printf("write_glb_cpu_s: %.4f\n", Bench::Median(cpuSeconds));
    std::printf("glb_bytes: %lld\n", bytes);
    return 0;
}
