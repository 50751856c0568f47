#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <type_traits>
#include <vector>

#include "runtime/errors.hpp"

// The process heap, for the working storage of the algorithms and for the
// blocks of the memory contexts. Every request of the module goes through
// heapAllocate, so a heap that cannot supply one is one path: "Out of
// memory", as a thrown CException, never a C++ allocation exception. The
// tests can make any request fail (setAllocationFailureCountdown).

// A zero-filled block of `bytes` bytes; raises "Out of memory" when the heap
// cannot supply it.
void* heapAllocate(std::size_t bytes);
// The same without the zero fill, for a caller that writes every byte it
// will read.
void* heapAllocateUnfilled(std::size_t bytes);
void heapFree(void* block) noexcept;

// Test hooks, each of the calling thread alone. When the countdown is set to
// n > 0, the thread's n-th following request fails as if the heap were
// exhausted; 0 turns it off. allocationFailureCountdown() gives what is left
// of it, so that a test can count the requests made, and heapBlocksInUse()
// the blocks that the thread took and has not freed (a block freed by
// another thread counts there), so that it can tell that a failed call left
// none behind.
void setAllocationFailureCountdown(long n);
long allocationFailureCountdown();
long heapBlocksInUse();

struct HeapRelease {
    void operator()(void* block) const noexcept { heapFree(block); }
};

// An owned array of plain values, zero-filled: for trivial types that is
// their value-initialised state, and nothing needs destroying.
template <typename T>
using HeapArray = std::unique_ptr<T[], HeapRelease>;

template <typename T>
HeapArray<T> allocateHeapArray(std::size_t length) {
    static_assert(std::is_trivially_copyable_v<T> && std::is_trivially_destructible_v<T>);
    if (length > SIZE_MAX / sizeof(T)) abortOutOfMemory();
    return HeapArray<T>(static_cast<T*>(heapAllocate(length * sizeof(T))));
}

// The allocator of the standard containers the module uses.
template <typename T>
struct HeapAllocator {
    using value_type = T;
    HeapAllocator() = default;
    template <typename U>
    HeapAllocator(const HeapAllocator<U>&) {}

    T* allocate(std::size_t n) {
        if (n > SIZE_MAX / sizeof(T)) abortOutOfMemory();
        return static_cast<T*>(heapAllocate(n * sizeof(T)));
    }
    void deallocate(T* block, std::size_t) noexcept { heapFree(block); }

    friend bool operator==(const HeapAllocator&, const HeapAllocator&) { return true; }
};

template <typename T>
using HeapVector = std::vector<T, HeapAllocator<T>>;

// Gives a class's objects made with `new` their storage from heapAllocate.
struct OnHeap {
    static void* operator new(std::size_t bytes) { return heapAllocate(bytes); }
    static void operator delete(void* block) noexcept { heapFree(block); }
};
