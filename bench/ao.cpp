// ketra-ao MODEL.obj [-i SCALE] [-s SAMPLES] [-j THREADS]
//
// Runs the build up to and including the ambient-occlusion pass on a model, as the tool does
// with its default settings (texel size, distance, one sample point per texel), and times the
// pass. Prints one "name value" line per figure; rays_per_s counts covered texels x samples
// over the whole pass (corner coordinates, tracing and post-processing).

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>
#include <thread>
#include <vector>

#include "app/options.h"
#include "engine/lightmapper/ambient_occlusion.h"
#include "engine/lightmapper/grouping.h"
#include "engine/lightmapper/lightmapper.h"
#include "engine/lightmapper/texel_runs.h"
#include "engine/lightmapper/texels.h"
#include "engine/mesh/obj_reader.h"

namespace {

using Clock = std::chrono::steady_clock;

double Seconds(Clock::time_point start)
{
    return std::chrono::duration<double>(Clock::now() - start).count();
}

struct Options {
    const char* model = nullptr;
    float scale = 1.0f;
    int32_t samples = 256;
    int32_t threads = 1;
};

bool ParseOptions(int argc, char** argv, Options& options)
{
    for (int i = 1; i < argc; i++) {
        const std::string arg = argv[i];
        if ((arg == "-i" || arg == "-s" || arg == "-j") && i + 1 < argc) {
            const char* value = argv[++i];
            if (arg == "-i")
                options.scale = std::strtof(value, nullptr);
            else if (arg == "-s")
                options.samples = std::atoi(value);
            else
                options.threads = std::atoi(value);
        } else if (!options.model) {
            options.model = argv[i];
        } else {
            return false;
        }
    }
    return options.model && options.threads >= 1 && options.scale > 0 && options.samples >= 0;
}

// The run driver's intake: scaled, turned to the engine's axes, handed over triangle by
// triangle, vertex normals rebuilt when the file's are incomplete.
bool LoadModel(const char* path, float scale, Engine::Lightmapper& lm)
{
    std::FILE* file = std::fopen(path, "rb");
    if (!file)
        return false;
    Engine::ObjReader reader;
    const bool parsed = reader.Parse(file, path, Geom::Vec3{scale, scale, scale}, 0);
    std::fclose(file);
    if (!parsed) {
        std::fprintf(stderr, "%s\n", reader.LastError().c_str());
        return false;
    }
    reader.ConvertAxes();
    bool normalsFromFile = reader.hasNormals;
    lm.Reserve(int32_t(reader.triangles.size()));
    for (size_t i = 0; i < reader.triangles.size(); i++) {
        const Engine::ObjTriangle& t = reader.triangles[i];
        const bool hasUvs = t.uv[0] >= 0 && t.uv[1] >= 0 && t.uv[2] >= 0;
        const bool hasNormals = t.normal[0] >= 0 && t.normal[1] >= 0 && t.normal[2] >= 0;
        normalsFromFile = normalsFromFile && hasNormals;
        Engine::InputTriangle input;
        for (int k = 0; k < 3; k++) {
            input.positions[k] = reader.positions[size_t(t.vertex[k])];
            input.uvs[k] = hasUvs ? reader.uvs[size_t(t.uv[k])] : Geom::Vec2{0, 0};
            input.normals[k] = normalsFromFile ? reader.normals[size_t(t.normal[k])] : Geom::Vec3{0, 0, 0};
        }
        input.flags = 0;
        input.modelId = 0;
        input.faceId = int32_t(i);
        lm.AddTriangle(input);
    }
    if (!normalsFromFile)
        lm.BuildVertexNormals(App::Options().smoothingAngle);
    return true;
}

}  // namespace

