#pragma once

#include <cmath>
#include <cstdint>

namespace Geom {

// Plain 32-bit float vectors. Arithmetic is written out component by component so results are
// the same single-precision values on every compiler (no fused or reordered operations).

struct Vec2 {
    float x = 0, y = 0;

    friend Vec2 operator+(Vec2 a, Vec2 b) { return {a.x + b.x, a.y + b.y}; }
    friend Vec2 operator-(Vec2 a, Vec2 b) { return {a.x - b.x, a.y - b.y}; }
    friend Vec2 operator*(Vec2 a, float s) { return {a.x * s, a.y * s}; }
    friend bool operator==(Vec2 a, Vec2 b) { return a.x == b.x && a.y == b.y; }
};

struct Vec3 {
    float x = 0, y = 0, z = 0;

    float& operator[](int axis) { return (&x)[axis]; }
    float operator[](int axis) const { return (&x)[axis]; }

    friend Vec3 operator+(Vec3 a, Vec3 b) { return {a.x + b.x, a.y + b.y, a.z + b.z}; }
    friend Vec3 operator-(Vec3 a, Vec3 b) { return {a.x - b.x, a.y - b.y, a.z - b.z}; }
    friend Vec3 operator-(Vec3 a) { return {-a.x, -a.y, -a.z}; }
    friend Vec3 operator*(Vec3 a, float s) { return {a.x * s, a.y * s, a.z * s}; }
    friend Vec3 operator/(Vec3 a, float s) { return {a.x / s, a.y / s, a.z / s}; }
    Vec3& operator+=(Vec3 b) { x += b.x; y += b.y; z += b.z; return *this; }
    friend bool operator==(Vec3 a, Vec3 b) { return a.x == b.x && a.y == b.y && a.z == b.z; }
};

struct Vec4 {
    float x = 0, y = 0, z = 0, w = 0;
    friend bool operator==(Vec4 a, Vec4 b) { return a.x == b.x && a.y == b.y && a.z == b.z && a.w == b.w; }
};

inline float Dot(Vec2 a, Vec2 b) { return a.x * b.x + a.y * b.y; }
inline float Dot(Vec3 a, Vec3 b) { return a.x * b.x + a.y * b.y + a.z * b.z; }
inline Vec3 Cross(Vec3 a, Vec3 b) { return {a.y * b.z - a.z * b.y, a.z * b.x - a.x * b.z, a.x * b.y - a.y * b.x}; }
inline float LengthSquared(Vec3 a) { return Dot(a, a); }
inline float Length(Vec3 a) { return std::sqrt(Dot(a, a)); }
inline float Length(Vec2 a) { return std::sqrt(Dot(a, a)); }

// Unit vector along a; a zero vector stays zero.
inline Vec3 Normalized(Vec3 a)
{
    float length = Length(a);
    return length > 0 ? a / length : a;
}

// Axis (0 x, 1 y, 2 z) of the largest absolute component; ties go to x, then y.
inline int32_t DominantAxis(Vec3 v)
{
    float ax = std::fabs(v.x), ay = std::fabs(v.y), az = std::fabs(v.z);
    if (ax >= ay && ax >= az)
        return 0;
    return ay >= az ? 1 : 2;
}

}  // namespace Geom
