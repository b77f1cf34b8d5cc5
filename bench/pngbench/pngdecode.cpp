// Our PNG reader against libpng decoding the same files to the same 0xAARRGGBB pixels, in one run.
//
//   ketra-pngdecode [--runs N] [--dump DIR] [extra.png ...]
//
// --dump writes the generated inputs to DIR as PNG files.
//
// Inputs: a 4096 x 4096 lightmap page as the tool writes it (our writer, level 9, RGB), a
// photograph-like 2048 x 2048 RGBA texture (smooth gradients and noise, libpng's writer with its
// default filters and level), a 2048 x 2048 interlaced 8-bit palette image (libpng's writer), and
// any PNG named on the command line. The two decoders take turns; times are medians of N runs.
// Every decode is checked against the other decoder's pixels.

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
#include "image/png/png_read.h"
#include "image/png/png_write.h"

namespace {

using Image::Bitmap;

struct Input {
    std::string name;
    std::vector<uint8_t> file;
};

// Charts of smooth occlusion-like grey with a little noise on the red of unused texels, with a
// gutter ring around each chart, as the baker writes its pages.
Bitmap AtlasPage(int32_t width, int32_t height, uint32_t seed)
{
    std::mt19937 rng(seed);
    Bitmap page(width, height);
    page.Fill(255, 0, 0, 255);
    for (int32_t y = 1; y < height - 8;) {
        int32_t rowHeight = 8 + int32_t(rng() % 120);
        for (int32_t x = 1; x < width - 8;) {
            int32_t w = std::min(8 + int32_t(rng() % 160), width - 2 - x);
            int32_t h = std::min(8 + int32_t(rng() % uint32_t(rowHeight - 7)), height - 2 - y);
            if (w < 4 || h < 4)
                break;
            double fx = 0.01 + (rng() % 100) * 0.0006, fy = 0.01 + (rng() % 100) * 0.0006;
            double phase = (rng() % 628) * 0.01, base = 150 + rng() % 80;
            for (int32_t cy = -1; cy <= h; cy++) {
                for (int32_t cx = -1; cx <= w; cx++) {
                    int32_t sx = std::clamp(cx, 0, w - 1), sy = std::clamp(cy, 0, h - 1);
                    double v = base + 40 * std::sin(sx * fx + phase) * std::cos(sy * fy) - 30.0 * std::exp(-sx * 0.15);
                    int32_t g = std::clamp(int32_t(std::lround(v)) + int32_t(rng() % 3) - 1, 0, 255);
                    page.At(x + cx, y + cy) = 0xFF000000u | uint32_t(g) * 0x010101u;
                }
            }
            x += w + 3;
        }
        y += rowHeight + 3;
    }
    return page;
}

void WriteToVector(png_structp png, png_bytep data, png_size_t length)
{
    auto* out = static_cast<std::vector<uint8_t>*>(png_get_io_ptr(png));
    out->insert(out->end(), data, data + length);
}

void FlushNothing(png_structp) {}

// Rows of samples already in the file's layout, written by libpng with its default settings.
std::vector<uint8_t> LibpngWrite(uint32_t width, uint32_t height, int colourType, bool interlaced,
                                 const std::vector<uint8_t>& samples, const std::vector<png_color>& palette)
{
    std::vector<uint8_t> file;
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png_create_info_struct(png);
    if (setjmp(png_jmpbuf(png))) {
        png_destroy_write_struct(&png, &info);
        return {};
    }
    png_set_write_fn(png, &file, WriteToVector, FlushNothing);
    png_set_IHDR(png, info, width, height, 8, colourType, interlaced ? PNG_INTERLACE_ADAM7 : PNG_INTERLACE_NONE,
                 PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    if (!palette.empty())
        png_set_PLTE(png, info, palette.data(), int(palette.size()));
    png_write_info(png, info);
    size_t rowBytes = samples.size() / height;
    std::vector<png_bytep> rows(height);
    for (uint32_t y = 0; y < height; y++)
        rows[y] = const_cast<uint8_t*>(&samples[y * rowBytes]);
    png_write_image(png, rows.data());
    png_write_end(png, nullptr);
    png_destroy_write_struct(&png, &info);
    return file;
}

// Smooth colour gradients with some structure and noise, and an alpha mask of soft shapes.
std::vector<uint8_t> PhotoTexture(uint32_t width, uint32_t height, uint32_t seed)
{
    std::mt19937 rng(seed);
    std::normal_distribution<double> noise(0, 4);
    std::vector<uint8_t> samples(size_t(width) * height * 4);
    uint8_t* p = samples.data();
    for (uint32_t y = 0; y < height; y++) {
        for (uint32_t x = 0; x < width; x++, p += 4) {
            double u = double(x) / width, v = double(y) / height;
            double r = 120 + 90 * std::sin(u * 5.1 + v * 1.3) + 20 * std::sin(u * 40 + v * 33);
            double g = 110 + 80 * std::cos(v * 4.3 - u * 2.0);
            double b = 100 + 60 * std::sin((u + v) * 7.7) * std::cos(u * 3.1);
            double a = 255 * (0.5 + 0.5 * std::sin(u * 9.0) * std::sin(v * 7.0));
            p[0] = uint8_t(std::clamp(r + noise(rng), 0.0, 255.0));
            p[1] = uint8_t(std::clamp(g + noise(rng), 0.0, 255.0));
            p[2] = uint8_t(std::clamp(b + noise(rng), 0.0, 255.0));
            p[3] = uint8_t(std::clamp(a + noise(rng), 0.0, 255.0));
        }
    }
    return samples;
}

// A quantised picture: 256 palette colours, indices following smooth bands with some dither.
std::vector<uint8_t> PaletteIndices(uint32_t width, uint32_t height, uint32_t seed)
{
    std::mt19937 rng(seed);
    std::vector<uint8_t> indices(size_t(width) * height);
    for (uint32_t y = 0; y < height; y++) {
        for (uint32_t x = 0; x < width; x++) {
            double v = 128 + 100 * std::sin(x * 0.013) * std::cos(y * 0.009) + 20 * std::sin((x + y) * 0.05);
            indices[size_t(y) * width + x] = uint8_t(std::clamp(int(v) + int(rng() % 3) - 1, 0, 255));
        }
    }
    return indices;
}

struct MemoryReader {
    const std::vector<uint8_t>* file;
    size_t at;
};

void ReadFromMemory(png_structp png, png_bytep out, png_size_t length)
{
    auto* reader = static_cast<MemoryReader*>(png_get_io_ptr(png));
    if (reader->at + length > reader->file->size())
        png_error(png, "short file");
    std::memcpy(out, reader->file->data() + reader->at, length);
    reader->at += length;
}

// libpng's fastest way to our pixels: its own transforms to B, G, R, A bytes, rows straight into
// the bitmap.
bool LibpngDecode(const std::vector<uint8_t>& file, Bitmap& bitmap)
{
    png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png_create_info_struct(png);
    std::vector<png_bytep> rows;
    if (setjmp(png_jmpbuf(png))) {
        png_destroy_read_struct(&png, &info, nullptr);
        return false;
    }
    MemoryReader reader{&file, 0};
    png_set_read_fn(png, &reader, ReadFromMemory);
    png_read_info(png, info);
    png_set_expand(png);
    png_set_strip_16(png);
    png_set_gray_to_rgb(png);
    png_set_bgr(png);
    png_set_add_alpha(png, 0xFF, PNG_FILLER_AFTER);
    png_set_interlace_handling(png);
    png_read_update_info(png, info);
    bitmap.SetSize(int32_t(png_get_image_width(png, info)), int32_t(png_get_image_height(png, info)));
    for (int32_t y = 0; y < bitmap.Height(); y++)
        rows.push_back(reinterpret_cast<png_bytep>(bitmap.RowPixels(y)));
    png_read_image(png, rows.data());
    png_read_end(png, nullptr);
    png_destroy_read_struct(&png, &info, nullptr);
    return true;
}

bool SamePixels(const Bitmap& a, const Bitmap& b)
{
    if (a.Width() != b.Width() || a.Height() != b.Height())
        return false;
    for (int32_t y = 0; y < a.Height(); y++) {
        if (std::memcmp(a.RowPixels(y), b.RowPixels(y), size_t(a.Width()) * 4) != 0)
            return false;
    }
    return true;
}

double Median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    size_t n = values.size();
    return n % 2 ? values[n / 2] : 0.5 * (values[n / 2 - 1] + values[n / 2]);
}

}  // namespace

