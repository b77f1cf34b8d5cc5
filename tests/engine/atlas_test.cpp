#include "engine/lightmapper/atlas.h"

#include <gtest/gtest.h>

#include <random>
#include <vector>

namespace {

using Engine::Atlas;
using Engine::AtlasPage;
using Engine::BitGrid;
using Engine::PackNode;
using Engine::PackRect;

void CollectLeaves(const PackNode& node, std::vector<const PackNode*>& leaves)
{
    if (node.IsLeaf()) {
        leaves.push_back(&node);
        return;
    }
    // Children tile the parent exactly.
    const PackRect &p = node.rect, &a = node.first->rect, &b = node.second->rect;
    EXPECT_EQ(int64_t(a.w) * a.h + int64_t(b.w) * b.h, int64_t(p.w) * p.h);
    EXPECT_TRUE((a.x == p.x && a.y == p.y) && (b.x + b.w == p.x + p.w) && (b.y + b.h == p.y + p.h));
    EXPECT_EQ(node.first->parent, &node);
    CollectLeaves(*node.first, leaves);
    CollectLeaves(*node.second, leaves);
}

TEST(AtlasPage, ExactFitMarksTheLeafWithoutSplitting)
{
    AtlasPage page(8, 6, 0xFFFF0000u);
    PackRect r{0, 0, 8, 6};
    ASSERT_TRUE(page.Insert(r));
    EXPECT_TRUE(page.root->IsLeaf());
    EXPECT_TRUE(page.root->used);
    EXPECT_EQ(page.freeArea, 0);
    PackRect more{0, 0, 1, 1};
    EXPECT_FALSE(page.Insert(more));
}

TEST(AtlasPage, CutsAcrossTheLongerLeftoverAndSearchesDepthFirst)
{
    AtlasPage page(10, 10, 0);
    PackRect a{0, 0, 4, 6};  // leftover 6 wide, 4 high: vertical cut first
    ASSERT_TRUE(page.Insert(a));
    EXPECT_EQ(a, (PackRect{0, 0, 4, 6}));
    EXPECT_EQ(page.root->first->rect, (PackRect{0, 0, 4, 10}));
    EXPECT_EQ(page.root->second->rect, (PackRect{4, 0, 6, 10}));
    PackRect b{0, 0, 4, 4};  // fits the rest of the first column, found before the second child
    ASSERT_TRUE(page.Insert(b));
    EXPECT_EQ(b, (PackRect{0, 6, 4, 4}));
    PackRect c{0, 0, 6, 10};
    ASSERT_TRUE(page.Insert(c));
    EXPECT_EQ(c, (PackRect{4, 0, 6, 10}));
    EXPECT_EQ(page.freeArea, 0);
}

TEST(AtlasPage, GiveBackCutsAUsedLeafDownToExactlyTheFreedRectangle)
{
    const PackRect freedCases[] = {{2, 3, 3, 2}, {0, 0, 8, 2}, {5, 0, 3, 8}, {0, 6, 1, 2}, {1, 1, 6, 6}};
    for (const PackRect& freed : freedCases) {
        AtlasPage page(8, 8, 0);
        PackRect all{0, 0, 8, 8};
        ASSERT_TRUE(page.Insert(all));
        ASSERT_TRUE(page.FreeRect(freed));
        std::vector<const PackNode*> leaves;
        CollectLeaves(*page.root, leaves);
        int freeLeaves = 0;
        for (const PackNode* leaf : leaves) {
            if (!leaf->used) {
                freeLeaves++;
                EXPECT_EQ(leaf->rect, freed);
            }
        }
        EXPECT_EQ(freeLeaves, 1) << freed.x << "," << freed.y << " " << freed.w << "x" << freed.h;
        EXPECT_EQ(page.freeArea, int64_t(freed.w) * freed.h);
        // The freed hole takes a rectangle of its size exactly where it was.
        PackRect again{0, 0, freed.w, freed.h};
        ASSERT_TRUE(page.Insert(again));
        EXPECT_EQ(again, freed);
    }
}

TEST(AtlasPage, GiveBackOutsideUsedLeavesChangesNothing)
{
    AtlasPage page(8, 8, 0);
    EXPECT_FALSE(page.FreeRect({0, 0, 4, 4}));  // the whole page is already free
    EXPECT_FALSE(page.FreeRect({9, 9, 2, 2}));  // outside the page
    EXPECT_EQ(page.freeArea, 64);
}

TEST(Atlas, PlacesOnFirstPageWithRoomAndStartsNewPages)
{
    Atlas atlas(16, 16, 0x00FF0000u);
    EXPECT_FALSE(atlas.CanFit(1, 1));  // no pages yet
    EXPECT_EQ(atlas.Insert(17, 4).page, -1);
    EXPECT_EQ(atlas.PageCount(), 0);
    auto a = atlas.Insert(16, 10);
    EXPECT_EQ(a.page, 0);
    EXPECT_EQ(atlas.Page(0)->bitmap.At(3, 3), 0x00FF0000u);
    EXPECT_TRUE(atlas.CanFit(16, 6));
    EXPECT_FALSE(atlas.CanFit(16, 7));
    auto b = atlas.Insert(16, 7);
    EXPECT_EQ(b.page, 1);
    EXPECT_EQ(b.x, 0);
    EXPECT_EQ(b.y, 0);
    auto c = atlas.Insert(8, 6);
    EXPECT_EQ(c.page, 0);
    EXPECT_EQ(c.y, 10);
    EXPECT_EQ(atlas.Page(2), nullptr);
    EXPECT_EQ(atlas.Page(-1), nullptr);

    Atlas other(16, 16, 0xFF000000u);
    other.MatchPageCount(atlas);
    EXPECT_EQ(other.PageCount(), 2);
    EXPECT_EQ(other.Page(1)->bitmap.At(0, 0), 0xFF000000u);
    atlas.Reset(32, 8);
    EXPECT_EQ(atlas.PageCount(), 0);
    EXPECT_EQ(atlas.PageWidth(), 32);
}

PackRect BruteForceLargest(const BitGrid& grid)
{
    PackRect best;
    int64_t bestArea = 0;
    for (int32_t y = 0; y < grid.Height(); y++) {
        for (int32_t x = 0; x < grid.Width(); x++) {
            for (int32_t h = 1; y + h <= grid.Height(); h++) {
                for (int32_t w = 1; x + w <= grid.Width(); w++) {
                    bool free = true;
                    for (int32_t yy = y; yy < y + h && free; yy++)
                        for (int32_t xx = x; xx < x + w && free; xx++)
                            free = !grid.Get(xx, yy);
                    if (free && int64_t(w) * h > bestArea) {
                        bestArea = int64_t(w) * h;
                        best = {x, y, w, h};
                    }
                }
            }
        }
    }
    return best;
}

// The plain cell-by-cell scan: run lengths to the right and downwards, rows outer, columns inner,
// heights growing, a strictly larger area replacing the best.
PackRect ScanLargest(const BitGrid& grid)
{
    int32_t w = grid.Width(), h = grid.Height();
    std::vector<int32_t> right(size_t(w * h)), down(size_t(w * h));
    for (int32_t y = h - 1; y >= 0; y--) {
        for (int32_t x = w - 1; x >= 0; x--) {
            size_t i = size_t(y * w + x);
            right[i] = grid.Get(x, y) ? 0 : 1 + (x + 1 < w ? right[i + 1] : 0);
            down[i] = grid.Get(x, y) ? 0 : 1 + (y + 1 < h ? down[i + size_t(w)] : 0);
        }
    }
    PackRect best;
    int64_t bestArea = 0;
    for (int32_t y = 0; y < h; y++) {
        for (int32_t x = 0; x < w; x++) {
            size_t i = size_t(y * w + x);
            int32_t width = right[i];
            for (int32_t k = 1; k <= down[i]; k++) {
                width = std::min(width, right[i + size_t((k - 1) * w)]);
                if (int64_t(width) * down[i] <= bestArea)
                    break;
                if (int64_t(width) * k > bestArea) {
                    best = {x, y, width, k};
                    bestArea = int64_t(width) * k;
                }
            }
        }
    }
    return best;
}

// Holes the plain way: one cell of growth around occupied cells, then the largest empty
// rectangle again and again while one of its sides is 4 or more.
std::vector<PackRect> ScanHoles(const BitGrid& occupied)
{
    int32_t w = occupied.Width(), h = occupied.Height();
    BitGrid grown(w, h, false);
    for (int32_t y = 0; y < h; y++)
        for (int32_t x = 0; x < w; x++)
            for (int32_t dy = -1; dy <= 1; dy++)
                for (int32_t dx = -1; dx <= 1; dx++)
                    if (x + dx >= 0 && y + dy >= 0 && x + dx < w && y + dy < h && occupied.Get(x + dx, y + dy))
                        grown.Set(x, y, true);
    int64_t freeCells = int64_t(w) * h - grown.CountSet();
    std::vector<PackRect> holes;
    while (freeCells > 0) {
        PackRect r = ScanLargest(grown);
        if (r.w < 4 && r.h < 4)
            break;
        freeCells -= int64_t(r.w) * r.h;
        for (int32_t y = r.y; y < r.y + r.h; y++)
            for (int32_t x = r.x; x < r.x + r.w; x++)
                grown.Set(x, y, true);
        holes.push_back(r);
    }
    return holes;
}

TEST(FindLargestEmptyRect, MatchesBruteForceAreaOnRandomGrids)
{
    const uint32_t seed = 1234;
    std::mt19937 rng(seed);
    for (int trial = 0; trial < 300; trial++) {
        int32_t w = 1 + int32_t(rng() % 12), h = 1 + int32_t(rng() % 12);
        double density = (rng() % 100) / 100.0;
        BitGrid grid(w, h, false);
        for (int32_t y = 0; y < h; y++)
            for (int32_t x = 0; x < w; x++)
                grid.Set(x, y, (rng() % 1000) / 1000.0 < density);
        PackRect found = Engine::FindLargestEmptyRect(grid);
        PackRect expected = BruteForceLargest(grid);
        ASSERT_EQ(int64_t(found.w) * found.h, int64_t(expected.w) * expected.h) << "seed " << seed << " trial " << trial;
        // Of equal areas, the one the cell-by-cell scan meets first.
        ASSERT_EQ(found, ScanLargest(grid)) << "seed " << seed << " trial " << trial;
        for (int32_t y = found.y; y < found.y + found.h; y++)
            for (int32_t x = found.x; x < found.x + found.w; x++)
                ASSERT_FALSE(grid.Get(x, y)) << "seed " << seed << " trial " << trial;
    }
}

TEST(FindLargestEmptyRect, FullGridGivesZeroRectAndTiesKeepTheFirst)
{
    EXPECT_EQ(Engine::FindLargestEmptyRect(BitGrid(5, 3, true)), (PackRect{0, 0, 0, 0}));
    BitGrid twoHoles(5, 1, true);
    twoHoles.Set(1, 0, false);
    twoHoles.Set(3, 0, false);
    EXPECT_EQ(Engine::FindLargestEmptyRect(twoHoles), (PackRect{1, 0, 1, 1}));
}

TEST(EmptyRectFinder, IncrementalFillsAgreeWithAFreshSearch)
{
    std::mt19937 rng(77);
    BitGrid grid(40, 30, false);
    for (int i = 0; i < 60; i++)
        grid.Set(int32_t(rng() % 40), int32_t(rng() % 30), true);
    Engine::EmptyRectFinder finder(grid);
    for (int step = 0; step < 25; step++) {
        PackRect r = finder.FindLargest();
        ASSERT_EQ(r, ScanLargest(grid)) << "step " << step;
        if (r.w == 0)
            break;
        finder.Fill(r);
        for (int32_t y = r.y; y < r.y + r.h; y++)
            for (int32_t x = r.x; x < r.x + r.w; x++)
                grid.Set(x, y, true);
    }
}

TEST(FindHoles, GivesTheRectanglesOfThePlainSearchInItsOrder)
{
    // Sparse lines and blobs leave many holes of equal sizes, where the order of the search shows.
    const uint32_t seed = 4242;
    std::mt19937 rng(seed);
    for (int trial = 0; trial < 60; trial++) {
        int32_t w = 4 * (1 + int32_t(rng() % 12)), h = 4 * (1 + int32_t(rng() % 12));
        BitGrid occupied(w, h, false);
        std::vector<uint8_t> cells(size_t(w * h), 0);
        int marks = int(rng() % 8);
        for (int m = 0; m < marks; m++) {
            bool line = rng() % 2;
            int32_t x = int32_t(rng() % uint32_t(w)), y = int32_t(rng() % uint32_t(h));
            for (int32_t i = 0; i < (line ? std::max(w, h) : 1); i++) {
                int32_t cx = line && m % 2 ? i % w : x, cy = line && m % 2 == 0 ? i % h : y;
                occupied.Set(cx, cy, true);
                cells[size_t(cy * w + cx)] = 1;
            }
        }
        std::vector<PackRect> found = Engine::FindHoles(w, h, cells);
        std::vector<PackRect> expected = ScanHoles(occupied);
        ASSERT_EQ(found.size(), expected.size()) << "seed " << seed << " trial " << trial;
        for (size_t i = 0; i < found.size(); i++)
            ASSERT_EQ(found[i], expected[i]) << "seed " << seed << " trial " << trial << " hole " << i;
    }
    // A fully occupied grid has no holes; an empty one is one hole.
    EXPECT_TRUE(Engine::FindHoles(8, 8, std::vector<uint8_t>(64, 1)).empty());
    std::vector<PackRect> whole = Engine::FindHoles(8, 4, std::vector<uint8_t>(32, 0));
    ASSERT_EQ(whole.size(), 1u);
    EXPECT_EQ(whole[0], (PackRect{0, 0, 8, 4}));
}

}  // namespace

