#pragma once

#include <algorithm>

#include "geom/vec.h"

namespace Geom {

// Axis-aligned boxes stored as minimum then maximum. A box is empty when min.x > max.x;
// the canonical empty box is (0, 0, 0)-(-1, -1, -1), which is what a default box holds.

struct Box2 {
    Vec2 min{0, 0};
    Vec2 max{-1, -1};

    bool IsEmpty() const { return min.x > max.x; }
    void Add(Vec2 p)
    {
        if (IsEmpty()) {
            min = max = p;
            return;
        }
        min = {std::min(min.x, p.x), std::min(min.y, p.y)};
        max = {std::max(max.x, p.x), std::max(max.y, p.y)};
    }
    void Add(const Box2& b)
    {
        if (b.IsEmpty())
            return;
        Add(b.min);
        Add(b.max);
    }
    friend bool operator==(const Box2& a, const Box2& b) { return a.min == b.min && a.max == b.max; }
};

struct Box3 {
    Vec3 min{0, 0, 0};
    Vec3 max{-1, -1, -1};

    bool IsEmpty() const { return min.x > max.x; }
    void Add(Vec3 p)
    {
        if (IsEmpty()) {
            min = max = p;
            return;
        }
        for (int a = 0; a < 3; a++) {
            min[a] = std::min(min[a], p[a]);
            max[a] = std::max(max[a], p[a]);
        }
    }
    void Add(const Box3& b)
    {
        if (b.IsEmpty())
            return;
        Add(b.min);
        Add(b.max);
    }
    friend bool operator==(const Box3& a, const Box3& b) { return a.min == b.min && a.max == b.max; }
};

}  // namespace Geom
