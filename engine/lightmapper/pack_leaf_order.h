#pragma once

#include <cstdint>
#include <vector>

namespace Engine {

struct PackNode;

// The leaves of one page's packing tree in depth-first order (first child first), held in a
// balanced tree of their own with what fits below each entry, so that "the first free leaf of at
// least w x h" costs a walk of logarithmic depth. The packing tree itself grows one level per
// cut; along a row of charts it becomes a long chain, and searching or updating it from the root
// made every placement cost time in proportion to the charts placed before it.
//
// Leaves only ever appear by cutting a leaf in two in its own place, so an entry is always added
// right after an existing one. The caller tells the order whenever a leaf's size or use changes.
class PackLeafOrder {
public:
    // The only leaf of a fresh tree. Returns its entry.
    int32_t AddFirst(PackNode* leaf);
    // A leaf that follows `entry` directly in depth-first order. Returns its entry.
    int32_t AddAfter(int32_t entry, PackNode* leaf);
    // Points an entry at another leaf, in the same place (a cut leaf's first child takes over its
    // parent's entry).
    void Replace(int32_t entry, PackNode* leaf);
    // The leaf of `entry` changed its size or became used or free.
    void Refresh(int32_t entry);
    // The first free leaf, in depth-first order, at least w wide and h high; null for none.
    PackNode* FirstFitting(int32_t w, int32_t h) const;
    // Every leaf in order (for checks).
    std::vector<const PackNode*> Leaves() const;

private:
    // Below each entry: for every height k + 1 up to a few texels (where most charts lie), the
    // widest free leaf at least that high, exactly; beyond that the widest and the tallest free
    // leaf, each on its own, which may promise a fit that is not there but never hides one.
    static constexpr int32_t exactHeights = 16;
    // Sizes are kept in 16 bits, larger ones as the largest value: a search for more than that
    // asks for the largest value, which only widens what may fit.
    static constexpr int32_t largestRoom = 32767;
    struct Room {
        int16_t widestAtHeight[exactHeights];
        int16_t tallest;
    };
    struct Entry {
        int32_t left = -1, right = -1, parent = -1;
        uint32_t priority = 0;
        PackNode* leaf = nullptr;
        int32_t freeWidth = 0, freeHeight = 0;  // the leaf's own size, 0 when used
        Room room{};                             // of the entry's whole subtree
    };

    static bool MayFit(const Room& room, int32_t w, int32_t h);
    int32_t NewEntry(PackNode* leaf);
    void ReadLeaf(Entry& entry) const;
    // Recomputes an entry's room from its leaf and children; true when it changed.
    bool Recompute(int32_t entry);
    void RecomputeUpwards(int32_t entry);
    void RotateUp(int32_t entry);
    PackNode* FirstFittingBelow(int32_t entry, int32_t w, int32_t h) const;

    std::vector<Entry> entries;
    int32_t root = -1;
    // The last search and its answer, until the order changes: packing asks whether a chart fits
    // and then places it, the same search twice.
    mutable int32_t lastWidth = 0, lastHeight = 0;
    mutable PackNode* lastFound = nullptr;
    mutable bool lastValid = false;
    uint32_t seed = 0x9e3779b9u;
};

}  // namespace Engine
