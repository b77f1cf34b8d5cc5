// Our PNG writer against libpng at zlib level 9 on the same bitmaps, in the same run.
//
//   ketra-pngbench [--runs N] [--level L] [--dump DIR] [extra.png ...]
//
// --dump writes both encodings of every input to DIR (NAME.ours.png, NAME.libpng.png).
//
// Inputs: lightmap-like atlas pages (smooth grey charts with gutters on red), noise, a flat
// colour, the textures in /usr/share/glmark2/textures (a few of its near-identical caustics
// frames only) and any PNG named on the command line. Times are the median of N runs.

#include <png.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "core/stream.h"
#include "core/timer.h"
#include "image/bitmap/bitmap.h"
#include "image/png/png_write.h"

namespace {

using Image::Bitmap;

struct Input {
    std::string name;
    std::string kind;  // "atlas", "texture", "noise", "flat", "extra"
    Bitmap bitmap;
};

bool LoadPng(const std::string& path, Bitmap& bitmap)
{
    png_image image{};
    image.version = PNG_IMAGE_VERSION;
    if (!png_image_begin_read_from_file(&image, path.c_str()))
        return false;
    image.format = PNG_FORMAT_BGRA;  // our pixel layout in memory
    bitmap = Bitmap(int32_t(image.width), int32_t(image.height));
    std::vector<uint32_t> pixels(size_t(image.width) * image.height);
    if (!png_image_finish_read(&image, nullptr, pixels.data(), 0, nullptr)) {
        png_image_free(&image);
        return false;
    }
    for (int32_t y = 0; y < bitmap.Height(); y++)
        std::memcpy(bitmap.RowPixels(y), &pixels[size_t(y) * image.width], size_t(image.width) * 4);
    return true;
}

// A page of the kind the baker writes: rectangular charts of smooth occlusion-like grey with
// a little sampling noise, separated by gutters that carry the bled border colour, on the
// red that marks unused texels. Alpha is opaque, as the tool writes it.
Bitmap AtlasPage(int32_t width, int32_t height, uint32_t seed)
{
    std::mt19937 rng(seed);
    Bitmap page(width, height);
    page.Fill(255, 0, 0, 255);
    int32_t y = 1;
    while (y < height - 8) {
        int32_t rowHeight = 8 + int32_t(rng() % 120);
        int32_t x = 1;
        while (x < width - 8) {
            int32_t w = 8 + int32_t(rng() % 160);
            int32_t h = 8 + int32_t(rng() % uint32_t(rowHeight - 7));
            w = std::min(w, width - 1 - x);
            h = std::min(h, height - 1 - y);
            if (w < 4 || h < 4)
                break;
            double fx = 0.01 + (rng() % 100) * 0.0006, fy = 0.01 + (rng() % 100) * 0.0006;
            double phase = (rng() % 628) * 0.01;
            double base = 150 + rng() % 80;
            for (int32_t cy = 0; cy < h; cy++) {
                for (int32_t cx = 0; cx < w; cx++) {
                    double v = base + 40 * std::sin(cx * fx + phase) * std::cos(cy * fy) - 30.0 * std::exp(-cx * 0.15);
                    int32_t g = std::clamp(int32_t(std::lround(v)) + int32_t(rng() % 3) - 1, 0, 255);
                    page.At(x + cx, y + cy) = 0xFF000000u | uint32_t(g) * 0x010101u;
                }
            }
            // Gutter: one ring around the chart repeating its border, as bleeding leaves it.
            for (int32_t cx = -1; cx <= w; cx++) {
                int32_t sx = std::clamp(cx, 0, w - 1);
                page.At(x + cx, y - 1) = page.At(x + sx, y);
                if (y + h < height)
                    page.At(x + cx, y + h) = page.At(x + sx, y + h - 1);
            }
            for (int32_t cy = 0; cy < h; cy++) {
                page.At(x - 1, y + cy) = page.At(x, y + cy);
                if (x + w < width)
                    page.At(x + w, y + cy) = page.At(x + w - 1, y + cy);
            }
            x += w + 3;
        }
        y += rowHeight + 3;
    }
    return page;
}

Bitmap Noise(int32_t width, int32_t height, uint32_t seed)
{
    std::mt19937 rng(seed);
    Bitmap bitmap(width, height);
    for (int32_t y = 0; y < height; y++) {
        for (int32_t x = 0; x < width; x++)
            bitmap.At(x, y) = rng() | 0xFF000000u;
    }
    return bitmap;
}

void PngWriteToVector(png_structp png, png_bytep data, png_size_t length)
{
    auto* out = static_cast<std::vector<uint8_t>*>(png_get_io_ptr(png));
    out->insert(out->end(), data, data + length);
}

void PngFlushNothing(png_structp) {}

// libpng's default filter heuristic, zlib level 9, same colour type as ours.
bool LibpngEncode(const Bitmap& bitmap, std::vector<uint8_t>& out)
{
    bool alpha = bitmap.HasAlpha();
    int32_t channels = alpha ? 4 : 3;
    std::vector<uint8_t> rows(size_t(bitmap.Width()) * size_t(channels) * size_t(bitmap.Height()));
    std::vector<png_bytep> rowPointers(size_t(bitmap.Height()));
    uint8_t* p = rows.data();
    for (int32_t y = 0; y < bitmap.Height(); y++) {
        rowPointers[size_t(y)] = p;
        const uint32_t* row = bitmap.RowPixels(y);
        for (int32_t x = 0; x < bitmap.Width(); x++) {
            *p++ = uint8_t(row[x] >> 16);
            *p++ = uint8_t(row[x] >> 8);
            *p++ = uint8_t(row[x]);
            if (alpha)
                *p++ = uint8_t(row[x] >> 24);
        }
    }
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png_create_info_struct(png);
    if (setjmp(png_jmpbuf(png))) {
        png_destroy_write_struct(&png, &info);
        return false;
    }
    out.clear();
    png_set_write_fn(png, &out, PngWriteToVector, PngFlushNothing);
    png_set_compression_level(png, 9);
    png_set_IHDR(png, info, png_uint_32(bitmap.Width()), png_uint_32(bitmap.Height()), 8,
                 alpha ? PNG_COLOR_TYPE_RGB_ALPHA : PNG_COLOR_TYPE_RGB, PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT,
                 PNG_FILTER_TYPE_DEFAULT);
    png_write_info(png, info);
    png_write_image(png, rowPointers.data());
    png_write_end(png, nullptr);
    png_destroy_write_struct(&png, &info);
    return true;
}

void WriteFile(const std::string& path, const std::vector<uint8_t>& bytes)
{
    FILE* file = std::fopen(path.c_str(), "wb");
    if (file == nullptr || std::fwrite(bytes.data(), 1, bytes.size(), file) != bytes.size())
        std::fprintf(stderr, "cannot write %s\n", path.c_str());
    if (file != nullptr)
        std::fclose(file);
}

double Median(std::vector<double> values)
{
    if (values.empty())
        return 0;
    std::sort(values.begin(), values.end());
    size_t n = values.size();
    return n % 2 ? values[n / 2] : 0.5 * (values[n / 2 - 1] + values[n / 2]);
}

}  // namespace