int main(int argc, char** argv)
{
    Options options;
    if (!ParseOptions(argc, argv, options)) {
        std::fprintf(stderr, "usage: ketra-ao MODEL.obj [-i SCALE] [-s SAMPLES] [-j THREADS]\n");
        return 2;
    }
    Engine::LightmapperSettings settings = App::ToolSettings();
    settings.sampleCount = options.samples;
    Engine::Lightmapper lm(settings);
    if (!LoadModel(options.model, options.scale, lm)) {
        std::fprintf(stderr, "cannot read model %s\n", options.model);
        return 1;
    }
    lm.pool.Start(options.threads);
    // What Build prepares before its stages: one candidate list per thread index.
    const int32_t slots = std::max({int32_t(std::thread::hardware_concurrency()), lm.pool.GetThreadCount(), 1});
    lm.threadCandidates.resize(size_t(slots));

    const Clock::time_point setupStart = Clock::now();
    lm.BuildConnectivity();
    lm.BuildKdTree();
    Engine::BuildGroups(lm);
    Engine::BuildGroupTasks(lm);
    const double setupSeconds = Seconds(setupStart);

    int64_t covered = 0;
    for (const auto& group : lm.groups) {
        Engine::TexelRunCursor cursor(*group, 0);
        for (int32_t texel = 0; texel < group->TexelCount(); texel++)
            covered += cursor.NextTriangle() >= 0;
    }

    // With one thread the pass reports each task as it starts, in order: the gaps are the task
    // times, from which the hand-out of tasks to two threads can be replayed.
    std::vector<double> taskStarts;
    if (options.threads == 1) {
        taskStarts.reserve(lm.tasks.size());
        lm.progress = [&](float, float value, const std::string& title) {
            if (title.empty() && value == -1)
                taskStarts.push_back(std::chrono::duration<double>(Clock::now().time_since_epoch()).count());
        };
    }
    const std::clock_t passCpuStart = std::clock();
    const Clock::time_point passStart = Clock::now();
    Engine::RunAmbientOcclusion(lm);
    const double passSeconds = Seconds(passStart);
    const double passCpuSeconds = double(std::clock() - passCpuStart) / CLOCKS_PER_SEC;

    const double passEnd = std::chrono::duration<double>(Clock::now().time_since_epoch()).count();

    const double rays = double(covered) * double(options.samples);
    std::printf("triangles %d\n", int(lm.triangles.size()));
    std::printf("groups %d\n", int(lm.groups.size()));
    std::printf("tasks %d\n", int(lm.tasks.size()));
    std::printf("threads %d\n", lm.pool.GetThreadCount());
    std::printf("setup_s %.3f\n", setupSeconds);
    std::printf("covered_texels %lld\n", static_cast<long long>(covered));
    std::printf("samples %d\n", options.samples);
    std::printf("ao_s %.3f\n", passSeconds);
    // CPU seconds of all threads: on a busy machine rays per CPU second still show the cost of
    // the work itself, and wall over CPU shows how much the other threads really ran.
    std::printf("ao_cpu_s %.3f\n", passCpuSeconds);
    std::printf("rays_per_s %.0f\n", passSeconds > 0 ? rays / passSeconds : 0.0);
    std::printf("mrays_per_s %.3f\n", passSeconds > 0 ? rays / passSeconds / 1e6 : 0.0);
    if (!taskStarts.empty() && taskStarts.size() == lm.tasks.size()) {
        // Each participant claims the next task when it is free; the pass's wall time on two
        // idle cores is the later of the two finishing times (post-processing left out).
        double busy[2] = {0, 0}, total = 0, largest = 0;
        for (size_t k = 0; k < taskStarts.size(); k++) {
            const double end = k + 1 < taskStarts.size() ? taskStarts[k + 1] : passEnd;
            const double duration = end - taskStarts[k];
            total += duration;
            largest = std::max(largest, duration);
            busy[busy[0] <= busy[1] ? 0 : 1] += duration;
        }
        const double makespan = std::max(busy[0], busy[1]);
        std::printf("largest_task_share %.4f\n", total > 0 ? largest / total : 0.0);
        std::printf("two_thread_balance %.3f\n", makespan > 0 ? total / makespan : 0.0);
    }
    return 0;
}
