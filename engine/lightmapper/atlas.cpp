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

void MakeChildren(PackNode& node, const PackRect& first, const PackRect& second, bool used)
{
    node.first = std::make_unique<PackNode>();
    node.second = std::make_unique<PackNode>();
    node.first->rect = first;
    node.second->rect = second;
    node.first->parent = node.second->parent = &node;
    node.first->used = node.second->used = used;
}

// Cuts a free leaf so that its first child starts with the w x h corner: across the longer
// leftover, vertically on a tie.
void SplitForInsert(PackNode& leaf, int32_t w, int32_t h)
{
    const PackRect& r = leaf.rect;
    int32_t dw = r.w - w, dh = r.h - h;
    if (dw < dh)
        MakeChildren(leaf, {r.x, r.y, r.w, h}, {r.x, r.y + h, r.w, r.h - h}, false);
    else
        MakeChildren(leaf, {r.x, r.y, w, r.h}, {r.x + w, r.y, r.w - w, r.h}, false);
}

// Cuts a used leaf into two used leaves along one edge of c, the part of the freed rectangle
// that lies inside it; repeated cuts end with exactly c as a leaf.
void SplitAroundFreed(PackNode& leaf, const PackRect& c)
{
    const PackRect& r = leaf.rect;
    bool spansWidth = c.x == r.x && c.x + c.w == r.x + r.w;
    bool spansHeight = c.y == r.y && c.y + c.h == r.y + r.h;
    if (!spansWidth && (spansHeight || r.w > r.h)) {
        int32_t cut = c.x == r.x ? r.x + c.w : c.x;
        MakeChildren(leaf, {r.x, r.y, cut - r.x, r.h}, {cut, r.y, r.x + r.w - cut, r.h}, true);
    } else {
        int32_t cut = c.y == r.y ? r.y + c.h : c.y;
        MakeChildren(leaf, {r.x, r.y, r.w, cut - r.y}, {r.x, cut, r.w, r.y + r.h - cut}, true);
    }
}

// Trees can get deep (one level per cut), so the walks use explicit stacks, not recursion.
PackNode* InsertIntoTree(PackNode& root, int32_t w, int32_t h)
{
    std::vector<PackNode*> stack{&root};
    while (!stack.empty()) {
        PackNode* node = stack.back();
        stack.pop_back();
        if (node->rect.w < w || node->rect.h < h)
            continue;
        if (node->IsLeaf()) {
            if (node->used)
                continue;
            if (node->rect.w == w && node->rect.h == h) {
                node->used = true;
                return node;
            }
            SplitForInsert(*node, w, h);
            stack.push_back(node->first.get());
            continue;
        }
        stack.push_back(node->second.get());
        stack.push_back(node->first.get());
    }
    return nullptr;
}

bool GiveBack(PackNode& root, const PackRect& freed)
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
                return true;
            }
            SplitAroundFreed(*node, c);
        }
        // The first child sees only the intersection, the second the whole rectangle; the
        // first success ends the walk.
        stack.push_back({node->second.get(), r});
        stack.push_back({node->first.get(), c});
    }
    return false;
}

}  // namespace

AtlasPage::AtlasPage(int32_t width, int32_t height, uint32_t fillColour)
    : bitmap(width, height), root(std::make_unique<PackNode>()), freeArea(int64_t(width) * height)
{
    bitmap.FillPixel(fillColour);
    root->rect = {0, 0, width, height};
}

bool AtlasPage::Insert(PackRect& rect)
{
    if (!root || rect.w < 1 || rect.h < 1 || rect.w > bitmap.Width() || rect.h > bitmap.Height())
        return false;
    PackNode* leaf = InsertIntoTree(*root, rect.w, rect.h);
    if (!leaf)
        return false;
    rect.x = leaf->rect.x;
    rect.y = leaf->rect.y;
    freeArea -= int64_t(rect.w) * rect.h;
    return true;
}

