// Times the lightmapper's intake (AddTriangle for every triangle of a mesh) and its connectivity
// stage. Usage: ketra-intake [mesh.obj] [runs]
// Prints the median and the fastest of the runs, with the lists sized up front (Reserve) and
// without, for each phase in milliseconds of wall time, and the process CPU time of both phases
// together, which tells more on a machine shared with other work.

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <vector>

#include "core/timer.h"
#include "engine/lightmapper/lightmapper.h"

#if __has_include("engine/mesh/obj_reader.h")
#include "engine/mesh/obj_reader.h"
#define KETRA_HAVE_OBJ_READER 1
#endif

namespace {

const char* const defaultMesh = "/usr/share/glmark2/models/bunny.obj";

#if KETRA_HAVE_OBJ_READER
struct Timing {
    double intakeMs;
    double connectivityMs;
    double cpuMs;
};

// The triangles as the run driver hands them over: file normals only when every triangle has
// them, (0, 0) texture coordinates where a triangle has none, every object unlisted.
bool LoadMesh(const char* path, std::vector<Engine::InputTriangle>& out)
{
    std::FILE* file = std::fopen(path, "rb");
    if (!file) {
        std::fprintf(stderr, "failed to open %s!\n", path);
        return false;
    }
    Engine::ObjReader reader;
    bool parsed = reader.Parse(file, path, Geom::Vec3{1, 1, 1}, 0);
    std::fclose(file);
    if (!parsed) {
        std::fprintf(stderr, "failed to parse obj %s\n", path);
        return false;
    }
    reader.ConvertAxes();

    bool useNormals = reader.hasNormals;
    out.resize(reader.triangles.size());
    for (size_t i = 0; i < reader.triangles.size(); i++) {
        const Engine::ObjTriangle& t = reader.triangles[i];
        Engine::InputTriangle& in = out[i];
        for (int k = 0; k < 3; k++) {
            in.positions[k] = reader.positions[size_t(t.vertex[k])];
            in.uvs[k] = t.uv[k] >= 0 ? reader.uvs[size_t(t.uv[k])] : Geom::Vec2{0, 0};
            in.normals[k] = useNormals && t.normal[k] >= 0 ? reader.normals[size_t(t.normal[k])] : Geom::Vec3{0, 0, 0};
        }
        in.flags = 0;
        in.modelId = 0;
        in.faceId = int32_t(i);
    }
    return true;
}

Timing TimeOnce(const std::vector<Engine::InputTriangle>& mesh, bool reserve, size_t& accepted)
{
    Engine::Lightmapper lm(Engine::LightmapperSettings{});
    Core::PreciseTimer timer;
    std::clock_t cpuStart = std::clock();
    timer.Start();
    if (reserve)
        lm.Reserve(int32_t(mesh.size()));
    for (const Engine::InputTriangle& t : mesh)
        lm.AddTriangle(t);
    double intake = double(timer.Lap()) / 1000.0;
    lm.BuildConnectivity();
    double connectivity = double(timer.Stop()) / 1000.0;
    double cpu = double(std::clock() - cpuStart) * 1000.0 / CLOCKS_PER_SEC;
    accepted = lm.Mesh().triangles.size();
    return {intake, connectivity, cpu};
}

void Report(const char* label, std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    std::printf("%-28s median %8.2f ms   fastest %8.2f ms\n", label, values[values.size() / 2], values[0]);
}
#endif

}  // namespace

int main(int argc, char** argv)
{
    const char* path = argc > 1 ? argv[1] : defaultMesh;
    int runs = argc > 2 ? std::max(1, std::atoi(argv[2])) : 7;

#if KETRA_HAVE_OBJ_READER
    std::vector<Engine::InputTriangle> mesh;
    if (!LoadMesh(path, mesh))
        return 2;

    for (bool reserve : {true, false}) {
        std::vector<double> intake, connectivity, total, cpu;
        size_t accepted = 0;
        for (int r = 0; r < runs; r++) {
            Timing t = TimeOnce(mesh, reserve, accepted);
            intake.push_back(t.intakeMs);
            connectivity.push_back(t.connectivityMs);
            total.push_back(t.intakeMs + t.connectivityMs);
            cpu.push_back(t.cpuMs);
        }
        std::printf("%s: %zu triangles, %zu accepted, %d runs, %s\n", path, mesh.size(), accepted, runs,
                    reserve ? "lists reserved" : "lists growing");
        Report("  intake", intake);
        Report("  connectivity", connectivity);
        Report("  intake + connectivity", total);
        Report("  the same, CPU time", cpu);
    }
    return 0;
#else
    (void)path;
    (void)runs;
    std::fprintf(stderr, "ketra-intake needs the OBJ reader (engine/mesh/obj_reader.h)\n");
    return 1;
#endif
}
