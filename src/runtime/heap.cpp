#include "runtime/heap.hpp"

#include <cstdlib>

namespace {
// Per thread: a test that sets the countdown makes its own thread's requests
// fail, not those of a model that another thread is stepping meanwhile, and
// counts the blocks that its own thread took and has not yet freed.
struct TestCounters {
    long failureCountdown = 0;
    long blocksInUse = 0;

    bool injectedFailure() {
        if (failureCountdown <= 0) return false;
        return --failureCountdown == 0;
    }
};
thread_local TestCounters counters;
}  // namespace

namespace {
template <typename Take>
void* allocateCounted(Take&& take) {
    TestCounters& mine = counters;
    void* block = mine.injectedFailure() ? nullptr : take();
    if (block == nullptr) abortOutOfMemory();
    ++mine.blocksInUse;
    return block;
}
}  // namespace

void* heapAllocate(std::size_t bytes) {
    return allocateCounted([bytes] { return std::calloc(1, bytes == 0 ? 1 : bytes); });
}

void* heapAllocateUnfilled(std::size_t bytes) {
    return allocateCounted([bytes] { return std::malloc(bytes == 0 ? 1 : bytes); });
}

void heapFree(void* block) noexcept {
    if (block == nullptr) return;
    --counters.blocksInUse;
    std::free(block);
}

void setAllocationFailureCountdown(long n) { counters.failureCountdown = n; }

long allocationFailureCountdown() { return counters.failureCountdown; }

long heapBlocksInUse() { return counters.blocksInUse; }
