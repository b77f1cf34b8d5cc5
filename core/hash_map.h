#pragma once

#include <cstdint>
#include <cstring>
#include <type_traits>
#include <vector>

#include "core/hash_bytes.h"

namespace Core {

// Insertion-ordered hash map over plain key records, hashed and compared byte for byte (so a
// float key 0.0 and -0.0 are different keys, and keys must have no padding bytes). Entries live
// in one flat array in insertion order, linked into bucket chains by index; iteration is over
// that array, which is what makes every result built from a map independent of hash values.
template <class Key, class Value>
class HashMap {
    static_assert(std::is_trivially_copyable_v<Key>, "keys are hashed as raw bytes");

public:
    struct Entry {
        Key key;
        Value value;
        int32_t next;
    };

    // Index of the entry with this key, or -1.
    int32_t Find(const Key& key) const
    {
        if (buckets.empty())
            return -1;
        for (int32_t e = buckets[BucketOf(key)]; e >= 0; e = entries[e].next) {
            if (std::memcmp(&entries[e].key, &key, sizeof(Key)) == 0)
                return e;
        }
        return -1;
    }

    // Index of the entry with this key; appends (key, value) when there is none.
    int32_t FindOrAdd(const Key& key, const Value& value)
    {
        int32_t found = Find(key);
        if (found >= 0)
            return found;
        return Append(key, value);
    }

    // As FindOrAdd, and tells whether the entry is new.
    int32_t FindOrAdd(const Key& key, const Value& value, bool& added)
    {
        int32_t found = Find(key);
        added = found < 0;
        return added ? Append(key, value) : found;
    }

    void Clear()
    {
        entries.clear();
        buckets.clear();
    }

    void Reserve(int32_t count) { entries.reserve(size_t(count)); }

    int32_t Count() const { return int32_t(entries.size()); }
    int32_t BucketCount() const { return int32_t(buckets.size()); }
    Entry& operator[](int32_t index) { return entries[size_t(index)]; }
    const Entry& operator[](int32_t index) const { return entries[size_t(index)]; }
    auto begin() const { return entries.begin(); }
    auto end() const { return entries.end(); }

private:
    uint32_t BucketOf(const Key& key) const
    {
        return HashBytes(&key, sizeof(Key), 0) & uint32_t(buckets.size() - 1);
    }

    int32_t Append(const Key& key, const Value& value)
    {
        int32_t index = int32_t(entries.size());
        if (buckets.empty()) {
            entries.push_back({key, value, -1});
            buckets.push_back(index);
            return index;
        }
        uint32_t b = BucketOf(key);
        entries.push_back({key, value, buckets[b]});
        buckets[b] = index;
        if (int32_t(entries.size()) >= int32_t(buckets.size()))
            Grow();
        return index;
    }

    // Doubles the bucket array until it outnumbers the entries (twice only on the second
    // insertion, from one bucket), then re-links every entry in entry order, each to the front
    // of its new chain.
    void Grow()
    {
        size_t count = buckets.size() * 2;
        while (count <= entries.size())
            count *= 2;
        buckets.assign(count, -1);
        for (int32_t e = 0; e < int32_t(entries.size()); e++) {
            uint32_t b = BucketOf(entries[e].key);
            entries[e].next = buckets[b];
            buckets[b] = e;
        }
    }

    std::vector<Entry> entries;
    std::vector<int32_t> buckets;
};

}  // namespace Core
