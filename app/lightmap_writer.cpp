#include "app/lightmap_writer.h"

#include <cstdio>
#include <memory>

#include "app/console.h"
#include "core/parallel_for.h"
#include "core/stream.h"
#include "engine/lightmapper/lightmapper.h"
#include "image/png/png_write.h"

namespace App {
namespace {

constexpr int imageCompressionLevel = 9;

bool WritePage(const Image::Bitmap& page, const std::string& name)
{
    std::FILE* file = std::fopen(name.c_str(), "wb");
    if (!file)
        return false;
    // Consumers read the pages as plain RGB: texels no chart reached keep their colour but
    // lose their transparency.
    Image::Bitmap opaque(page);
    opaque.SetAlpha(255);
    Core::FileOutputStream stream(file);
    Image::PngWriter settings;
    settings.compressionLevel = imageCompressionLevel;
    bool ok = Image::PngWrite(settings, stream, opaque);
    ok = std::fflush(file) == 0 && ok;
    ok = std::fclose(file) == 0 && ok;
    return ok;
}

}  // namespace

std::string LightmapFileName(int page)
{
    char name[64];
    std::snprintf(name, sizeof name, "Ketra_lightmap_%d.png", page);
    return name;
}

std::vector<std::string> WriteLightmapImages(const Engine::Lightmapper& lightmapper)
{
    const Engine::Atlas& atlas = lightmapper.Atlases(0);
    const int32_t pageCount = atlas.PageCount();
    // One slot per page: each body writes only its own.
    std::unique_ptr<bool[]> written(new bool[size_t(pageCount > 0 ? pageCount : 1)]());
    Core::ParallelRun(
        [&](int32_t page, int32_t) {
            Print("%d/%d\n", page + 1, pageCount);
            written[size_t(page)] = WritePage(atlas.Page(page)->bitmap, LightmapFileName(page));
        },
        pageCount, 1);
    std::vector<std::string> failed;
    for (int32_t page = 0; page < pageCount; page++) {
        if (!written[size_t(page)])
            failed.push_back(LightmapFileName(page));
    }
    return failed;
}

}  // namespace App
