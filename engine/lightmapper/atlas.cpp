#include "engine/lightmapper/atlas.h"

#include <algorithm>
#include <bit>
#include <utility>

namespace Engine {
namespace {

PackRect Intersect(const PackRect& a, const PackRect& b)
{
    int32_t x0 = std::max(a.x, b.x), y0 = std::max(a.y, b.y);
    int32_t x1 = std::min(a.x + a.w, b.x + b.w), y1 = std::min(a.y + a.h, b.y + b.h);
    return {x0, y0, x1 - x0, y1 - y0};
}

// A page's tree: its nodes below the root and the order of its leaves.
struct PageTree {
    std::deque<PackNode>& nodes;
    PackLeafOrder& order;
};

// Cuts a leaf in two; the halves take its place in the leaf order.
void MakeChildren(PackNode& node, const PackRect& first, const PackRect& second, bool used, PageTree tree)
{
    node.first = &tree.nodes.emplace_back();
    node.second = &tree.nodes.emplace_back();
    node.first->rect = first;
    node.second->rect = second;
    node.first->parent = node.second->parent = &node;
    node.first->used = node.second->used = used;
    tree.order.Replace(node.slot, node.first);
    tree.order.AddAfter(node.first->slot, node.second);
    node.slot = -1;
}

// Cuts a free leaf so that its first child starts with the w x h corner: across the longer
// leftover, vertically on a tie.
void SplitForInsert(PackNode& leaf, int32_t w, int32_t h, PageTree tree)
{
    const PackRect& r = leaf.rect;
    int32_t dw = r.w - w, dh = r.h - h;
    if (dw < dh)
        MakeChildren(leaf, {r.x, r.y, r.w, h}, {r.x, r.y + h, r.w, r.h - h}, false, tree);
    else
        MakeChildren(leaf, {r.x, r.y, w, r.h}, {r.x + w, r.y, r.w - w, r.h}, false, tree);
}

// Cuts a used leaf into two used leaves along one edge of c, the part of the freed rectangle
// that lies inside it; repeated cuts end with exactly c as a leaf.
void SplitAroundFreed(PackNode& leaf, const PackRect& c, PageTree tree)
{
    const PackRect& r = leaf.rect;
    bool spansWidth = c.x == r.x && c.x + c.w == r.x + r.w;
    bool spansHeight = c.y == r.y && c.y + c.h == r.y + r.h;
    if (!spansWidth && (spansHeight || r.w > r.h)) {
        int32_t cut = c.x == r.x ? r.x + c.w : c.x;
        MakeChildren(leaf, {r.x, r.y, cut - r.x, r.h}, {cut, r.y, r.x + r.w - cut, r.h}, true, tree);
    } else {
        int32_t cut = c.y == r.y ? r.y + c.h : c.y;
        MakeChildren(leaf, {r.x, r.y, r.w, cut - r.y}, {r.x, cut, r.w, r.y + r.h - cut}, true, tree);
    }
}

// The first free leaf that fits, in depth-first order, is cut down to exactly w x h at its
// top-left corner (the first child of each cut) and marked used.
PackNode* InsertIntoTree(PageTree tree, int32_t w, int32_t h)
{
    PackNode* node = tree.order.FirstFitting(w, h);
    if (!node)
        return nullptr;
    while (node->rect.w != w || node->rect.h != h) {
        SplitForInsert(*node, w, h, tree);
        node = node->first;
    }
    node->used = true;
    tree.order.Refresh(node->slot);
    return node;
}

// Trees can get deep (one level per cut), so the walk uses an explicit stack, not recursion.
bool GiveBack(PackNode& root, const PackRect& freed, PageTree tree)
{
    std::vector<std::pair<PackNode*, PackRect>> stack{{&root, freed}};
    while (!stack.empty()) {
        auto [node, r] = stack.back();
        stack.pop_back();
        PackRect c = Intersect(r, node->rect);
        if (c.w < 1 || c.h < 1)
            continue;
        if (node->IsLeaf()) {
            if (!node->used)
                continue;
            if (c == node->rect) {
                node->used = false;
                tree.order.Refresh(node->slot);
                return true;
            }
            SplitAroundFreed(*node, c, tree);
        }
        // The first child sees only the intersection, the second the whole rectangle; the
        // first success ends the walk.
        stack.push_back({node->second, r});
        stack.push_back({node->first, c});
    }
    return false;
}

}  // namespace

AtlasPage::AtlasPage(int32_t w, int32_t h, uint32_t fillColour, bool withPixels)
    : root(std::make_unique<PackNode>()), freeArea(int64_t(w) * h), width(w), height(h)
{
    if (withPixels) {
        bitmap.Resize(w, h);
        bitmap.FillPixel(fillColour);
    }
    root->rect = {0, 0, w, h};
    leafOrder.AddFirst(root.get());
}

bool AtlasPage::Insert(PackRect& rect)
{
    if (!root || rect.w < 1 || rect.h < 1 || rect.w > width || rect.h > height)
        return false;
    PackNode* leaf = InsertIntoTree({nodes, leafOrder}, rect.w, rect.h);
    if (!leaf)
        return false;
    rect.x = leaf->rect.x;
    rect.y = leaf->rect.y;
    freeArea -= int64_t(rect.w) * rect.h;
    return true;
}

bool AtlasPage::FreeRect(const PackRect& r)
{
    if (!root || !GiveBack(*root, r, {nodes, leafOrder}))
        return false;
    freeArea += int64_t(r.w) * r.h;
    return true;
}

bool AtlasPage::HasFreeLeaf(int32_t w, int32_t h) const
{
    return root && leafOrder.FirstFitting(w, h);
}

Atlas::Atlas(int32_t width, int32_t height, uint32_t fill) : fillColour(fill), pageWidth(width), pageHeight(height) {}

void Atlas::Reset(int32_t width, int32_t height)
{
    pages.clear();
    pageWidth = width;
    pageHeight = height;
}

AtlasPlacement Atlas::Insert(int32_t w, int32_t h)
{
    AtlasPlacement placement;
    if (w > pageWidth || h > pageHeight)
        return placement;
    PackRect rect{0, 0, w, h};
    for (int32_t i = 0; i < PageCount(); i++) {
        if (pages[size_t(i)]->Insert(rect))
            return {rect.x, rect.y, i};
    }
    if (AppendPage().Insert(rect))
        return {rect.x, rect.y, PageCount() - 1};
    return placement;
}

bool Atlas::CanFit(int32_t w, int32_t h) const
{
    if (pages.empty() || w < 1 || h < 1)
        return false;
    for (const auto& page : pages) {
        if (page->root && page->width >= w && page->height >= h && page->HasFreeLeaf(w, h))
            return true;
    }
    return false;
}

void Atlas::MatchPageCount(const Atlas& other)
{
    while (PageCount() < other.PageCount())
        AppendPage();
}

AtlasPage* Atlas::Page(int32_t index)
{
    return index >= 0 && index < PageCount() ? pages[size_t(index)].get() : nullptr;
}

const AtlasPage* Atlas::Page(int32_t index) const
{
    return index >= 0 && index < PageCount() ? pages[size_t(index)].get() : nullptr;
}

AtlasPage& Atlas::AppendPage()
{
    pages.push_back(std::make_unique<AtlasPage>(pageWidth, pageHeight, fillColour, withPixels));
    return *pages.back();
}

BitGrid::BitGrid(int32_t w, int32_t h, bool set)
    : width(w), height(h), words((size_t(w) * size_t(h) + 63) / 64, set ? ~uint64_t(0) : 0)
{
}

int64_t BitGrid::CountSet() const
{
    int64_t total = 0;
    size_t cells = size_t(width) * size_t(height);
    for (size_t i = 0; i < words.size(); i++) {
        uint64_t word = words[i];
        if (i == words.size() - 1 && cells % 64 != 0)
            word &= (uint64_t(1) << (cells % 64)) - 1;
        total += std::popcount(word);
    }
    return total;
}

PackRect FindLargestEmptyRect(const BitGrid& grid)
{
    return EmptyRectFinder(grid).FindLargest();
}

namespace {

std::vector<uint8_t> CellBytes(const BitGrid& grid)
{
    std::vector<uint8_t> cells(size_t(grid.Width()) * size_t(grid.Height()));
    for (int32_t y = 0; y < grid.Height(); y++) {
        for (int32_t x = 0; x < grid.Width(); x++)
            cells[size_t(y) * size_t(grid.Width()) + size_t(x)] = grid.Get(x, y);
    }
    return cells;
}

bool Overlaps(const PackRect& a, const PackRect& b)
{
    return a.x < b.x + b.w && b.x < a.x + a.w && a.y < b.y + b.h && b.y < a.y + a.h;
}

}  // namespace

EmptyRectFinder::EmptyRectFinder(const BitGrid& grid) : EmptyRectFinder(grid.Width(), grid.Height(), CellBytes(grid)) {}

EmptyRectFinder::EmptyRectFinder(int32_t w, int32_t h, const std::vector<uint8_t>& occupied, bool grow)
    : width(w), height(h), down(size_t(w) * size_t(h)), rowBest(size_t(h), PackRect{0, 0, 0, -1}), rowCurrent(size_t(h), 0), stack(2 * (size_t(w) + 1))
{
    std::vector<uint8_t> grown(grow ? size_t(w) : 0);
    for (int32_t y = height - 1; y >= 0; y--) {
        size_t row = size_t(y) * size_t(width);
        const uint8_t* cells = occupied.data() + row;
        if (grow) {
            // Growth by one cell in all eight directions: down the column, then across.
            const uint8_t* above = occupied.data() + (y > 0 ? row - size_t(width) : row);
            const uint8_t* below = occupied.data() + (y + 1 < height ? row + size_t(width) : row);
            for (int32_t x = 0; x < width; x++)
                grown[size_t(x)] = uint8_t(above[x] | cells[x] | below[x]);
            uint8_t previous = 0;
            for (int32_t x = 0; x < width; x++) {
                uint8_t here = grown[size_t(x)];
                grown[size_t(x)] = uint8_t(previous | here | (x + 1 < width ? grown[size_t(x) + 1] : 0));
                previous = here;
            }
            cells = grown.data();
        }
        const int32_t* below = y + 1 < height ? down.data() + row + size_t(width) : nullptr;
        for (int32_t x = 0; x < width; x++) {
            int32_t run = cells[x] ? 0 : (below ? below[x] : 0) + 1;
            down[row + size_t(x)] = run;
            freeCells += run != 0;
        }
    }
}

// Every largest empty rectangle with its top in row y spans, at the height of one of its columns'
// downward runs, every neighbouring column whose run is at least as long: the largest rectangle
// of the histogram of the runs. Of equal areas the row keeps the leftmost, then the lowest, as
// the cell-by-cell scan of FindLargestEmptyRect does.
void EmptyRectFinder::FindRowBest(int32_t y)
{
    const int32_t* runs = down.data() + size_t(y) * size_t(width);
    // Columns with strictly rising runs; a column leaves when a shorter one arrives, and its
    // rectangle then ends there. Of equal runs the earlier column leaves early with a cut-off
    // rectangle, and the later one spans the full width from the same left edge.
    // Each open column keeps its run beside it: the runs are read in the tight loop.
    int32_t* open = stack.data();
    int32_t* openRun = stack.data() + width + 1;
    int32_t count = 0;
    PackRect best;
    int64_t bestArea = 0;
    for (int32_t x = 0; x <= width; x++) {
        int32_t h = x < width ? runs[x] : 0;
        while (count > 0 && openRun[count - 1] >= h) {
            int32_t height = openRun[--count];
            if (height == 0)
                continue;
            int32_t x0 = count > 0 ? open[count - 1] + 1 : 0;
            int64_t area = int64_t(x - x0) * height;
            if (area >= bestArea && (area > bestArea || x0 < best.x || (x0 == best.x && height < best.h))) {
                best = {x0, y, x - x0, height};
                bestArea = area;
            }
        }
        open[count] = x;
        openRun[count++] = h;
    }
    rowBest[size_t(y)] = best;
    rowCurrent[size_t(y)] = 1;
}

PackRect EmptyRectFinder::FindLargest()
{
    // The best of the rows that are up to date first. A row whose best rectangle a fill touched
    // still bounds its new best by the old area (fills only shrink rectangles), so it is searched
    // again only when it could win: a larger area, or an equal one in an earlier row.
    PackRect best;
    int64_t bestArea = 0;
    for (int32_t y = 0; y < height; y++) {
        const PackRect& r = rowBest[size_t(y)];
        if (rowCurrent[size_t(y)] && int64_t(r.w) * r.h > bestArea) {
            best = r;
            bestArea = int64_t(r.w) * r.h;
        }
    }
    for (int32_t y = 0; y < height; y++) {
        if (rowCurrent[size_t(y)])
            continue;
        const PackRect& bound = rowBest[size_t(y)];
        int64_t boundArea = int64_t(bound.w) * bound.h;
        if (bound.h >= 0 && (boundArea < bestArea || (boundArea == bestArea && (bestArea == 0 || y > best.y))))
            continue;
        FindRowBest(y);
        const PackRect& r = rowBest[size_t(y)];
        int64_t area = int64_t(r.w) * r.h;
        if (area > bestArea || (area == bestArea && area > 0 && y < best.y)) {
            best = r;
            bestArea = area;
        }
    }
    return best;
}

void EmptyRectFinder::Fill(const PackRect& r)
{
    for (int32_t y = r.y; y < r.y + r.h; y++) {
        int32_t* row = down.data() + size_t(y) * size_t(width);
        std::fill(row + r.x, row + r.x + r.w, 0);
    }
    // Above the rectangle the downward runs of its columns now stop at its top; a run of 0 is an
    // occupied cell, above which nothing changes.
    for (int32_t x = r.x; x < r.x + r.w; x++) {
        int32_t run = 0;
        for (int32_t y = r.y - 1; y >= 0; y--) {
            int32_t& cell = down[size_t(y) * size_t(width) + size_t(x)];
            if (cell == 0)
                break;
            cell = ++run;
        }
    }
    // Fills only shrink the empty rectangles: a row's best one that the fill missed is still the
    // best of its row.
    for (int32_t y = 0; y < height; y++) {
        if (rowCurrent[size_t(y)] && Overlaps(rowBest[size_t(y)], r))
            rowCurrent[size_t(y)] = 0;
    }
}

std::vector<PackRect> FindHoles(int32_t width, int32_t height, const std::vector<uint8_t>& occupied)
{
    std::vector<PackRect> holes;
    if (width < 1 || height < 1)
        return holes;
    EmptyRectFinder finder(width, height, occupied, true);
    int64_t freeCells = finder.FreeCells();
    while (freeCells > 0) {
        PackRect r = finder.FindLargest();
        if (r.w < 4 && r.h < 4)
            break;
        freeCells -= int64_t(r.w) * r.h;
        finder.Fill(r);
        holes.push_back(r);
    }
    return holes;
}

}  // namespace Engine
