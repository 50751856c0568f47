#include "simulation/node_run.hpp"

#include <algorithm>
#include <cmath>
#include <functional>

namespace simulation {

long long binomial(long long count, Real p, RunGenerator& random) {
    if (count <= 0 || !(p > 0.0)) return 0;
    if (p >= 1.0) return count;
    if (p > 0.5) return count - binomial(count, 1.0 - p, random);
    constexpr long long oneByOne = 8;
    long long successes = 0;
    if (count <= oneByOne) {
        for (long long k = 0; k < count; ++k) successes += random.uniform() < p ? 1 : 0;
        return successes;
    }
    // The failures before each success are geometric: floor(log U / log(1 - p)),
    // U uniform on (0, 1].
    const Real logFailure = std::log1p(-p);
    for (long long at = 0;;) {
        const Real gap = std::floor(std::log(1.0 - random.uniform()) / logFailure);
        if (gap >= static_cast<Real>(count - at)) return successes;
        at += static_cast<long long>(gap) + 1;
        ++successes;
        if (at >= count) return successes;
    }
}

void Line::grow() {
    const std::size_t old = capacity();
    HeapVector<Group> larger(old == 0 ? 16 : 2 * old);
    for (std::size_t k = 0; k < size; ++k) larger[k] = cells[(head + k) & (old - 1)];
    cells.swap(larger);
    mask = cells.size() - 1;
    head = 0;
}

void Line::pushFront(Group group) {
    if (size == capacity()) grow();
    head = (head + mask) & mask;
    cells[head] = group;
    ++size;
}

namespace {
// A table of gaps spans enough steps that a draw beyond it is rare (one in
// 64), and no more than this, so that a schedule of many periods of rare
// arrivals costs little room: a longer gap takes a few draws.
constexpr long long longestGapTable = 64;
}  // namespace

ArrivalSkips::ArrivalSkips(const Sampler& arrivals) {
    HeapVector<Int> values;
    HeapVector<Real> weights;
    Real some = 0.0;
    for (const Sampler::Chance& chance : arrivals.chances()) {
        // A chance too small for the columns to hold (1e-300, say) rounds
        // to none: the steps never bring that batch.
        if (chance.value == 0 || !(chance.probability > 0.0)) continue;
        values.push_back(chance.value);
        weights.push_back(chance.probability);
        some += chance.probability;
    }
    never = values.empty();
    if (never) return;
    batches = Sampler(values.data(), weights.data(), values.size());
    const Real none = std::max(0.0, 1.0 - some);
    tableSteps = 1;
    while (tableSteps < longestGapTable && std::pow(none, static_cast<Real>(tableSteps)) > 1.0 / 64)
        ++tableSteps;
    values.assign(static_cast<std::size_t>(tableSteps) + 1, 0);
    weights.assign(values.size(), 0.0);
    Real noneYet = 1.0;  // none^(k - 1)
    for (long long k = 1; k <= tableSteps; ++k) {
        values[static_cast<std::size_t>(k)] = static_cast<Int>(k);
        weights[static_cast<std::size_t>(k)] = noneYet * some;
        noneYet *= none;
    }
    weights[0] = noneYet;
    gaps = Sampler(values.data(), weights.data(), values.size());
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

// Stops the `index`-th service under way, counting those in the heap first,
// then the ring's in order of their ends.
void NodeRun::stopOne(long long step, long long index) {
    const auto inHeap = static_cast<long long>(far.size());
    if (index < inHeap) {
        far[static_cast<std::size_t>(index)] = far.back();
        far.pop_back();
        std::make_heap(far.begin(), far.end(), std::greater<>());
        return;
    }
    index -= inHeap;
    for (long long end = step + 1; end < step + ringLength; ++end) {
        long long& slot = ring[static_cast<std::size_t>(end) & ringMask];
        if (index < slot) {
            --slot;
            return;
        }
        index -= slot;
    }
}

void NodeRun::stopServices(long long step, Int servers, RunGenerator& random) {
    const long long stopping = busy - servers;
    if (stopping <= 0) return;
    for (long long under = busy; under > servers; --under) {
        __extension__ using Wide = unsigned __int128;
        const auto index = static_cast<long long>(
            (static_cast<Wide>(random.next()) * static_cast<std::uint64_t>(under)) >> 64);
        stopOne(step, index);
    }
    busy -= stopping;
    waiting += stopping;
    line.pushFront({unmeasured, stopping});
}

}  // namespace simulation
