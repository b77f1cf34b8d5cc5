#include "engine/lightmapper/post_process.h"

#include <algorithm>
#include <cassert>
#include <cmath>
#include <vector>

#include "engine/lightmapper/texel_runs.h"

namespace Engine {
namespace {

std::vector<float> GaussianWeights(int32_t kernel)
{
    float sigma = float(kernel) / 2.5f;
    int32_t half = kernel / 2;
    std::vector<float> weights(static_cast<size_t>(kernel));
    float sum = 0;
    for (int32_t j = 0; j < kernel; j++) {
        float o = float(j - half);
        weights[size_t(j)] = std::exp(-(o * o) / (2 * sigma * sigma)) / std::sqrt(6.2831855f * sigma * sigma);
        sum += weights[size_t(j)];
    }
    for (float& w : weights)
        w /= sum;
    return weights;
}

std::vector<uint8_t> CoverageMask(const LmGroup& group)
{
    std::vector<uint8_t> mask(size_t(group.TexelCount()));
    TexelRunCursor cursor(group, 0);
    for (uint8_t& covered : mask)
        covered = cursor.NextTriangle() >= 0;
    return mask;
}

// One direction of the blur: `step` is 1 along rows, gridWidth along columns; `extent` the
// length of a line in that direction. Taps beyond the grid read the edge texel.
void BlurLines(const std::vector<Geom::Vec3>& source, std::vector<Geom::Vec3>& target, const std::vector<uint8_t>& mask,
               const std::vector<float>& weights, int32_t width, int32_t height, bool alongRows)
{
    const int32_t half = int32_t(weights.size()) / 2;
    const int32_t lines = alongRows ? height : width;
    const int32_t extent = alongRows ? width : height;
    const size_t step = alongRows ? 1 : size_t(width);
    for (int32_t line = 0; line < lines; line++) {
        size_t lineStart = alongRows ? size_t(line) * size_t(width) : size_t(line);
        for (int32_t p = 0; p < extent; p++) {
            Geom::Vec3 sum{0, 0, 0};
            float weightSum = 0;
            for (int32_t j = 0; j < int32_t(weights.size()); j++) {
                int32_t q = std::clamp(p + j - half, 0, extent - 1);
                size_t index = lineStart + size_t(q) * step;
                if (!mask[index])
                    continue;
                float w = weights[size_t(j)];
                sum = sum + source[index] * w;
                weightSum += w;
            }
            target[lineStart + size_t(p) * step] = weightSum > 0 ? sum / weightSum : Geom::Vec3{0, 0, 0};
        }
    }
}

}  // namespace

int32_t AutoKernelSize(const LmGroup& group)
{
    float t = std::max(group.texelSize[0], group.texelSize[1]);
    float levels = std::log(0.25f / t) / std::log(2.0f);
    int32_t rounded = int32_t(levels >= 0 ? levels + 0.5f : levels - 0.5f);
    return std::max(2 * rounded + 5, 5);
}

void BlurGroup(const LightmapperSettings& settings, int32_t kernel, LmGroup& group, bool useBases)
{
    assert(kernel >= 1 && "BlurGroup: the kernel needs at least one tap");
    if (group.TexelCount() == 0)
        return;
    std::vector<float> weights = GaussianWeights(kernel);
    std::vector<uint8_t> mask = CoverageMask(group);
    std::vector<Geom::Vec3> scratch(size_t(group.TexelCount()));
    bool bases = AmbientOcclusionMode(settings) || useBases;
    int32_t bufferCount = bases ? BasesUsed(settings) : maxBases;
    for (int32_t b = 0; b < bufferCount; b++) {
        std::vector<Geom::Vec3>& buffer = bases ? group.basis[b] : group.bounce[b];
        if (buffer.size() != scratch.size())
            continue;  // a buffer this build never allocated
        BlurLines(buffer, scratch, mask, weights, group.gridWidth, group.gridHeight, true);
        BlurLines(scratch, buffer, mask, weights, group.gridWidth, group.gridHeight, false);
    }
}

void PostProcessAoGroup(const LightmapperSettings& settings, LmGroup& group)
{
    if (settings.blurKernel == 1)
        return;
    int32_t kernel = settings.blurKernel == 0 ? AutoKernelSize(group) : (settings.blurKernel | 1);
    if (settings.flags & FinalBlur)
        BlurGroup(settings, kernel, group, false);
    const float power = settings.aoPower;
    for (Geom::Vec3& c : group.basis[0]) {
        c = {std::pow(std::clamp(c.x, 0.0f, 1.0f), power), std::pow(std::clamp(c.y, 0.0f, 1.0f), power),
             std::pow(std::clamp(c.z, 0.0f, 1.0f), power)};
    }
}

void FinalizeGroupBases(const LightmapperSettings& settings, LmGroup& group)
{
    const float gamma = settings.gamma;
    for (int32_t b = 0; b < BasesUsed(settings); b++) {
        for (Geom::Vec3& c : group.basis[b]) {
            if (b == 2) {
                const float length = Geom::Length(c);
                if (length != 0)
                    c = c / length;
                c = c * 0.5f + Geom::Vec3{0.5f, 0.5f, 0.5f};
                continue;
            }
            c = c * 0.5f;
            const float largest = std::max({std::fabs(c.x), std::fabs(c.y), std::fabs(c.z)});
            if (largest > 1)
                c = c / largest;
            c = {std::pow(c.x, gamma), std::pow(c.y, gamma), std::pow(c.z, gamma)};
        }
    }
}

}  // namespace Engine
