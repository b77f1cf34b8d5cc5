#include "app/lightmap_writer.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

#include "app/console.h"
#include "core/parallel_for.h"
#include "core/stream.h"
#include "engine/lightmapper/lightmapper.h"
#include "image/png/png_write.h"

namespace App {
namespace {

constexpr int imageCompressionLevel = 9;

// Writes into a C stream and refuses further bytes once the build is cancelled, so that a stop
// request does not wait for a large page to be compressed to its end.
class PageFileStream final : public Core::OutputStream {
public:
    PageFileStream(std::FILE* file, const Engine::Lightmapper& lightmapper) : file(file), lightmapper(lightmapper) {}

    bool Write(const void* data, size_t size) override
    {
        if (lightmapper.IsCancelled()) {
            error = "cancelled";
            return false;
        }
        errno = 0;
        if (size != 0 && std::fwrite(data, 1, size, file) != size) {
            error = std::strerror(errno != 0 ? errno : EIO);
            return false;
        }
        return true;
    }

    std::string error;

private:
    std::FILE* file;
    const Engine::Lightmapper& lightmapper;
};

}  // namespace

std::string LightmapFileName(int page)
{
    char name[64];
    std::snprintf(name, sizeof name, "Ketra_lightmap_%d.png", page);
    return name;
}

bool WritePagePng(const Engine::Lightmapper& lightmapper, int32_t page, std::FILE* file, std::string& error)
{
    if (lightmapper.IsCancelled()) {
        error = "cancelled";
        return false;
    }
    // Consumers read the pages as plain RGB: texels no chart reached keep their colour but
    // lose their transparency.
    Image::Bitmap opaque(lightmapper.Atlases(0).Page(page)->bitmap);
    opaque.SetAlpha(255);
    PageFileStream stream(file, lightmapper);
    Image::PngWriter settings;
    settings.compressionLevel = imageCompressionLevel;
    if (!Image::PngWrite(settings, stream, opaque)) {
        error = stream.error.empty() ? "the image could not be encoded" : stream.error;
        return false;
    }
    return true;
}

std::vector<std::string> WriteLightmapPages(const Engine::Lightmapper& lightmapper,
                                            const std::vector<std::FILE*>& files)
{
    const int32_t pageCount = lightmapper.Atlases(0).PageCount();
    // One slot per page: each body writes only its own.
    std::vector<std::string> errors(size_t(pageCount > 0 ? pageCount : 0));
    Core::ParallelRun(
        [&](int32_t page, int32_t) {
            Print("%d/%d\n", page + 1, pageCount);
            std::string& error = errors[size_t(page)];
            if (!WritePagePng(lightmapper, page, files[size_t(page)], error) && error.empty())
                error = "unknown error";
        },
        pageCount, 1);
    return errors;
}

std::vector<std::string> WriteLightmapImages(const Engine::Lightmapper& lightmapper)
{
    const int32_t pageCount = lightmapper.Atlases(0).PageCount();
    std::vector<std::FILE*> files(size_t(pageCount > 0 ? pageCount : 0), nullptr);
    std::vector<std::string> failed;
    for (int32_t page = 0; page < pageCount; page++)
        files[size_t(page)] = std::fopen(LightmapFileName(page).c_str(), "wb");
    std::vector<std::string> errors(files.size());
    Core::ParallelRun(
        [&](int32_t page, int32_t) {
            Print("%d/%d\n", page + 1, pageCount);
            if (!files[size_t(page)] || !WritePagePng(lightmapper, page, files[size_t(page)], errors[size_t(page)]))
                errors[size_t(page)] = "failed";
        },
        pageCount, 1);
    for (int32_t page = 0; page < pageCount; page++) {
        std::FILE* file = files[size_t(page)];
        bool ok = errors[size_t(page)].empty();
        if (file) {
            ok = std::fflush(file) == 0 && ok;
            ok = std::fclose(file) == 0 && ok;
        }
        if (!ok)
            failed.push_back(LightmapFileName(page));
    }
    return failed;
}

}  // namespace App