int main(int argc, char** argv)
{
    int32_t runs = 5;
    std::string dumpDir;
    std::vector<std::string> extras;
    for (int i = 1; i < argc; i++) {
        if (std::strcmp(argv[i], "--runs") == 0 && i + 1 < argc)
            runs = std::max(1, std::atoi(argv[++i]));
        else if (std::strcmp(argv[i], "--dump") == 0 && i + 1 < argc)
            dumpDir = argv[++i];
        else
            extras.push_back(argv[i]);
    }

    std::vector<Input> inputs;
    {
        Core::MemoryOutputStream page;
        Image::PngWrite(Image::PngWriter{}, page, AtlasPage(4096, 4096, 1));
        inputs.push_back({"page 4096x4096 (ours, RGB)", page.bytes});
    }
    inputs.push_back({"photo 2048x2048 (libpng, RGBA)", LibpngWrite(2048, 2048, PNG_COLOR_TYPE_RGB_ALPHA, false,
                                                                      PhotoTexture(2048, 2048, 2), {})});
    {
        std::vector<png_color> palette(256);
        for (size_t i = 0; i < palette.size(); i++)
            palette[i] = {uint8_t(i), uint8_t(255 - i), uint8_t(i * 7)};
        inputs.push_back({"palette 2048x2048 (libpng, Adam7)", LibpngWrite(2048, 2048, PNG_COLOR_TYPE_PALETTE, true,
                                                                          PaletteIndices(2048, 2048, 3), palette)});
    }
    for (size_t i = 0; i < inputs.size() && !dumpDir.empty(); i++) {
        std::string path = dumpDir + "/" + inputs[i].name.substr(0, inputs[i].name.find(' ')) + ".png";
        std::FILE* f = std::fopen(path.c_str(), "wb");
        if (!f || std::fwrite(inputs[i].file.data(), 1, inputs[i].file.size(), f) != inputs[i].file.size())
            std::fprintf(stderr, "cannot write %s\n", path.c_str());
        if (f)
            std::fclose(f);
    }
    for (const std::string& path : extras) {
        std::FILE* f = std::fopen(path.c_str(), "rb");
        if (!f) {
            std::fprintf(stderr, "cannot read %s\n", path.c_str());
            continue;
        }
        Input input{std::filesystem::path(path).filename().string(), {}};
        uint8_t block[65536];
        size_t n;
        while ((n = std::fread(block, 1, sizeof(block), f)) > 0)
            input.file.insert(input.file.end(), block, block + n);
        std::fclose(f);
        inputs.push_back(input);
    }

    std::printf("%-36s %10s %10s %10s %8s %8s\n", "image", "file bytes", "ours ms", "libpng ms", "MB/s", "ratio");
    std::vector<double> ratios;
    for (const Input& input : inputs) {
        std::vector<double> ourTimes, theirTimes;
        Bitmap ours, theirs;
        for (int32_t r = 0; r < runs; r++) {
            Core::PreciseTimer timer;
            Core::MemoryInputStream stream(input.file.data(), input.file.size());
            timer.Start();
            bool ok = Image::PngRead::Read(stream, ours);
            ourTimes.push_back(double(timer.Stop()) / 1000.0);
            timer.Start();
            bool theirOk = LibpngDecode(input.file, theirs);
            theirTimes.push_back(double(timer.Stop()) / 1000.0);
            if (!ok || !theirOk || !SamePixels(ours, theirs)) {
                std::fprintf(stderr, "%s: %s\n", input.name.c_str(),
                             !ok ? "our reader failed" : !theirOk ? "libpng failed" : "the decoders disagree");
                return 1;
            }
        }
        double ourMs = Median(ourTimes), theirMs = Median(theirTimes);
        double megabytes = double(ours.Width()) * ours.Height() * 4 / 1e6;
        std::printf("%-36s %10zu %10.2f %10.2f %8.0f %8.2f\n", input.name.c_str(), input.file.size(), ourMs, theirMs,
                    megabytes / (ourMs / 1000), theirMs / ourMs);
        ratios.push_back(theirMs / ourMs);
    }
    std::printf("\nratio = libpng time / our time (target >= 0.5); lowest: %.2f\n",
                *std::min_element(ratios.begin(), ratios.end()));
    return 0;
}
