#include "engine/lightmapper/pack_leaf_order.h"

#include <algorithm>

#include "core/assert.h"
#include "engine/lightmapper/atlas.h"

namespace Engine {

bool PackLeafOrder::MayFit(const Room& room, int32_t w, int32_t h)
{
    w = std::min(w, largestRoom);
    h = std::min(h, largestRoom);
    if (h <= exactHeights)
        return room.widestAtHeight[std::max(h, 1) - 1] >= w;
    return room.widestAtHeight[exactHeights - 1] >= w && room.tallest >= h;
}

int32_t PackLeafOrder::NewEntry(PackNode* leaf)
{
    // Fixed pseudo-random priorities keep the tree balanced, and the same on every run.
    seed ^= seed << 13;
    seed ^= seed >> 17;
    seed ^= seed << 5;
    const int32_t index = int32_t(entries.size());
    entries.emplace_back();
    Entry& entry = entries.back();
    entry.priority = seed;
    entry.leaf = leaf;
    leaf->slot = index;
    ReadLeaf(entry);
    Recompute(index);
    return index;
}

void PackLeafOrder::ReadLeaf(Entry& entry) const
{
    const bool free = !entry.leaf->used;
    entry.freeWidth = free ? entry.leaf->rect.w : 0;
    entry.freeHeight = free ? entry.leaf->rect.h : 0;
}

bool PackLeafOrder::Recompute(int32_t index)
{
    lastValid = false;
    Entry& entry = entries[size_t(index)];
    Room room;
    const int16_t width = int16_t(std::min(entry.freeWidth, largestRoom));
    for (int32_t k = 0; k < exactHeights; k++)
        room.widestAtHeight[k] = entry.freeHeight > k ? width : 0;
    room.tallest = int16_t(std::min(entry.freeHeight, largestRoom));
    for (int32_t child : {entry.left, entry.right}) {
        if (child < 0)
            continue;
        const Room& below = entries[size_t(child)].room;
        for (int32_t k = 0; k < exactHeights; k++)
            room.widestAtHeight[k] = std::max(room.widestAtHeight[k], below.widestAtHeight[k]);
        room.tallest = std::max(room.tallest, below.tallest);
    }
    int32_t difference = room.tallest ^ entry.room.tallest;
    for (int32_t k = 0; k < exactHeights; k++)
        difference |= room.widestAtHeight[k] ^ entry.room.widestAtHeight[k];
    entry.room = room;
    return difference != 0;
}

void PackLeafOrder::RecomputeUpwards(int32_t index)
{
    // Above an entry whose room stayed the same nothing can change.
    for (; index >= 0; index = entries[size_t(index)].parent) {
        if (!Recompute(index))
            return;
    }
}

void PackLeafOrder::RotateUp(int32_t index)
{
    const int32_t parent = entries[size_t(index)].parent;
    const int32_t grandparent = entries[size_t(parent)].parent;
    if (entries[size_t(parent)].left == index) {
        const int32_t moved = entries[size_t(index)].right;
        entries[size_t(parent)].left = moved;
        if (moved >= 0)
            entries[size_t(moved)].parent = parent;
        entries[size_t(index)].right = parent;
    } else {
        const int32_t moved = entries[size_t(index)].left;
        entries[size_t(parent)].right = moved;
        if (moved >= 0)
            entries[size_t(moved)].parent = parent;
        entries[size_t(index)].left = parent;
    }
    entries[size_t(parent)].parent = index;
    entries[size_t(index)].parent = grandparent;
    if (grandparent < 0)
        root = index;
    else if (entries[size_t(grandparent)].left == parent)
        entries[size_t(grandparent)].left = index;
    else
        entries[size_t(grandparent)].right = index;
    Recompute(parent);
    Recompute(index);
}

int32_t PackLeafOrder::AddFirst(PackNode* leaf)
{
    KETRA_ASSERT(root < 0);
    root = NewEntry(leaf);
    return root;
}

int32_t PackLeafOrder::AddAfter(int32_t after, PackNode* leaf)
{
    const int32_t index = NewEntry(leaf);
    // Directly after `after`: its right child, or the leftmost entry below that.
    int32_t parent = after;
    if (entries[size_t(parent)].right < 0) {
        entries[size_t(parent)].right = index;
    } else {
        parent = entries[size_t(parent)].right;
        while (entries[size_t(parent)].left >= 0)
            parent = entries[size_t(parent)].left;
        entries[size_t(parent)].left = index;
    }
    entries[size_t(index)].parent = parent;
    while (entries[size_t(index)].parent >= 0 &&
           entries[size_t(index)].priority > entries[size_t(entries[size_t(index)].parent)].priority)
        RotateUp(index);
    RecomputeUpwards(entries[size_t(index)].parent);
    return index;
}

void PackLeafOrder::Replace(int32_t index, PackNode* leaf)
{
    lastValid = false;
    entries[size_t(index)].leaf = leaf;
    leaf->slot = index;
    Refresh(index);
}

void PackLeafOrder::Refresh(int32_t index)
{
    ReadLeaf(entries[size_t(index)]);
    RecomputeUpwards(index);
}

PackNode* PackLeafOrder::FirstFittingBelow(int32_t index, int32_t w, int32_t h) const
{
    // Left subtree, the entry itself, then the right subtree: the order of the leaves.
    while (index >= 0) {
        const Entry& entry = entries[size_t(index)];
        if (!MayFit(entry.room, w, h))
            return nullptr;
        if (PackNode* found = FirstFittingBelow(entry.left, w, h))
            return found;
        if (entry.freeWidth >= w && entry.freeHeight >= h)
            return entry.leaf;
        index = entry.right;
    }
    return nullptr;
}

PackNode* PackLeafOrder::FirstFitting(int32_t w, int32_t h) const
{
    // Free leaves are never empty: a request below 1 asks for any free leaf.
    w = std::max(w, 1);
    h = std::max(h, 1);
    if (!lastValid || w != lastWidth || h != lastHeight) {
        lastFound = FirstFittingBelow(root, w, h);
        lastWidth = w;
        lastHeight = h;
        lastValid = true;
    }
    return lastFound;
}

std::vector<const PackNode*> PackLeafOrder::Leaves() const
{
    std::vector<const PackNode*> leaves;
    std::vector<int32_t> stack;
    for (int32_t index = root; index >= 0 || !stack.empty();) {
        if (index >= 0) {
            stack.push_back(index);
            index = entries[size_t(index)].left;
            continue;
        }
        index = stack.back();
        stack.pop_back();
        leaves.push_back(entries[size_t(index)].leaf);
        index = entries[size_t(index)].right;
    }
    return leaves;
}

}  // namespace Engine
