#pragma once

#include <cstdint>

namespace Engine {

// Lightmap bases a build can fill at most.
constexpr int32_t maxBases = 4;

// Bits of LightmapperSettings::flags.
enum LightmapperFlags : uint32_t {
    // Blur the raytraced light of every chart with a kernel of 3 (the tool never sets it).
    SmoothDirectLight = 0x01,
    FinalBlur = 0x02,
    ForcePotAtlas = 0x04,
    PotLightmaps = 0x08,
    FixLightmapSeams = 0x10,
    KeepLargeGroups = 0x20,
    NoAtlasOptimize = 0x40,
};

// Build parameters handed to the Lightmapper at construction. These are the record's own
// construction defaults; the command-line parser resets several of them before it reads any
// argument (see the front end's options).
struct LightmapperSettings {
    uint32_t flags = FinalBlur | PotLightmaps;
    float texelSize = 0.25f;      // world units per lightmap texel
    int32_t basisCount = 3;       // lightmap bases, at most 4
    int32_t sampleCount = 2048;   // rays per texel
    int32_t atlasSize = 2048;     // edge of an atlas page in texels
    float epsilon = 0.01f;        // world-space tolerance of the texel and ray stages
    float gamma = 1.0f;
    float aoDistance = 0.0f;      // ambient-occlusion ray length; above 0 selects that mode
    float aoPower = 1.0f;         // final value = ao ^ aoPower
    int32_t blurKernel = 0;       // 0 = automatic, 1 = no post-processing
    bool superSampling = true;    // 25 samples per texel instead of 1
};

// What a build derives from its settings; computed where needed, never written back.

// Ambient occlusion fills the bases when its ray length is above 0; otherwise the lighting mode.
inline bool AmbientOcclusionMode(const LightmapperSettings& settings) { return settings.aoDistance > 0; }

// Bases the build fills: ambient occlusion bakes one, the lighting mode the setting's count.
inline int32_t BasesUsed(const LightmapperSettings& settings)
{
    if (AmbientOcclusionMode(settings))
        return 1;
    return settings.basisCount < 1 ? 1 : settings.basisCount > maxBases ? maxBases : settings.basisCount;
}

inline int32_t SamplesPerTexel(const LightmapperSettings& settings) { return settings.superSampling ? 25 : 1; }

}  // namespace Engine
