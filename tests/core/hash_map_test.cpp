#include "core/hash_map.h"

#include <gtest/gtest.h>

#include <cstring>

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

}  // namespace
