#include "core/hash_map.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <vector>

namespace {

TEST(HashBytes, MatchesIndependentlyComputedVectors)
{
    // Computed with a separate script from the published mixing steps, not with this code.
    const struct {
        const char* bytes;
        uint32_t seed, expected;
    } cases[] = {
        {"", 0, 0x424C5FBF},               // finish step applied to the salt alone
        {"abc", 0, 0x505EED4D},            // tail only
        {"abcd", 0, 0x08A3DA62},           // one word, no tail
        {"0123456789ab", 0, 0xEBCF1ECE},   // three words, like an edge key
        {"0123456789abc", 0, 0x5596EA5B},  // three words and one tail byte
        {"abcd", 0x12345678, 0x30D767FC},  // seed enters before the first word
    };
    for (const auto& c : cases)
        EXPECT_EQ(Core::HashBytes(c.bytes, std::strlen(c.bytes), c.seed), c.expected) << '"' << c.bytes << '"';
}

TEST(HashMap, KeepsInsertionOrderThroughDoublings)
{
    Core::HashMap<int32_t, int32_t> map;
    EXPECT_EQ(map.Find(1), -1);
    for (int32_t k = 1; k <= 1000; k++) {
        EXPECT_EQ(map.FindOrAdd(k * 7919, k), k - 1);
        EXPECT_GT(map.BucketCount(), map.Count() - (k == 1 ? 1 : 0)) << "after key " << k;
    }
    EXPECT_EQ(map.BucketCount(), 1024);
    int32_t expected = 1;
    for (const auto& entry : map)
        EXPECT_EQ(entry.value, expected++);
    for (int32_t k = 1; k <= 1000; k++)
        EXPECT_EQ(map.Find(k * 7919), k - 1);
    EXPECT_EQ(map.Find(3), -1);
}

TEST(HashMap, FirstInsertGivesOneBucketAndSecondDoubles)
{
    Core::HashMap<int32_t, int32_t> map;
    map.FindOrAdd(5, 0);
    EXPECT_EQ(map.BucketCount(), 1);
    map.FindOrAdd(6, 0);
    EXPECT_EQ(map.BucketCount(), 4);  // 2 entries reach 2 buckets: doubled at once to 4
}

TEST(HashMap, ExistingKeyKeepsItsValueAndIndex)
{
    Core::HashMap<int32_t, int32_t> map;
    bool added = false;
    EXPECT_EQ(map.FindOrAdd(42, 1, added), 0);
    EXPECT_TRUE(added);
    EXPECT_EQ(map.FindOrAdd(42, 2, added), 0);
    EXPECT_FALSE(added);
    EXPECT_EQ(map[0].value, 1);
    map.Clear();
    EXPECT_EQ(map.Count(), 0);
    EXPECT_EQ(map.Find(42), -1);
}

TEST(HashMap, ComparesFloatKeysBitwise)
{
    struct Key {
        float x, y, z;
    };
    Core::HashMap<Key, int32_t> map;
    map.FindOrAdd({-0.0f, 1, 2}, 0);
    EXPECT_EQ(map.Find({0.0f, 1, 2}), -1);
    EXPECT_EQ(map.Find({-0.0f, 1, 2}), 0);
}

// Every chain runs from the newest entry of its bucket to the oldest, each link naming the
// nearest older entry of the same bucket: what front insertion and re-linking in entry order
// leave behind. Checked on the entries alone, for the current bucket count.
template <class Map>
void ExpectChainsNewestFirst(const Map& map)
{
    const uint32_t mask = uint32_t(map.BucketCount() - 1);
    std::vector<int32_t> newestOlder(size_t(map.BucketCount()), -1);
    for (int32_t e = 0; e < map.Count(); e++) {
        uint32_t b = Core::HashBytes(&map[e].key, sizeof(map[e].key), 0) & mask;
        ASSERT_EQ(map.Next(e), newestOlder[b]) << "entry " << e << " of " << map.Count();
        newestOlder[b] = e;
    }
}

TEST(HashMap, ChainsStayNewestFirstAcrossGrowthAndReuse)
{
    Core::HashMap<int32_t, int32_t> map;
    uint32_t seed = 20240531;
    for (int round = 0; round < 2; round++) {
        for (int32_t i = 0; i < 5000; i++) {
            seed = seed * 1664525u + 1013904223u;
            map.FindOrAdd(int32_t(seed >> 12), i);
            if (i == 1 || i == 700 || i == 4999)
                ExpectChainsNewestFirst(map);
        }
        // Cleared maps keep their memory; the second fill must link as a fresh map would.
        map.Clear();
        EXPECT_EQ(map.BucketCount(), 0);
        EXPECT_EQ(map.Find(int32_t(seed >> 12)), -1);
    }
}

TEST(HashMap, CopiesAndMovesAreIndependentMaps)
{
    Core::HashMap<int32_t, int32_t> original;
    for (int32_t k = 0; k < 300; k++)
        original.FindOrAdd(k * 31, k);
    Core::HashMap<int32_t, int32_t> copy(original);
    original.FindOrAdd(-1, 300);
    original[0].value = 99;
    EXPECT_EQ(copy.Count(), 300);
    EXPECT_EQ(copy.BucketCount(), 512);
    EXPECT_EQ(copy.Find(-1), -1);
    EXPECT_EQ(copy[0].value, 0);
    for (int32_t k = 0; k < 300; k++)
        EXPECT_EQ(copy.Find(k * 31), k);

    Core::HashMap<int32_t, int32_t> assigned;
    assigned.FindOrAdd(7, 7);
    assigned = copy;
    EXPECT_EQ(assigned.Find(7), -1);
    EXPECT_EQ(assigned.Find(299 * 31), 299);

    Core::HashMap<int32_t, int32_t> moved(std::move(copy));
    EXPECT_EQ(moved.Find(5 * 31), 5);
    EXPECT_EQ(copy.Count(), 0);  // NOLINT(bugprone-use-after-move): a moved-from map is empty
    EXPECT_EQ(copy.Find(5 * 31), -1);
    copy.FindOrAdd(1, 1);
    EXPECT_EQ(copy.Find(1), 0);
    moved = std::move(original);
    EXPECT_EQ(moved.Count(), 301);
    EXPECT_EQ(moved.Find(-1), 300);
}

}  // namespace