bool AtlasPage::FreeRect(const PackRect& r)
{
    if (!root || !GiveBack(*root, r))
        return false;
    freeArea += int64_t(r.w) * r.h;
    return true;
}

bool AtlasPage::HasFreeLeaf(int32_t w, int32_t h) const
{
    if (!root)
        return false;
    std::vector<const PackNode*> stack{root.get()};
    while (!stack.empty()) {
        const PackNode* node = stack.back();
        stack.pop_back();
        if (node->rect.w < w || node->rect.h < h)
            continue;
        if (node->IsLeaf()) {
            if (!node->used)
                return true;
            continue;
        }
        stack.push_back(node->second.get());
        stack.push_back(node->first.get());
    }
    return false;
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
        if (page->root && page->bitmap.Width() >= w && page->bitmap.Height() >= h && page->HasFreeLeaf(w, h))
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
    pages.push_back(std::make_unique<AtlasPage>(pageWidth, pageHeight, fillColour));
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

EmptyRectFinder::EmptyRectFinder(const BitGrid& grid)
    : width(grid.Width()),
      height(grid.Height()),
      occupied(size_t(width) * size_t(height)),
      right(occupied.size()),
      down(occupied.size())
{
    for (int32_t y = 0; y < height; y++) {
        for (int32_t x = 0; x < width; x++)
            occupied[size_t(y) * size_t(width) + size_t(x)] = grid.Get(x, y);
    }
    for (int32_t y = 0; y < height; y++)
        RecountRowRuns(y, width);
    for (int32_t x = 0; x < width; x++)
        RecountColumnRuns(x, height);
}

// Right(x, y) for x < xEnd, assuming the run values from xEnd on are current.
void EmptyRectFinder::RecountRowRuns(int32_t y, int32_t xEnd)
{
    size_t row = size_t(y) * size_t(width);
    int32_t run = xEnd < width ? right[row + size_t(xEnd)] : 0;
    for (int32_t x = xEnd - 1; x >= 0; x--) {
        run = occupied[row + size_t(x)] ? 0 : run + 1;
        right[row + size_t(x)] = run;
    }
}

void EmptyRectFinder::RecountColumnRuns(int32_t x, int32_t yEnd)
{
    int32_t run = yEnd < height ? down[size_t(yEnd) * size_t(width) + size_t(x)] : 0;
    for (int32_t y = yEnd - 1; y >= 0; y--) {
        size_t i = size_t(y) * size_t(width) + size_t(x);
        run = occupied[i] ? 0 : run + 1;
        down[i] = run;
    }
}

PackRect EmptyRectFinder::FindLargest() const
{
    PackRect best;
    int64_t bestArea = 0;
    for (int32_t y = 0; y < height; y++) {
        for (int32_t x = 0; x < width; x++) {
            size_t i = size_t(y) * size_t(width) + size_t(x);
            int32_t tallest = down[i];
            if (tallest == 0 || int64_t(right[i]) * tallest <= bestArea)
                continue;
            int32_t w = right[i];
            for (int32_t k = 1; k <= tallest; k++) {
                w = std::min(w, right[i + size_t(k - 1) * size_t(width)]);
                if (int64_t(w) * tallest <= bestArea)
                    break;
                if (int64_t(w) * k > bestArea) {
                    best = {x, y, w, k};
                    bestArea = int64_t(w) * k;
                }
            }
        }
    }
    return best;
}

void EmptyRectFinder::Fill(const PackRect& r)
{
    for (int32_t y = r.y; y < r.y + r.h; y++) {
        for (int32_t x = r.x; x < r.x + r.w; x++)
            occupied[size_t(y) * size_t(width) + size_t(x)] = 1;
    }
    for (int32_t y = r.y; y < r.y + r.h; y++)
        RecountRowRuns(y, r.x + r.w);
    for (int32_t x = r.x; x < r.x + r.w; x++)
        RecountColumnRuns(x, r.y + r.h);
}

}  // namespace Engine
