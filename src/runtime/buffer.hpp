#pragma once

#include <algorithm>
#include <cstddef>
#include <new>

#include "runtime/errors.hpp"
#include "runtime/heap.hpp"

// Longest array of working storage that an algorithm takes from the process
// heap. A few small inputs can describe far-apart values whose span would
// ask for gigabytes; such a request is refused with "Out of memory".
inline constexpr long long maximumHeapCells = 1LL << 26;

// An array of `length` cells from the process heap. A length outside
// 0 .. maximumHeapCells, or a heap that cannot supply it, raises "Out of
// memory".
template <typename T>
HeapArray<T> heapArray(long long length) {
    if (length < 0 || length > maximumHeapCells) abortOutOfMemory();
    return allocateHeapArray<T>(static_cast<std::size_t>(length));
}

// Working storage that outlives one use: it grows when a use needs more
// cells than it holds and keeps them for the next, so a loop that runs every
// step allocates nothing once the sizes have settled. Growing keeps the
// cells already there.
template <typename T>
class Buffer {
public:
    // Room for `length` cells; returns the first.
    T* reserve(long long length) {
        if (length > capacity) grow(length);
        return cells.get();
    }

    // `length` cells set to zero.
    T* zeroed(long long length) {
        T* first = reserve(length);
        std::fill(first, first + length, T());
        return first;
    }

    T* data() { return cells.get(); }

private:
    void grow(long long length) {
        // At least doubling, so a buffer that grows a cell at a time still
        // costs linear copying in all.
        const long long wanted = std::max(length, std::min(2 * capacity, maximumHeapCells));
        HeapArray<T> larger = heapArray<T>(wanted);
        if (capacity > 0) std::copy(cells.get(), cells.get() + capacity, larger.get());
        cells = std::move(larger);
        capacity = wanted;
    }

    HeapArray<T> cells;
    long long capacity = 0;
};

// Working storage that an object keeps in `slot`, made at its first use
// ("Out of memory" when the heap has no room for it), and its release.
template <typename T>
T& madeOnFirstUse(T*& slot) {
    if (slot == nullptr) {
        void* block = heapAllocate(sizeof(T));
        slot = new (block) T();  // an empty workspace: its constructor takes nothing
    }
    return *slot;
}

template <typename T>
void releaseOwned(T*& slot) {
    if (slot != nullptr) {
        slot->~T();
        heapFree(slot);
    }
    slot = nullptr;
}
