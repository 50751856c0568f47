#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <limits>

#include "runtime/heap.hpp"
#include "runtime/types.hpp"
#include "simulation/random.hpp"
#include "simulation/sampler.hpp"

namespace simulation {

// How many of `count` trials with success probability `p` each succeed.
// Few trials are drawn one by one; more skip from one success to the next
// (geometric gaps), so that the cost follows the successes, and for `p`
// above one half the failures are counted instead.
long long binomial(long long count, Real p, RunGenerator& random);

// Entities that joined a node's line in the same step, or that share a
// reason not to have their wait measured.
struct Group {
    long long arrival;  // the step they came in; below 1 for no measured wait
    long long count;
};

// How many of `count` arrivals join a node where `present` are: as many as
// `capacity` leaves room for, all where it is below 0. Entities already
// present beyond the capacity stay: only arrivals are refused.
inline long long joining(long long count, long long capacity, long long present) {
    return capacity < 0 ? count : std::min(count, std::max(capacity - present, 0LL));
}

// The arrival step of entities whose wait is not measured: those present at
// the start, whose arrival lies before the run, and those whose service a
// cut in the servers stopped, whose wait was measured when it began.
inline constexpr long long unmeasured = 0;

// The line of waiting entities, first come first served, as groups that
// arrived together: a step's batch is one group however large, and since
// all its entities came in the same step, the places they draw among
// themselves change no one's wait.
class Line {
public:
    bool empty() const { return size == 0; }
    Group& front() { return cells[head]; }
    void popFront() {
        head = (head + 1) & mask;
        --size;
    }
    void pushBack(Group group) {
        if (size == capacity()) [[unlikely]]
            grow();
        cells[(head + size) & mask] = group;
        ++size;
    }
    void pushFront(Group group);
    void clear() { head = size = 0; }
    // Gives every group to `thin`, which may lower its count, and keeps
    // the groups left with some, in their order.
    template <typename Thin>
    void thinOut(Thin&& thin) {
        std::size_t kept = 0;
        for (std::size_t k = 0; k < size; ++k) {
            Group group = cells[(head + k) & mask];
            thin(group);
            if (group.count > 0) cells[(head + kept++) & mask] = group;
        }
        size = kept;
    }

private:
    std::size_t capacity() const { return cells.size(); }
    void grow();

    HeapVector<Group> cells;  // a ring, its length a power of 2
    std::size_t mask = 0;     // that length less 1
    std::size_t head = 0;
    std::size_t size = 0;
};

// One node of one run: its busy servers, known by the step in which each
// service ends, and its line. Services that end within `ringLength` steps
// are counted in a ring indexed by that step; longer ones, rare, wait in a
// heap, so memory does not follow the longest duration.
class NodeRun {
public:
    // Sizes the ring for services of up to `longest` steps.
    void prepare(long long longest);
    // Forgets the last run.
    void clear();

    // The start: `busy` services, each with its own remaining time drawn
    // from `remaining`, and `waiting` entities in line.
    void begin(long long busy, long long waiting, const Sampler& remaining, RunGenerator& random);

    // First part of step `step`: the services that end in it; their servers
    // are free from now on.
    long long endServices(long long step) {
        const std::size_t slot = static_cast<std::size_t>(step) & ringMask;
        long long ended = ring[slot];
        ring[slot] = 0;
        if (!far.empty() && far.front() == step) [[unlikely]]
            ended += endFarServices(step);
        busy -= ended;
        return ended;
    }

    // Whether some service ends in step `step`.
    bool endsIn(long long step) const {
        return ring[static_cast<std::size_t>(step) & ringMask] > 0 ||
               (!far.empty() && far.front() == step);
    }

    // Second part: every entity that waited when the step began gives up
    // with probability `p`, each on its own, and leaves the line;
    // `gone(arrival, count)` hears of every group that loses some. Returns
    // how many gave up. No random number is drawn where `p` is 0, so runs
    // without patience are what they were without it.
    template <typename Gone>
    long long abandon(Real p, RunGenerator& random, Gone&& gone) {
        if (!(p > 0.0) || waiting == 0) return 0;
        long long left = 0;
        line.thinOut([&](Group& group) {
            const long long leaving = binomial(group.count, p, random);
            if (leaving == 0) return;
            gone(group.arrival, leaving);
            group.count -= leaving;
            left += leaving;
        });
        waiting -= left;
        return left;
    }

    // Third part: of `count` entities arriving in `step`, those that the
    // capacity lets in (see joining) join the end of the line; returns how
    // many joined.
    long long join(long long step, long long count, long long capacity = -1) {
        count = joining(count, capacity, present());
        if (count <= 0) return 0;
        line.pushBack({step, count});
        waiting += count;
        return count;
    }

