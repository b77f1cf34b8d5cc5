#pragma once

#include <cstddef>
#include <type_traits>
#include <utility>

#include "core/heap.h"

namespace Engine {

// Growable array of plain records that grows through the heap's Realloc. Large blocks are then
// moved by remapping their pages rather than copied into fresh memory, which matters for the lists
// of a big file: first touches of new pages can cost more than parsing the bytes that fill them.
template <class T>
class ReallocArray {
    static_assert(std::is_trivially_copyable_v<T>, "records are moved as raw bytes");

public:
    ReallocArray() = default;
    ReallocArray(const ReallocArray&) = delete;
    ReallocArray& operator=(const ReallocArray&) = delete;
    ~ReallocArray() { Core::Heap::Free(items); }

    void push_back(const T& item)
    {
        if (count == capacity)
            Grow();
        items[count++] = item;
    }

    void clear() { count = 0; }
    void resize(size_t newCount)
    {
        while (capacity < newCount)
            Grow();
        for (size_t i = count; i < newCount; i++)
            items[i] = T();
        count = newCount;
    }
    T& back() { return items[count - 1]; }
    const T& back() const { return items[count - 1]; }
    bool empty() const { return count == 0; }

    // Frees the memory, not only the contents.
    void Release()
    {
        Core::Heap::Free(items);
        items = nullptr;
        count = capacity = 0;
    }

    void Swap(ReallocArray& other) noexcept
    {
        std::swap(items, other.items);
        std::swap(count, other.count);
        std::swap(capacity, other.capacity);
    }
    void reserve(size_t newCapacity)
    {
        if (newCapacity > capacity)
            SetCapacity(newCapacity);
    }

    size_t size() const { return count; }
    T& operator[](size_t index) { return items[index]; }
    const T& operator[](size_t index) const { return items[index]; }
    T* begin() { return items; }
    T* end() { return items + count; }
    const T* begin() const { return items; }
    const T* end() const { return items + count; }

private:
    void Grow() { SetCapacity(capacity ? capacity * 2 : 1024); }

    void SetCapacity(size_t newCapacity)
    {
        void* grown = Core::Heap::Realloc(items, newCapacity * sizeof(T));
        if (!grown)
            Core::Heap::OutOfMemory();
        items = static_cast<T*>(grown);
        capacity = newCapacity;
    }

    T* items = nullptr;
    size_t count = 0;
    size_t capacity = 0;
};

}  // namespace Engine
