#pragma once

// Scenes with chart seams, and whole bakes of them.

#include <cmath>
#include <memory>
#include <vector>

#include "chart_fixture.h"
#include "engine/lightmapper/lightmapper.h"
#include "engine/lightmapper/seams.h"

namespace SeamTest {

using ChartTest::MeshTriangle;
using Geom::Vec3;

constexpr double pi = 3.14159265358979;

// A floor square (0, 0) .. (2, 2) and a second square hinged on its edge y = 0, rising towards
// -y so that the two face normals are `bendDegrees` apart. Beyond 45 degrees the second face
// projects along y and the two lie in different charts. Four triangles; the hinge joins
// triangle 0 and triangle 3, which run along it in opposite directions.
inline std::vector<MeshTriangle> Fold(double bendDegrees)
{
    const float c = float(2 * std::cos(bendDegrees * pi / 180)), s = float(2 * std::sin(bendDegrees * pi / 180));
    std::vector<MeshTriangle> mesh;
    ChartTest::AddQuad(mesh, {0, 0, 0}, {2, 0, 0}, {2, 2, 0}, {0, 2, 0});
    ChartTest::AddQuad(mesh, {0, -c, s}, {2, -c, s}, {2, 0, 0}, {0, 0, 0});
    return mesh;
}

// A prism of `sides` faces, radius 2 and height 3, standing on a floor 10 units wide, with a
// box leaning on it. Its faces turn 360 / sides degrees from one to the next, and a face's
// chart follows the dominant axis of its normal, so the prism is cut into four charts with seams
// where that axis changes; the floor and the box shade the faces unevenly.
inline std::vector<MeshTriangle> PrismScene(int sides = 12)
{
    std::vector<MeshTriangle> mesh = ChartTest::Floor(10, 4);
    auto at = [&](int k, float z) {
        const double angle = (5.0 + 360.0 * k / sides) * pi / 180;  // no face normal on a diagonal
        return Vec3{float(5 + 2 * std::cos(angle)), float(5 + 2 * std::sin(angle)), z};
    };
    for (int k = 0; k < sides; k++)
        ChartTest::AddQuad(mesh, at(k, 0), at(k + 1, 0), at(k + 1, 3), at(k, 3));
    for (const MeshTriangle& t : ChartTest::Box({7.1f, 4.0f, 0.0f}, {8.0f, 6.5f, 2.0f}))
        mesh.push_back(t);
    return mesh;
}

// Ambient occlusion with few rays (noisy, so seams differ), small pages.
inline Engine::LightmapperSettings BakeSettings(bool fixSeams)
{
    Engine::LightmapperSettings settings = LightmapperTest::AoSettings(0.25f);
    settings.sampleCount = 32;
    settings.atlasSize = 128;
    if (fixSeams)
        settings.flags |= Engine::FixLightmapSeams;
    return settings;
}

struct Baked {
    std::unique_ptr<Engine::Lightmapper> lm;
    Engine::LmCharts charts;
    const Engine::Atlas& Pages() const { return lm->Atlases(0); }
};

// The lighting mode with the tool's basis count unless told otherwise, a few gather rays and
// small pages.
inline Engine::LightmapperSettings LitSettings(bool fixSeams, int32_t bases = 1)
{
    Engine::LightmapperSettings settings = BakeSettings(fixSeams);
    settings.aoDistance = 0;
    settings.sampleCount = 16;
    settings.basisCount = bases;
    return settings;
}

// A lamp above the prism scene, off to one side, so that the prism's faces are lit unevenly.
inline std::vector<Engine::LightRecord> Lamp()
{
    return {Engine::LightRecord::Point({2, 3, 6}, {6, 5, 4}, 30, {1, 0.1f, 0.02f})};
}

// A whole build on a pool of `threads`, keeping its charts; the lights only light the lighting
// mode.
inline Baked Bake(const Engine::LightmapperSettings& settings, const std::vector<MeshTriangle>& mesh,
                  int32_t threads = 1, const std::vector<Engine::LightRecord>& lights = {})
{
    Baked baked{std::make_unique<Engine::Lightmapper>(settings), {}};
    baked.lm->Pool().Start(threads);
    for (const Engine::LightRecord& light : lights)
        baked.lm->AddLight(light);
    for (size_t i = 0; i < mesh.size(); i++) {
        Engine::InputTriangle input = LightmapperTest::Tri(mesh[i].a, mesh[i].b, mesh[i].c);
        input.flags = mesh[i].flags;
        input.faceId = int32_t(i);
        baked.lm->AddTriangle(input);
    }
    baked.lm->Build(false, false, &baked.charts);
    return baked;
}

// The stitching points of a finished bake.
inline std::vector<Engine::StitchingPoint> Points(const Baked& baked)
{
    const std::vector<Engine::SeamEdge> edges =
        Engine::FindSeamEdges(baked.lm->Mesh(), baked.lm->Settings(), baked.charts.groups);
    return Engine::ExtractStitchingPoints(baked.lm->Mesh(), edges, baked.Pages());
}

// A copy of an atlas's pages (pixels only).
inline Engine::Atlas CopyPages(const Engine::Atlas& from)
{
    Engine::Atlas copy(from.PageWidth(), from.PageHeight(), from.fillColour);
    for (const auto& page : from.pages) {
        copy.pages.push_back(std::make_unique<Engine::AtlasPage>(page->bitmap.Width(), page->bitmap.Height(),
                                                                  from.fillColour, false));
        copy.pages.back()->bitmap = page->bitmap;
    }
    return copy;
}

inline bool SamePixels(const Engine::Atlas& a, const Engine::Atlas& b)
{
    if (a.PageCount() != b.PageCount())
        return false;
    for (int32_t p = 0; p < a.PageCount(); p++) {
        const Image::Bitmap &x = a.Page(p)->bitmap, &y = b.Page(p)->bitmap;
        if (x.Width() != y.Width() || x.Height() != y.Height())
            return false;
        for (int32_t row = 0; row < x.Height(); row++) {
            for (int32_t col = 0; col < x.Width(); col++) {
                if (x.At(col, row) != y.At(col, row))
                    return false;
            }
        }
    }
    return true;
}

}  // namespace SeamTest
