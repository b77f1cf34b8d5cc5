#pragma once

#include "geom/vec.h"

namespace Geom {

// 3 x 3 float matrix of rows. Points are row vectors: (x, y, 1) * M = x * r0 + y * r1 + r2.
struct Mat3 {
    Vec3 row[3] = {{1, 0, 0}, {0, 1, 0}, {0, 0, 1}};

    Vec3 TransformRow(Vec3 v) const
    {
        return {v.x * row[0].x + v.y * row[1].x + v.z * row[2].x,
                v.x * row[0].y + v.y * row[1].y + v.z * row[2].y,
                v.x * row[0].z + v.y * row[1].z + v.z * row[2].z};
    }

    float Determinant() const { return Dot(row[0], Cross(row[1], row[2])); }

    // Inverse by determinant and adjugate; a singular matrix gives false and leaves out alone.
    bool Inverse(Mat3& out) const
    {
        float det = Determinant();
        if (det == 0)
            return false;
        float inv = 1.0f / det;
        const Vec3 &a = row[0], &b = row[1], &c = row[2];
        out.row[0] = {(b.y * c.z - b.z * c.y) * inv, (a.z * c.y - a.y * c.z) * inv, (a.y * b.z - a.z * b.y) * inv};
        out.row[1] = {(b.z * c.x - b.x * c.z) * inv, (a.x * c.z - a.z * c.x) * inv, (a.z * b.x - a.x * b.z) * inv};
        out.row[2] = {(b.x * c.y - b.y * c.x) * inv, (a.y * c.x - a.x * c.y) * inv, (a.x * b.y - a.y * b.x) * inv};
        return true;
    }
};

}  // namespace Geom