namespace {

// The first free leaf of at least w x h in depth-first order (first child first), found by
// walking the whole tree: what an insertion must pick.
const Engine::PackNode* FirstFittingLeaf(const Engine::PackNode& node, int32_t w, int32_t h)
{
    if (node.IsLeaf())
        return !node.used && node.rect.w >= w && node.rect.h >= h ? &node : nullptr;
    if (const Engine::PackNode* found = FirstFittingLeaf(*node.first, w, h))
        return found;
    return FirstFittingLeaf(*node.second, w, h);
}

// The page's leaf order must list exactly the tree's leaves, in depth-first order, each knowing
// its entry.
void CheckLeafOrder(const AtlasPage& page)
{
    std::vector<const PackNode*> leaves;
    CollectLeaves(*page.root, leaves);
    EXPECT_EQ(page.leafOrder.Leaves(), leaves);
    for (const PackNode* leaf : leaves)
        EXPECT_GE(leaf->slot, 0);
}

TEST(AtlasPage, PrunedSearchPicksTheFirstFittingLeafThroughInsertsAndGiveBacks)
{
    const uint32_t seed = 4242;
    std::mt19937 rng(seed);
    AtlasPage page(96, 96, 0);
    std::vector<PackRect> placed;
    for (int step = 0; step < 1500; step++) {
        if (!placed.empty() && rng() % 4 == 0) {
            // Give back a random part of a placed rectangle.
            const PackRect& r = placed[rng() % placed.size()];
            int32_t w = 1 + int32_t(rng() % uint32_t(r.w)), h = 1 + int32_t(rng() % uint32_t(r.h));
            PackRect part{r.x + int32_t(rng() % uint32_t(r.w - w + 1)), r.y + int32_t(rng() % uint32_t(r.h - h + 1)), w, h};
            page.FreeRect(part);
        } else {
            // Mostly small, some taller than the heights the order knows exactly.
            int32_t w = 1 + int32_t(rng() % (step % 5 == 0 ? 40 : 12)), h = 1 + int32_t(rng() % (step % 3 == 0 ? 30 : 12));
            const Engine::PackNode* expected = FirstFittingLeaf(*page.root, w, h);
            PackRect r{0, 0, w, h};
            bool inserted = page.Insert(r);
            ASSERT_EQ(inserted, expected != nullptr) << "seed " << seed << " step " << step;
            if (inserted) {
                EXPECT_EQ(r.x, expected->rect.x) << "seed " << seed << " step " << step;
                EXPECT_EQ(r.y, expected->rect.y) << "seed " << seed << " step " << step;
                placed.push_back(r);
            }
            EXPECT_EQ(page.HasFreeLeaf(w, h), FirstFittingLeaf(*page.root, w, h) != nullptr);
        }
        CheckLeafOrder(page);
        if (HasFailure())
            return;
    }
}

}  // namespace