    // Last part, at the end of step `step`: every free server of `servers`
    // takes the next waiting entity and draws its service, which ends in
    // step `step` + duration. `taken(arrival, count)` hears of every group
    // taken.
    template <typename Taken>
    void startServices(long long step, Int servers, const Sampler& durations, RunGenerator& random,
                       Taken&& taken) {
        long long starting = static_cast<long long>(servers) - busy;
        if (starting <= 0 || waiting == 0) return;
        if (starting > waiting) starting = waiting;
        waiting -= starting;
        busy += starting;
        for (long long left = starting; left > 0;) {
            Group& group = line.front();
            const long long now = group.count < left ? group.count : left;
            taken(group.arrival, now);
            left -= now;
            group.count -= now;
            if (group.count == 0) line.popFront();
        }
        if (durations.isCertain()) {
            addServices(step, durations.certainValue(), starting);
            return;
        }
        for (long long k = 0; k < starting; ++k) addServices(step, durations.draw(random), 1);
    }

    // A cut to `servers` below the services under way, at the start of the
    // step after `step`: services drawn at random, each under way as likely
    // as any other, stop, and their entities go back to the head of the
    // line, to start a whole new service when a server takes them up again.
    // A draw that knows nothing of the time left keeps the services that go
    // on as any others: for memoryless durations, what the maps assume.
    void stopServices(long long step, Int servers, RunGenerator& random);

    // The first step after `step` in which a service ends; `step` itself
    // when no service is under way.
    long long nextEnd(long long step) const;

    long long busyServers() const { return busy; }
    long long waitingEntities() const { return waiting; }
    long long present() const { return busy + waiting; }

private:
    // `count` services that start at the end of step `step` and last
    // `duration` steps. The ring holds the ends in (step, step + ringLength),
    // each in its own slot.
    void addServices(long long step, long long duration, long long count) {
        const long long end = step + duration;
        if (duration < ringLength) [[likely]] {
            ring[static_cast<std::size_t>(end) & ringMask] += count;
            return;
        }
        for (long long k = 0; k < count; ++k) addFarService(end);
    }
    void addFarService(long long end);
    long long endFarServices(long long step);
    void stopOne(long long step, long long index);

    HeapVector<long long> ring;
    std::size_t ringMask = 0;
    long long ringLength = 0;
    HeapVector<long long> far;  // a min-heap of the end steps beyond the ring
    Line line;
    long long busy = 0;
    long long waiting = 0;
};

// A step's arrivals, from a distribution per step, drawn as the steps from
// one step with arrivals to the next (geometric) and the number that come
// in such a step: where most steps bring none, a run skips them with one
// draw.
class ArrivalSkips {
public:
    ArrivalSkips() = default;
    explicit ArrivalSkips(const Sampler& arrivals);

    // The first step after `step` with arrivals; some step after `last` when
    // none comes up to `last`.
    long long next(long long step, long long last, RunGenerator& random) const {
        if (never) return last + 1;
        for (long long from = step;;) {
            const Int gap = gaps.draw(random);
            if (gap > 0) return from + gap;
            from += tableSteps;
            if (from >= last) return last + 1;
        }
    }
    // How many come in a step with arrivals.
    long long batch(RunGenerator& random) const { return batches.draw(random); }

private:
    // Gaps of 1 .. tableSteps steps, and 0 for a gap beyond them, drawn
    // again from there on: geometric gaps forget the steps gone by.
    Sampler gaps;
    long long tableSteps = 1;
    Sampler batches;  // the arrivals, given that some come
    bool never = true;
};

// The one server of a station whose servers never number more than one and
// whose entities do not give up, with its line: a
// state so small that the simulator takes such a station from one event,
// an arrival or an end, to the next, instead of step by step.
class OneServerRun {
public:
    // The start: `present` entities, the first in service for a remaining
    // time drawn from `remaining`.
    void begin(long long present, const Sampler& remaining, RunGenerator& random) {
        line.clear();
        count = present;
        end = present > 0 ? remaining.draw(random) : idle;
        if (present > 1) line.pushBack({unmeasured, present - 1});
    }

    // The step in which the service under way ends; none when the server
    // is free.
    long long nextEnd() const { return end; }
    bool isBusy() const { return end != idle; }
    // First part of step `step`: the service that ends in it, if any.
    long long endService(long long step) {
        if (end != step) return 0;
        end = idle;
        --count;
        return 1;
    }
    // Third part: `arriving` entities that arrive in `step` join the line.
    void join(long long step, long long arriving) {
        line.pushBack({step, arriving});
        count += arriving;
    }
    // Last part: a free server takes the next waiting entity, whose
    // arrival step `taken` hears of, and draws its service; false when
    // there is nobody to take or no free server.
    template <typename Taken>
    bool startService(long long step, const Sampler& durations, RunGenerator& random,
                      Taken&& taken) {
        if (end != idle || count == 0) return false;
        Group& group = line.front();
        taken(group.arrival, 1);
        if (--group.count == 0) line.popFront();
        end = step + durations.draw(random);
        return true;
    }

    long long present() const { return count; }

private:
    // The end of a free server's service: never.
    static constexpr long long idle = std::numeric_limits<long long>::max();

    Line line;            // those waiting
    long long count = 0;  // those present, the one in service among them
    long long end = idle;
};

}  // namespace simulation
