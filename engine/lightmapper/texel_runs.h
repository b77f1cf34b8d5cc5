#pragma once

#include <cstdint>

#include "engine/lightmapper/group.h"

namespace Engine {

// Walks a group's run-length coded sample triangles texel by texel (rows outermost), starting at
// a given run. Every texel's runs add up to the group's samples per texel; runs never span two
// texels.
class TexelRunCursor {
public:
    TexelRunCursor(const LmGroup& group, int32_t firstRun) : group(group), run(firstRun) {}

    // Expands the next texel's runs into slots[0 .. samplesPerTexel); returns slot 0, the
    // texel's triangle (-1: no triangle, and every pass skips the texel).
    int32_t Next(int32_t* slots)
    {
        int32_t filled = 0;
        const int32_t wanted = group.samplesPerTexel;
        const int32_t runCount = int32_t(group.texelRuns.size());
        while (filled < wanted && run < runCount) {
            int32_t triangle = group.texelTris[size_t(run)];
            int32_t length = group.texelRuns[size_t(run)];
            for (int32_t i = 0; i < length && filled < wanted; i++)
                slots[filled++] = triangle;
            run++;
        }
        while (filled < wanted)
            slots[filled++] = -1;
        return slots[0];
    }

    // The next texel's triangle, skipping its other slots.
    int32_t NextTriangle()
    {
        int32_t first = -1, counted = 0;
        const int32_t runCount = int32_t(group.texelRuns.size());
        while (counted < group.samplesPerTexel && run < runCount) {
            if (counted == 0 && group.texelRuns[size_t(run)] > 0)
                first = group.texelTris[size_t(run)];
            counted += group.texelRuns[size_t(run)];
            run++;
        }
        return first;
    }

    int32_t RunIndex() const { return run; }

private:
    const LmGroup& group;
    int32_t run;
};

}  // namespace Engine
