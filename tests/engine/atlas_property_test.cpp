// The atlas of whole bakes of real meshes: every triangle lands on a page inside it, charts never
// share a texel, and each chart's covered texels sit where its coordinates say, with its colours.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "app/driver.h"
#include "app/options.h"
#include "engine/lightmapper/atlas_build.h"
#include "engine/lightmapper/lightmapper.h"
#include "engine/mesh/obj_reader.h"

namespace {

struct Model {
    std::string path;
    float scale;
    size_t maxTriangles = SIZE_MAX;  // the first ones of the file
};

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
// Grouping a whole bunny takes long under the sanitizers; a piece of its surface keeps the many
// small charts.
constexpr size_t bunnyTriangles = 12000;
#else
constexpr size_t bunnyTriangles = SIZE_MAX;
#endif

// Bakes the model with one ray per texel (the atlas does not depend on the values) and keeps the
// charts, which the build would otherwise release at its end.
struct Bake {
    std::unique_ptr<Engine::Lightmapper> lm;
    Engine::LmCharts charts;
};

bool RunBake(const Model& model, Bake& bake)
{
    App::Options options;
    options.settings = App::ToolSettings();
    options.settings.sampleCount = 1;
    options.scale = model.scale;
    Engine::ObjReader reader;
    std::FILE* file = std::fopen(model.path.c_str(), "rb");
    if (!file)
        return false;
    bool parsed = reader.Parse(file, model.path, {model.scale, model.scale, model.scale}, 0);
    std::fclose(file);
    if (!parsed)
        return false;
    reader.ConvertAxes();
    if (reader.triangles.size() > model.maxTriangles)
        reader.triangles.resize(model.maxTriangles);
    bake.lm = std::make_unique<Engine::Lightmapper>(options.settings);
    Engine::Lightmapper& lm = *bake.lm;
    if (!App::FeedTriangles(reader, options, lm))
        lm.BuildVertexNormals(options.smoothingAngle);
    return lm.Build(false, false, &bake.charts);
}

// Where a chart's texel (0, 0) sits on its page, found from its corners' coordinates, for the
// orientation whose corners all agree on one whole-texel offset.
struct ChartOrigin {
    bool found = false;
    bool transposed = false;
    int32_t x = 0, y = 0;
};

ChartOrigin FindOrigin(const Engine::LmMesh& mesh, const Engine::LmGroup& chart, int32_t pageWidth,
                       int32_t pageHeight)
{
    Geom::Mat3 chartToTexel;
    if (!chart.texelToChart.Inverse(chartToTexel))
        return {};
    // The chart's own flag first: a trial packing may have turned a chart that then kept its
    // first place.
    for (bool transposed : {chart.transposed, !chart.transposed}) {
        double sumX = 0, sumY = 0, worst = 0;
        int corners = 0;
        std::vector<std::pair<double, double>> offsets;
        for (int32_t t : chart.triangles) {
            const Engine::LmTriangle& triangle = mesh.triangles[size_t(t)];
            for (int k = 0; k < 3; k++) {
                Geom::Vec2 p = Engine::ProjectToPlane(mesh.Corner(triangle, k), chart.ProjectionAxis());
                Geom::Vec3 texel = chartToTexel.TransformRow({p.x, p.y, 1.0f});
                double s = transposed ? texel.y : texel.x, u = transposed ? texel.x : texel.y;
                offsets.push_back({double(triangle.lmUv[k].x) * pageWidth - 0.5 - s,
                                   double(triangle.lmUv[k].y) * pageHeight - 0.5 - u});
                sumX += offsets.back().first;
                sumY += offsets.back().second;
                corners++;
            }
        }
        if (corners == 0)
            return {};
        double x = std::round(sumX / corners), y = std::round(sumY / corners);
        for (const auto& [ox, oy] : offsets)
            worst = std::max({worst, std::fabs(ox - x), std::fabs(oy - y)});
        if (worst < 0.05)
            return {true, transposed, int32_t(x), int32_t(y)};
    }
    return {};
}

void CheckAtlas(const Model& model)
{
    SCOPED_TRACE(model.path);
    Bake bake;
    ASSERT_TRUE(RunBake(model, bake));
    const Engine::Lightmapper& lm = *bake.lm;
    const Engine::Atlas& atlas = lm.Atlases(0);
    const Engine::LmMesh& mesh = lm.Mesh();
    ASSERT_GT(atlas.PageCount(), 0);
    ASSERT_FALSE(bake.charts.groups.empty());

    // Every triangle is on a page, its corners strictly inside it.
    for (size_t t = 0; t < mesh.triangles.size(); t++) {
        const Engine::LmTriangle& triangle = mesh.triangles[t];
        ASSERT_GE(triangle.page, 0) << "triangle " << t;
        ASSERT_LT(triangle.page, atlas.PageCount()) << "triangle " << t;
        for (int k = 0; k < 3; k++) {
            ASSERT_GT(triangle.lmUv[k].x, 0.0f) << "triangle " << t;
            ASSERT_LT(triangle.lmUv[k].x, 1.0f) << "triangle " << t;
            ASSERT_GT(triangle.lmUv[k].y, 0.0f) << "triangle " << t;
            ASSERT_LT(triangle.lmUv[k].y, 1.0f) << "triangle " << t;
        }
    }

    // Covered texels of every chart, placed by the chart's coordinates: inside the page, on no
    // other chart's texel, and showing the chart's own colour.
    std::vector<std::vector<int32_t>> owner(size_t(atlas.PageCount()));
    for (int32_t p = 0; p < atlas.PageCount(); p++) {
        const Image::Bitmap& page = atlas.Page(p)->bitmap;
        owner[size_t(p)].assign(size_t(page.Width()) * size_t(page.Height()), -1);
    }
    Image::Bitmap drawn;
    for (size_t g = 0; g < bake.charts.groups.size(); g++) {
        Engine::LmGroup& chart = bake.charts.groups[g];
        ASSERT_GE(chart.page, 0) << "chart " << g;
        ASSERT_LT(chart.page, atlas.PageCount()) << "chart " << g;
        const Image::Bitmap& page = atlas.Page(chart.page)->bitmap;
        ChartOrigin origin = FindOrigin(mesh, chart, page.Width(), page.Height());
        ASSERT_TRUE(origin.found) << "chart " << g << ": corners disagree on its place";
        chart.transposed = origin.transposed;
        Engine::RenderGroupBitmap(chart, chart.basis[0], drawn, 0);
        for (int32_t y = 0; y < drawn.Height(); y++) {
            for (int32_t x = 0; x < drawn.Width(); x++) {
                if ((drawn.At(x, y) >> 24) == 0)
                    continue;
                int32_t px = origin.x + x, py = origin.y + y;
                ASSERT_TRUE(px >= 0 && py >= 0 && px < page.Width() && py < page.Height())
                    << "chart " << g << " texel " << x << "," << y << " at " << px << "," << py;
                int32_t& claim = owner[size_t(chart.page)][size_t(py) * size_t(page.Width()) + size_t(px)];
                ASSERT_EQ(claim, -1) << "charts " << claim << " and " << g << " share texel " << px << "," << py;
                claim = int32_t(g);
                ASSERT_EQ(page.At(px, py), drawn.At(x, y)) << "chart " << g << " at " << px << "," << py;
            }
        }
    }

    // Rasterised at texel centres, each triangle claims texels for its chart alone; a centre well
    // inside a triangle is one of its chart's covered texels.
    std::vector<std::vector<int32_t>> claims(owner.size());
    for (size_t p = 0; p < owner.size(); p++)
        claims[p].assign(owner[p].size(), -1);
    int64_t inside = 0, uncovered = 0;
    for (size_t t = 0; t < mesh.triangles.size(); t++) {
        const Engine::LmTriangle& triangle = mesh.triangles[t];
        const Image::Bitmap& page = atlas.Page(triangle.page)->bitmap;
        double px[3], py[3];
        for (int k = 0; k < 3; k++) {
            px[k] = double(triangle.lmUv[k].x) * page.Width() - 0.5;
            py[k] = double(triangle.lmUv[k].y) * page.Height() - 0.5;
        }
        double area = (px[1] - px[0]) * (py[2] - py[0]) - (px[2] - px[0]) * (py[1] - py[0]);
        if (std::fabs(area) < 1e-9)
            continue;
        int32_t x0 = int32_t(std::floor(std::min({px[0], px[1], px[2]}))), x1 = int32_t(std::ceil(std::max({px[0], px[1], px[2]})));
        int32_t y0 = int32_t(std::floor(std::min({py[0], py[1], py[2]}))), y1 = int32_t(std::ceil(std::max({py[0], py[1], py[2]})));
        for (int32_t y = std::max(y0, 0); y <= std::min(y1, page.Height() - 1); y++) {
            for (int32_t x = std::max(x0, 0); x <= std::min(x1, page.Width() - 1); x++) {
                // Distances to the three edges, in texels, positive inside.
                double nearest = 1e30;
                for (int k = 0; k < 3; k++) {
                    int a = k, b = (k + 1) % 3;
                    double ex = px[b] - px[a], ey = py[b] - py[a];
                    double cross = ex * (y - py[a]) - ey * (x - px[a]);
                    nearest = std::min(nearest, cross / std::hypot(ex, ey) * (area > 0 ? 1 : -1));
                }
                if (nearest < 0)
                    continue;
                size_t i = size_t(y) * size_t(page.Width()) + size_t(x);
                int32_t& claim = claims[size_t(triangle.page)][i];
                ASSERT_TRUE(claim == -1 || claim == triangle.group)
                    << "triangles of charts " << claim << " and " << triangle.group << " both cover texel " << x << ","
                    << y << " of page " << triangle.page;
                claim = triangle.group;
                if (nearest > 0.01) {
                    inside++;
                    uncovered += owner[size_t(triangle.page)][i] != triangle.group;
                }
            }
        }
    }
    // The bake's coverage and this rasterisation may differ on centres very close to an edge.
    EXPECT_LE(uncovered, inside / 1000) << uncovered << " of " << inside << " texel centres inside triangles";
}

std::string SourcePath(const char* relative) { return std::string(KETRA_SOURCE_DIR) + "/" + relative; }

TEST(AtlasOfRealMeshes, ExampleRoom) { CheckAtlas({SourcePath("examples/room.obj"), 1.0f}); }

TEST(AtlasOfRealMeshes, BunnyAtScale10)
{
    const char* path = "/usr/share/glmark2/models/bunny.obj";
    if (!std::filesystem::exists(path))
        GTEST_SKIP() << path << " is missing (package glmark2-data)";
    CheckAtlas({path, 10.0f, bunnyTriangles});
}

TEST(AtlasOfRealMeshes, FurnitureModels)
{
    // A full page of many small charts, a shrunk page of a curved shape, and a larger mesh; the
    // other models of the set add little but time under the sanitizers.
    const char* names[] = {"workbench.obj", "dog.obj", "folding-table.obj"};
    int found = 0;
    for (const char* name : names) {
        std::string path = SourcePath("build/testdata/furniture/") + name;
        if (!std::filesystem::exists(path))
            continue;
        found++;
        CheckAtlas({path, 1.0f});
    }
    if (found == 0)
        GTEST_SKIP() << "no furniture models in build/testdata/furniture (run scripts/prepare_test_data)";
}

}  // namespace