int main(int argc, char** argv)
{
    int32_t runs = 3;
    int32_t level = 9;
    std::vector<Input> inputs;
    std::vector<std::string> extras;
    std::string dumpDir;
    for (int i = 1; i < argc; i++) {
        if (std::strcmp(argv[i], "--runs") == 0 && i + 1 < argc)
            runs = std::max(1, std::atoi(argv[++i]));
        else if (std::strcmp(argv[i], "--level") == 0 && i + 1 < argc)
            level = std::atoi(argv[++i]);
        else if (std::strcmp(argv[i], "--dump") == 0 && i + 1 < argc)
            dumpDir = argv[++i];
        else
            extras.push_back(argv[i]);
    }

    inputs.push_back({"atlas 1024x1024 a", "atlas", AtlasPage(1024, 1024, 1)});
    inputs.push_back({"atlas 1024x1024 b", "atlas", AtlasPage(1024, 1024, 2)});
    inputs.push_back({"atlas 2048x1024", "atlas", AtlasPage(2048, 1024, 3)});
    inputs.push_back({"atlas 512x256", "atlas", AtlasPage(512, 256, 4)});
    inputs.push_back({"noise 512x512", "noise", Noise(512, 512, 5)});
    Bitmap flat(1024, 1024);
    flat.Fill(90, 120, 200, 255);
    inputs.push_back({"flat 1024x1024", "flat", flat});

    const std::filesystem::path textureDir = "/usr/share/glmark2/textures";
    std::vector<std::string> textures;
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(textureDir, error)) {
        std::string name = entry.path().filename().string();
        if (entry.path().extension() != ".png")
            continue;
        // Dozens of frames of one animation would swamp the median; three stand for them.
        if (name.rfind("jellyfish-caustics-", 0) == 0 && name > "jellyfish-caustics-03.png")
            continue;
        textures.push_back(entry.path().string());
    }
    std::sort(textures.begin(), textures.end());
    for (const std::string& path : textures) {
        Bitmap bitmap;
        if (LoadPng(path, bitmap))
            inputs.push_back({std::filesystem::path(path).filename().string(), "texture", bitmap});
    }
    for (const std::string& path : extras) {
        Bitmap bitmap;
        if (LoadPng(path, bitmap))
            inputs.push_back({std::filesystem::path(path).filename().string(), "extra", bitmap});
        else
            std::fprintf(stderr, "cannot read %s\n", path.c_str());
    }

    std::printf("%-34s %10s %10s %10s %7s %9s %9s %6s\n", "image", "size", "ours", "libpng9", "ratio", "ours ms",
                "libpng ms", "t/t");
    std::vector<double> sizeRatios;  // atlas pages, textures and extras
    std::vector<double> timeRatios;  // all inputs
    std::vector<double> atlasRatios;
    Image::PngWriter settings;
    settings.compressionLevel = level;
    for (const Input& input : inputs) {
        std::vector<double> ourTimes, theirTimes;
        size_t ourSize = 0, theirSize = 0;
        for (int32_t r = 0; r < runs; r++) {
            Core::MemoryOutputStream ours;
            Core::PreciseTimer timer;
            timer.Start();
            bool ok = Image::PngWrite(settings, ours, input.bitmap);
            ourTimes.push_back(double(timer.Stop()) / 1000.0);
            std::vector<uint8_t> theirs;
            timer.Start();
            bool theirOk = LibpngEncode(input.bitmap, theirs);
            theirTimes.push_back(double(timer.Stop()) / 1000.0);
            if (!ok || !theirOk) {
                std::fprintf(stderr, "%s: encoding failed\n", input.name.c_str());
                return 1;
            }
            ourSize = ours.bytes.size();
            theirSize = theirs.size();
            if (!dumpDir.empty() && r == 0) {
                std::string base = dumpDir + "/" + input.name;
                std::replace(base.begin() + long(dumpDir.size()) + 1, base.end(), ' ', '_');
                WriteFile(base + ".ours.png", ours.bytes);
                WriteFile(base + ".libpng.png", theirs);
            }
        }
        double ourMs = Median(ourTimes), theirMs = Median(theirTimes);
        double ratio = double(ourSize) / double(theirSize);
        char size[32];
        std::snprintf(size, sizeof(size), "%dx%d", input.bitmap.Width(), input.bitmap.Height());
        std::printf("%-34s %10s %10zu %10zu %7.4f %9.2f %9.2f %6.2f\n", input.name.c_str(), size, ourSize, theirSize,
                    ratio, ourMs, theirMs, ourMs / theirMs);
        if (input.kind == "atlas" || input.kind == "texture" || input.kind == "extra")
            sizeRatios.push_back(ratio);
        if (input.kind == "atlas")
            atlasRatios.push_back(ratio);
        timeRatios.push_back(ourMs / theirMs);
    }
    std::printf("\nmedian size ratio ours/libpng9, atlas pages and textures: %.4f (target <= 1.02)\n",
                Median(sizeRatios));
    std::printf("median size ratio ours/libpng9, atlas pages only:          %.4f\n", Median(atlasRatios));
    std::printf("median time ratio ours/libpng9, all inputs:                %.3f (target <= 2)\n", Median(timeRatios));
    return 0;
}
