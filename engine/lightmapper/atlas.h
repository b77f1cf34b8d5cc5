#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <vector>

#include "engine/lightmapper/pack_leaf_order.h"
#include "image/bitmap/bitmap.h"

namespace Engine {

// Page texels that no chart covers are red: transparent on the final pages, so that the bleed
// can tell them from chart texels.
constexpr uint32_t uncoveredTexelColour = 0x00FF0000u;
// The same red, opaque: the fill of pages whose pixels are thrown away.
constexpr uint32_t opaqueFillColour = 0xFF000000u | uncoveredTexelColour;

// A rectangle in texels, relative to a page's top-left corner.
struct PackRect {
    int32_t x = 0, y = 0, w = 0, h = 0;
    friend bool operator==(const PackRect& a, const PackRect& b)
    {
        return a.x == b.x && a.y == b.y && a.w == b.w && a.h == b.h;
    }
};

// One node of a page's guillotine packing tree: a leaf (free or used) or an inner node whose
// two children tile its rectangle exactly.
struct PackNode {
    PackRect rect;
    // Children, held by the page (AtlasPage::nodes); both null for a leaf.
    PackNode* first = nullptr;
    PackNode* second = nullptr;
    PackNode* parent = nullptr;
    bool used = false;
    // A leaf's entry in its page's PackLeafOrder, -1 once cut.
    int32_t slot = -1;

    bool IsLeaf() const { return !first; }
};

struct AtlasPlacement {
    int32_t x = 0, y = 0;
    int32_t page = -1;  // -1: not placed
};

class AtlasPage {
public:
    // A page without pixels has only its packing tree: trial packings throw their pixels away,
    // so they need none.
    AtlasPage(int32_t width, int32_t height, uint32_t fillColour, bool withPixels = true);

    // Finds a free spot of rect.w x rect.h (depth-first, first child first) and marks it used;
    // fills in rect.x and rect.y.
    bool Insert(PackRect& rect);
    // Gives the part of r that lies inside used leaves back to the packer, cutting those leaves
    // until exactly that part is a free leaf.
    bool FreeRect(const PackRect& r);
    // True when some free leaf is at least w x h.
    bool HasFreeLeaf(int32_t w, int32_t h) const;

    Image::Bitmap bitmap;
    std::unique_ptr<PackNode> root;
    // Every node below the root. A packing makes millions of them and drops them all at once:
    // one by one on the heap, allocating and freeing them cost as much as the packing itself.
    std::deque<PackNode> nodes;
    // The tree's leaves in search order: searches go through it, never down the tree itself.
    PackLeafOrder leafOrder;
    int64_t freeArea = 0;
    int32_t width = 0, height = 0;  // the size the page was packed at
};

// The pages of one lightmap basis. The index in `pages` is the page number that triangles
// carry and that names the output images.
class Atlas {
public:
    Atlas() = default;
    Atlas(int32_t width, int32_t height, uint32_t fillColour);

    // Forgets all pages and sets the page size.
    void Reset(int32_t width, int32_t height);
    // Places a w x h rectangle on the first page with room, starting a page when none has.
    AtlasPlacement Insert(int32_t w, int32_t h);
    bool CanFit(int32_t w, int32_t h) const;
    // Appends fresh pages until this atlas has as many as `other`.
    void MatchPageCount(const Atlas& other);

    int32_t PageCount() const { return int32_t(pages.size()); }
    AtlasPage* Page(int32_t index);
    const AtlasPage* Page(int32_t index) const;
    int32_t PageWidth() const { return pageWidth; }
    int32_t PageHeight() const { return pageHeight; }

    uint32_t fillColour = opaqueFillColour;
    // When false, new pages get no bitmap: packings whose pixels nobody looks at.
    bool withPixels = true;
    std::vector<std::unique_ptr<AtlasPage>> pages;

private:
    AtlasPage& AppendPage();

    int32_t pageWidth = 0;
    int32_t pageHeight = 0;
};

// Row-major grid of one bit per cell (set = occupied), in 64-bit words.
class BitGrid {
public:
    BitGrid() = default;
    BitGrid(int32_t width, int32_t height, bool set);

    bool Get(int32_t x, int32_t y) const
    {
        size_t i = size_t(y) * size_t(width) + size_t(x);
        return (words[i >> 6] >> (i & 63)) & 1;
    }
    void Set(int32_t x, int32_t y, bool value)
    {
        size_t i = size_t(y) * size_t(width) + size_t(x);
        uint64_t bit = uint64_t(1) << (i & 63);
        words[i >> 6] = value ? words[i >> 6] | bit : words[i >> 6] & ~bit;
    }
    int32_t Width() const { return width; }
    int32_t Height() const { return height; }
    int64_t CountSet() const;

private:
    int32_t width = 0, height = 0;
    std::vector<uint64_t> words;
};

// The largest rectangle of free cells, scanning cells row by row and keeping the first of
// equal areas; (0, 0, 0, 0) when no cell is free.
PackRect FindLargestEmptyRect(const BitGrid& grid);

// Repeatedly finds the largest empty rectangle of a grid and fills it. Each search gives what
// FindLargestEmptyRect would give for the grid as it is then; between searches only the rows whose
// best rectangle the last fill touched are searched again.
class EmptyRectFinder {
public:
    explicit EmptyRectFinder(const BitGrid& grid);
    // One byte per cell, row-major, non-zero = occupied. With `grow`, cells next to an occupied
    // one (of eight neighbours) count as occupied too.
    EmptyRectFinder(int32_t width, int32_t height, const std::vector<uint8_t>& occupied, bool grow = false);
    // Free cells when the finder was made.
    int64_t FreeCells() const { return freeCells; }
    PackRect FindLargest();
    // Marks the rectangle occupied.
    void Fill(const PackRect& r);

private:
    void FindRowBest(int32_t y);

    int32_t width, height;
    int64_t freeCells = 0;
    std::vector<int32_t> down;        // free cells from (x, y) downwards; 0 marks an occupied cell
    // Largest empty rectangle whose top row is y; once a fill has touched it (rowCurrent[y] = 0)
    // only its area means something: a bound on the row's best. A row never searched has h = -1.
    std::vector<PackRect> rowBest;
    std::vector<uint8_t> rowCurrent;
    std::vector<int32_t> stack;       // scratch of FindRowBest
};

// The empty parts of a placed rectangle worth giving back to the packer, relative to its corner.
// `occupied` holds one byte per cell of a width x height grid (non-zero = a covered texel or
// border). Cells within one cell of an occupied one stay occupied; the rest is handed out as the
// largest empty rectangle, again and again, while it has a side of 4 cells or more.
std::vector<PackRect> FindHoles(int32_t width, int32_t height, const std::vector<uint8_t>& occupied);

}  // namespace Engine
