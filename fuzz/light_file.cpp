// The light file grammar on arbitrary text, at an ordinary scale and at one that overflows
// large positions. A parse succeeds with lights the lighting passes can use and finite colours,
// or fails with the syntax exit code and leaves what it was given untouched.
#include <cmath>
#include <cstdint>
#include <cstring>
#include <string_view>

#include "app/driver.h"
#include "app/light_file.h"
#include "engine/lightmapper/lighting.h"
#include "fuzz/fuzz_check.h"

namespace {

bool Finite(Geom::Vec3 v) { return std::isfinite(v.x) && std::isfinite(v.y) && std::isfinite(v.z); }

void ParseAt(std::string_view text, float scale)
{
    App::LightFile parsed;
    const Engine::LightRecord marker = Engine::LightRecord::Ambient({0.25f, 0.5f, 0.75f});
    parsed.lights.push_back(marker);
    const int code = App::ParseLightFile(text, "fuzz.lights", scale, parsed, Fuzz::MessageSink());
    if (code != App::ExitSuccess) {
        FUZZ_CHECK(code == App::ExitLightsSyntax);
        FUZZ_CHECK(parsed.lights.size() == 1 && std::memcmp(&parsed.lights[0], &marker, sizeof marker) == 0);
        FUZZ_CHECK(parsed.objects.empty());
        return;
    }
    for (const Engine::LightRecord& light : parsed.lights) {
        FUZZ_CHECK(Engine::UsableLight(light));
        FUZZ_CHECK(Finite(light.position) && Finite(light.direction) && Finite(light.colour));
        if (light.type != Engine::LightAmbient && light.type != Engine::LightPoint)
            FUZZ_CHECK(std::fabs(Geom::Length(light.direction) - 1) < 1e-3f);
    }
    for (const App::LightFileObject& object : parsed.objects)
        FUZZ_CHECK(Finite(object.emissive) && Finite(object.reflectance));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    ParseAt(text, 1.0f);
    ParseAt(text, -1e30f);
    return 0;
}
