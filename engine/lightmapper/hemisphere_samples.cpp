#include "engine/lightmapper/hemisphere_samples.h"

namespace Engine {

SampleSet MakeSampleSet(int32_t count)
{
    SampleSet set;
    set.radius.resize(size_t(std::max(count, 0)));
    set.turn.resize(set.radius.size());
    for (int32_t i = 0; i < count; i++) {
        float u = float(i) / float(count);
        uint32_t bits = uint32_t(i);
        bits = (bits << 16) | (bits >> 16);
        bits = ((bits & 0x00FF00FFu) << 8) | ((bits & 0xFF00FF00u) >> 8);
        bits = ((bits & 0x0F0F0F0Fu) << 4) | ((bits & 0xF0F0F0F0u) >> 4);
        bits = ((bits & 0x33333333u) << 2) | ((bits & 0xCCCCCCCCu) >> 2);
        bits = ((bits & 0x55555555u) << 1) | ((bits & 0xAAAAAAAAu) >> 1);
        float v = float(double(bits) * 2.3283064365386963e-10);
        set.radius[size_t(i)] = std::sqrt(u);
        set.turn[size_t(i)] = 360.0f * v;
    }
    return set;
}

HemisphereFrame MakeFrame(Geom::Vec3 normal)
{
    HemisphereFrame f;
    f.n = Geom::Normalized(normal);
    const int32_t m = Geom::DominantAxis(f.n);
    Geom::Vec3 e{0, 0, 0};
    e[(m + 2) % 3] = 1;
    float nn = Geom::Dot(f.n, f.n);
    f.b2 = Geom::Normalized(nn > 0 ? e - f.n * Geom::Dot(f.n, e) / nn : e);
    f.b1 = Geom::Cross(f.b2, f.n);
    return f;
}

}  // namespace Engine
