#include "simulation/node_run.hpp"

#include <algorithm>
#include <functional>

namespace simulation {

void Line::grow() {
    const std::size_t old = capacity();
    HeapVector<Group> larger(old == 0 ? 16 : 2 * old);
    for (std::size_t k = 0; k < size; ++k) larger[k] = cells[(head + k) & (old - 1)];
    cells.swap(larger);
    head = 0;
}

void Line::pushBack(Group group) {
    if (size == capacity()) grow();
    cells[(head + size) & (capacity() - 1)] = group;
    ++size;
}

void Line::pushFront(Group group) {
    if (size == capacity()) grow();
    head = (head + capacity() - 1) & (capacity() - 1);
    cells[head] = group;
    ++size;
}

namespace {
// Longer services go to the heap: a ring of this many slots costs little to
// clear after every run, and almost every duration in use fits in it.
constexpr long long longestRing = 4096;
}  // namespace

void NodeRun::prepare(long long longest) {
    long long length = 2;
    while (length <= longest && length < longestRing) length *= 2;
    ring.assign(static_cast<std::size_t>(length), 0);
    ringMask = static_cast<std::size_t>(length) - 1;
    ringLength = length;
}

void NodeRun::clear() {
    std::fill(ring.begin(), ring.end(), 0);
    far.clear();
    line.clear();
    busy = waiting = 0;
}

void NodeRun::begin(long long busyServers, long long waitingEntities, const Sampler& remaining,
                    RunGenerator& random) {
    busy = busyServers;
    for (long long k = 0; k < busyServers; ++k) addServices(0, remaining.draw(random), 1);
    if (waitingEntities > 0) line.pushBack({unmeasured, waitingEntities});
    waiting = waitingEntities;
}

long long NodeRun::nextEnd(long long step) const {
    if (busy == 0) return step;
    for (long long end = step + 1; end < step + ringLength; ++end)
        if (ring[static_cast<std::size_t>(end) & ringMask] > 0) return end;
    return far.front();
}

void NodeRun::addFarService(long long end) {
    far.push_back(end);
    std::push_heap(far.begin(), far.end(), std::greater<>());
}

long long NodeRun::endFarServices(long long step) {
    long long ended = 0;
    while (!far.empty() && far.front() == step) {
        std::pop_heap(far.begin(), far.end(), std::greater<>());
        far.pop_back();
        ++ended;
    }
    return ended;
}

// The `count` latest ends of the heap, which all lie beyond the ring's.
long long NodeRun::stopFar(long long count) {
    const long long stopped = std::min(static_cast<long long>(far.size()), count);
    std::sort(far.begin(), far.end());
    far.resize(far.size() - static_cast<std::size_t>(stopped));
    std::make_heap(far.begin(), far.end(), std::greater<>());
    return stopped;
}

void NodeRun::stopServices(long long step, Int servers) {
    const long long stopping = busy - servers;
    if (stopping <= 0) return;
    long long left = stopping - stopFar(stopping);
    for (long long end = step + ringLength - 1; left > 0 && end > step; --end) {
        long long& slot = ring[static_cast<std::size_t>(end) & ringMask];
        const long long now = std::min(slot, left);
        slot -= now;
        left -= now;
    }
    busy -= stopping;
    waiting += stopping;
    line.pushFront({unmeasured, stopping});
}

}  // namespace simulation
