#include "runtime/heap.hpp"

#include <atomic>
#include <cstdlib>

namespace {
// Atomic, so that the count stays exact should requests ever come from two
// threads at once; a request costs far more than the count.
std::atomic<long> failureCountdown = 0;
std::atomic<long> blocksInUse = 0;

bool injectedFailure() {
    if (failureCountdown.load(std::memory_order_relaxed) <= 0) return false;
    return failureCountdown.fetch_sub(1, std::memory_order_relaxed) == 1;
}
}  // namespace

void* heapAllocate(std::size_t bytes) {
    void* block = injectedFailure() ? nullptr : std::calloc(1, bytes == 0 ? 1 : bytes);
    if (block == nullptr) abortOutOfMemory();
    blocksInUse.fetch_add(1, std::memory_order_relaxed);
    return block;
}

void heapFree(void* block) noexcept {
    if (block == nullptr) return;
    blocksInUse.fetch_sub(1, std::memory_order_relaxed);
    std::free(block);
}

void setAllocationFailureCountdown(long n) { failureCountdown = n; }

long allocationFailureCountdown() { return failureCountdown; }

long heapBlocksInUse() { return blocksInUse; }
