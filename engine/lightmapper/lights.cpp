// Lights and object colours: how the lighting mode's inputs reach the lightmapper.
#include <algorithm>
#include <cmath>

#include "engine/lightmapper/lighting.h"
#include "engine/lightmapper/lightmapper.h"

namespace Engine {
namespace {

bool Finite(Geom::Vec3 v) { return std::isfinite(v.x) && std::isfinite(v.y) && std::isfinite(v.z); }

}  // namespace

Geom::Vec3 UnitDirection(Geom::Vec3 direction)
{
    // Scaled by its largest component first, so that neither tiny nor huge directions lose
    // their length squared to underflow or overflow.
    const float largest = std::max({std::fabs(direction.x), std::fabs(direction.y), std::fabs(direction.z)});
    if (!(largest > 0) || !std::isfinite(largest))
        return {0, 0, 0};
    return Geom::Normalized(direction / largest);
}

LightRecord LightRecord::Point(Geom::Vec3 position, Geom::Vec3 colour, float range, Geom::Vec3 attenuation)
{
    LightRecord light;
    light.type = LightPoint;
    light.position = position;
    light.colour = colour;
    light.range = range;
    light.attenuation = attenuation;
    return light;
}

LightRecord LightRecord::Spot(Geom::Vec3 position, Geom::Vec3 direction, Geom::Vec3 colour, float range,
                              float innerCos, float outerCos, Geom::Vec3 attenuation)
{
    LightRecord light = Point(position, colour, range, attenuation);
    light.type = LightSpot;
    light.direction = UnitDirection(direction);
    light.spotInnerCos = innerCos;
    light.spotOuterCos = outerCos;
    return light;
}

LightRecord LightRecord::Directional(Geom::Vec3 direction, Geom::Vec3 colour, float range)
{
    LightRecord light;
    light.type = LightDirectional;
    light.direction = UnitDirection(direction);
    light.colour = colour;
    light.range = range;
    return light;
}

LightRecord LightRecord::Ambient(Geom::Vec3 colour)
{
    LightRecord light;
    light.type = LightAmbient;
    light.colour = colour;
    return light;
}

bool UsableLight(const LightRecord& light)
{
    if (light.type < LightPoint || light.type > LightAmbient || !Finite(light.colour))
        return false;
    if (light.type == LightAmbient)
        return true;
    const bool hasPosition = light.type != LightDirectional;
    const bool hasDirection = light.type != LightPoint;
    if (!std::isfinite(light.range) || light.range < 0)
        return false;
    if (hasPosition) {
        const Geom::Vec3 a = light.attenuation;
        if (!Finite(light.position) || !Finite(a) || a.x < 0 || a.y < 0 || a.z < 0 || (a.x == 0 && a.y == 0 && a.z == 0))
            return false;
    }
    if (hasDirection && (!Finite(light.direction) || Geom::LengthSquared(UnitDirection(light.direction)) == 0))
        return false;
    if (light.type == LightSpot) {
        const float inner = light.spotInnerCos, outer = light.spotOuterCos;
        if (!std::isfinite(inner) || !std::isfinite(outer) || inner < -1 || inner > 1 || outer < -1 || outer > 1 ||
            inner < outer)
            return false;
    }
    return true;
}

bool Lightmapper::AddLight(const LightRecord& light)
{
    if (!UsableLight(light))
        return false;
    LightRecord stored = light;
    if (stored.type == LightSpot || stored.type == LightDirectional)
        stored.direction = UnitDirection(stored.direction);
    mesh.lights.push_back(stored);
    return true;
}

int32_t Lightmapper::FindObject(const std::string& name) const
{
    auto it = objectIndex.find(name);
    return it == objectIndex.end() ? -1 : it->second;
}

bool Lightmapper::SetObjectColour(const std::string& name, Geom::Vec3 colour)
{
    const int32_t object = FindObject(name);
    if (object < 0 || !Finite(colour))
        return false;
    mesh.objects[size_t(object)].colour = colour;
    return true;
}

bool Lightmapper::SetObjectReflectance(const std::string& name, Geom::Vec3 reflectance)
{
    const int32_t object = FindObject(name);
    if (object < 0 || !Finite(reflectance))
        return false;
    mesh.objects[size_t(object)].reflectance = reflectance;
    return true;
}

}  // namespace Engine
