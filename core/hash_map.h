#pragma once

#include <cstdint>
#include <cstring>
#include <type_traits>
#include <utility>

#include "core/hash_bytes.h"
#include "core/heap.h"

namespace Core {

// Insertion-ordered hash map over plain key records, hashed and compared byte for byte (so a
// float key 0.0 and -0.0 are different keys, and keys must have no padding bytes). Entries live
// in one flat array in insertion order, linked into bucket chains by index; iteration is over
// that array, which is what makes every result built from a map independent of hash values.
//
// The chain links live apart from the keys and values: a lookup whose bucket starts with
// another key reads only that entry's 8-byte link and hash, and compares keys only where the
// hashes agree; on a map larger than the caches that shrinks the memory a lookup reaches into
// at random to the buckets and the links.
//
// The arrays grow through Heap::Realloc: a big map then moves its pages instead of copying
// them into fresh memory, whose first touches would cost more than the inserts themselves.
template <class Key, class Value>
class HashMap {
    static_assert(std::is_trivially_copyable_v<Key>, "keys are hashed as raw bytes");
    static_assert(std::is_trivially_copyable_v<Value>, "entries are moved as raw bytes");

public:
    struct Entry {
        Key key;
        Value value;
    };

    HashMap() = default;
    HashMap(const HashMap& other) { CopyFrom(other); }
    HashMap(HashMap&& other) noexcept { Swap(other); }
    HashMap& operator=(const HashMap& other)
    {
        if (this != &other) {
            Clear();
            CopyFrom(other);
        }
        return *this;
    }
    HashMap& operator=(HashMap&& other) noexcept
    {
        HashMap taken(std::move(other));
        Swap(taken);
        return *this;
    }
    ~HashMap()
    {
        Heap::Free(entries);
        Heap::Free(links);
        Heap::Free(buckets);
    }

    // Index of the entry with this key, or -1.
    int32_t Find(const Key& key) const
    {
        if (bucketCount == 0)
            return -1;
        return FindHashed(key, HashOf(key));
    }

    // Index of the entry with this key; appends (key, value) when there is none.
    int32_t FindOrAdd(const Key& key, const Value& value)
    {
        bool added;
        return FindOrAdd(key, value, added);
    }

    // As FindOrAdd, and tells whether the entry is new.
    int32_t FindOrAdd(const Key& key, const Value& value, bool& added)
    {
        uint32_t hash = HashOf(key);
        if (bucketCount != 0) {
            int32_t found = FindHashed(key, hash);
            if (found >= 0) {
                added = false;
                return found;
            }
        }
        added = true;
        return Append(key, value, hash);
    }

    // Empties the map; its memory is kept for the next fill.
    void Clear()
    {
        count = 0;
        bucketCount = 0;
    }

    void Reserve(int32_t entryCount)
    {
        if (entryCount > capacity)
            SetCapacity(entryCount);
    }

    int32_t Count() const { return count; }
    int32_t BucketCount() const { return bucketCount; }
    Entry& operator[](int32_t index) { return entries[index]; }
    const Entry& operator[](int32_t index) const { return entries[index]; }
    const Entry* begin() const { return entries; }
    const Entry* end() const { return entries + count; }
    // The next older entry of the same bucket, or -1.
    int32_t Next(int32_t index) const { return links[index].next; }

private:
    static uint32_t HashOf(const Key& key) { return HashBytes(&key, sizeof(Key), 0); }

    int32_t FindHashed(const Key& key, uint32_t hash) const
    {
        for (int32_t e = buckets[hash & uint32_t(bucketCount - 1)]; e >= 0; e = links[e].next) {
            if (links[e].hash == hash && std::memcmp(&entries[e].key, &key, sizeof(Key)) == 0)
                return e;
        }
        return -1;
    }

    int32_t Append(const Key& key, const Value& value, uint32_t hash)
    {
        if (count == capacity)
            SetCapacity(capacity + (capacity / 2 > 1 ? capacity / 2 : 1));
        int32_t index = count++;
        Entry& entry = entries[index];
        std::memcpy(&entry.key, &key, sizeof(Key));
        std::memcpy(&entry.value, &value, sizeof(Value));
        Link& link = links[index];
        link.hash = hash;
        if (bucketCount == 0) {
            // The first entry gets one bucket of its own; doubling starts with the second.
            SetBucketCount(1);
            link.next = -1;
            buckets[0] = index;
            return index;
        }
        uint32_t b = hash & uint32_t(bucketCount - 1);
        link.next = buckets[b];
        buckets[b] = index;
        if (count >= bucketCount)
            Grow();
        return index;
    }

    // Doubles the bucket array until it outnumbers the entries (twice only on the second
    // insertion, from one bucket), then re-links every entry in entry order, each to the front
    // of its new chain.
    void Grow()
    {
        int32_t newCount = bucketCount * 2;
        while (newCount <= count)
            newCount *= 2;
        SetBucketCount(newCount);
        std::memset(buckets, 0xFF, sizeof(int32_t) * size_t(newCount));
        const uint32_t mask = uint32_t(newCount - 1);
        for (int32_t e = 0; e < count; e++) {
            uint32_t b = links[e].hash & mask;
            links[e].next = buckets[b];
            buckets[b] = e;
        }
    }

    void SetCapacity(int32_t newCapacity)
    {
        entries = static_cast<Entry*>(Resized(entries, sizeof(Entry) * size_t(newCapacity)));
        links = static_cast<Link*>(Resized(links, sizeof(Link) * size_t(newCapacity)));
        capacity = newCapacity;
    }

    // The heads are left for the caller to set.
    void SetBucketCount(int32_t newCount)
    {
        if (newCount > bucketCapacity) {
            buckets = static_cast<int32_t*>(Resized(buckets, sizeof(int32_t) * size_t(newCount)));
            bucketCapacity = newCount;
        }
        bucketCount = newCount;
    }

    static void* Resized(void* block, size_t size)
    {
        void* resized = Heap::Realloc(block, size);
        if (!resized)
            Heap::OutOfMemory();
        return resized;
    }

    void CopyFrom(const HashMap& other)
    {
        Reserve(other.count);
        if (other.count > 0) {
            std::memcpy(static_cast<void*>(entries), other.entries, sizeof(Entry) * size_t(other.count));
            std::memcpy(links, other.links, sizeof(Link) * size_t(other.count));
        }
        count = other.count;
        SetBucketCount(other.bucketCount);
        if (other.bucketCount > 0)
            std::memcpy(buckets, other.buckets, sizeof(int32_t) * size_t(other.bucketCount));
    }

    void Swap(HashMap& other) noexcept
    {
        std::swap(entries, other.entries);
        std::swap(links, other.links);
        std::swap(count, other.count);
        std::swap(capacity, other.capacity);
        std::swap(buckets, other.buckets);
        std::swap(bucketCount, other.bucketCount);
        std::swap(bucketCapacity, other.bucketCapacity);
    }

    // Chain link of each entry, and the key's hash, kept so that doubling the buckets re-links
    // every entry without hashing its key again.
    struct Link {
        int32_t next;  // next entry of the same bucket, -1 at the end of the chain
        uint32_t hash;
    };

    Entry* entries = nullptr;
    Link* links = nullptr;
    int32_t count = 0;
    int32_t capacity = 0;
    int32_t* buckets = nullptr;
    int32_t bucketCount = 0;  // 0 or a power of two
    int32_t bucketCapacity = 0;
};

}  // namespace Core
