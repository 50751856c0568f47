#include "simulation/simulator.hpp"

#include <algorithm>
#include <atomic>
#include <bit>
#include <chrono>
#include <cmath>
#include <exception>
#include <limits>
#include <memory>
#include <new>
#include <system_error>
#include <thread>

#include "runtime/errors.hpp"
#include "runtime/interruption.hpp"
#include "simulation/node_run.hpp"

namespace simulation {

Layout layoutOf(const Plan& plan) {
    Layout layout;
    layout.nodes = plan.nodes();
    layout.every = plan.every;
    layout.rows = plan.totalSteps() / plan.every + 1;
    layout.horizon = plan.waitHorizon;
    for (const PeriodSettings& period : plan.periods)
        for (const NodeSettings& node : period.nodes)
            layout.limits = layout.limits || node.abandonment > 0 || node.capacity != noCapacity;
    return layout;
}

long long threadsFor(const Plan& plan) {
    const long long asked = std::min<long long>(plan.threads, plan.runs);
    const long long cores = std::max(1U, std::thread::hardware_concurrency());
    if (asked <= cores) return asked;
    // What one thread keeps: per row, node and wait the sums of the waits,
    // per row and node those of the row, and the run's own counts.
    const Layout layout = layoutOf(plan);
    const double perWait = layout.limits ? 80.0 : 64.0;
    const double perEntry = layout.limits ? 512.0 : 200.0;
    const double perThread = static_cast<double>(layout.entries()) *
                             (static_cast<double>(layout.waits()) * perWait + perEntry);
    constexpr double allThreads = 1024.0 * 1024.0 * 1024.0;
    const double fitting = std::floor(allThreads / perThread);
    return fitting >= static_cast<double>(asked) ? asked
                                                 : std::max(cores, static_cast<long long>(fitting));
}

namespace {

using Counter = std::uint64_t;

void addTo(Counter& sum, Counter value) {
    if (__builtin_add_overflow(sum, value, &sum)) navro::abort(messages::invalidValue);
}

Counter times(Counter a, Counter b) {
    Counter product;
    if (__builtin_mul_overflow(a, b, &product)) navro::abort(messages::invalidValue);
    return product;
}

// The chance of giving up within `steps` steps, `p` a step.
Real chanceWithin(Real p, long long steps) {
    return -std::expm1(static_cast<Real>(steps) * std::log1p(-p));
}

long long powerOfTwoFrom(long long n) {
    long long power = 1;
    while (power < n) power *= 2;
    return power;
}

// The units of work that a node's step counts for at interruptionPoint,
// besides one per service started: about the multiply-adds it costs.
constexpr long long workOfNodeStep = 16;

// One thread's runs, one after the other, into its tally. Everything a run
// needs is sized once, so a run allocates nothing unless a line or a
// window of counts grows beyond what earlier runs needed. A station, one
// node, has a worker of its own make, `OneNode`, whose loops over the nodes
// the compiler unrolls: most of a step's work otherwise goes to walking
// them.
template <bool OneNode>
class Worker {
public:
    Worker(const Plan& _plan, Tally& _tally)
        : plan(_plan),
          tally(_tally),
          layout(_tally.layout),
          lastRecordedStep(layout.lastRecordedStep()),
          nodeCountValue(static_cast<std::size_t>(layout.nodes)),
          horizonCells(layout.waits()),
          maskWords((horizonCells + 63) / 64),
          openRows(powerOfTwoFrom(
              std::min<long long>((layout.horizon + 1) / layout.every + 3, layout.rows))),
          nodes(nodeCount()),
          ended(nodeCount()),
          inflow(nodeCount()),
          measuredWaiting(nodeCount()),
          countsLoneArrivals(nodeCount()),
          presentAt(layout.entries()),
          endedAt(layout.entries()),
          arrivals(layout.entries()),
          waitTotals(arrivals.size()),
          served(arrivals.size()),
          blockedAt(arrivals.size()),
          abandonedOf(arrivals.size()),
          abandonmentsAt(arrivals.size()),
          withinAt(arrivals.size()),
          promptAt(arrivals.size()),
          openWaits(static_cast<std::size_t>(openRows) * nodeCount() * horizonCells),
          openMasks(static_cast<std::size_t>(openRows) * nodeCount() * maskWords) {
        for (std::size_t n = 0; n < nodeCount(); ++n) {
            nodes[n].prepare(longestService(n));
            countsLoneArrivals[n] = !layout.limits && layout.every == 1 && !plan.periods.empty() &&
                                    plan.periods.back().nodes[n].servers > 0;
        }
        if (servesOneAtATime(plan)) prepareArrivalSkips();
    }

    // Makes run `index`; false when `stop` ended it part way.
    bool run(long long index, const std::atomic<bool>& stop, WorkMeter& meter) {
        RunGenerator random(plan.key, static_cast<std::uint64_t>(index));
        if constexpr (OneNode)
            if (!arrivalSkips.empty()) return runOneServer(random, stop, meter);
        begin(random);
        long long step = 0;
        const PeriodSettings* previous = nullptr;
        for (const PeriodSettings& period : plan.periods) {
            if (previous != nullptr) changeServers(step, period, random);
            for (Int k = 0; k < period.steps; ++k) {
                if (stop.load(std::memory_order_relaxed)) return false;
                ++step;
                foldRowsBefore(step);
                if constexpr (OneNode)
                    meter.add(takeStationStep(step, period, random));
                else
                    meter.add(takeStep(step, period, random));
                if (layout.isRecorded(step)) record(layout.rowOfArrival(step));
            }
            previous = &period;
        }
        if (previous != nullptr) drain(step, *previous, random, stop, meter);
        if (stop.load(std::memory_order_relaxed)) return false;
        foldRowsBefore(std::numeric_limits<long long>::max());
        countRows();
        return true;
    }

private:
    // Whether the plan is a station of one server in every period, without
    // patience or entities sent back: one that runOneServer makes.
    static bool servesOneAtATime(const Plan& plan) {
        if (!OneNode || plan.start[0].servers != 1) return false;
        for (const PeriodSettings& period : plan.periods) {
            const NodeSettings& settings = period.nodes[0];
            if (settings.servers != 1 || settings.abandonment > 0 || settings.routes) return false;
        }
        return true;
    }

    // The arrivals of every period, as runOneServer draws them; a period
    // whose arrivals are those of the one before shares its table.
    void prepareArrivalSkips() {
        const Sampler* previous = nullptr;
        for (const PeriodSettings& period : plan.periods) {
            const Sampler& arrivals = period.nodes[0].arrivals;
            if (previous == nullptr || !arrivals.drawsAs(*previous))
                arrivalSkips.emplace_back(arrivals);
            skipsOfPeriod.push_back(arrivalSkips.size() - 1);
            previous = &arrivals;
        }
    }

    // A run of a station of one server, from one event to the next: in the
    // steps between, nothing changes but the rows, which take the number
    // present as it stands. It follows the steps as takeStep does (an end,
    // then the arrivals, then the free server takes the next in line), but
    // draws the arrivals by their gaps, so its runs are not takeStep's
    // draw for draw, only in distribution. What it records goes to the
    // tally at once, and only rows with arrivals are looked at again: the
    // cost of a run follows its events more than its steps.
    bool runOneServer(RunGenerator& random, const std::atomic<bool>& stop, WorkMeter& meter) {
        const StartNode& start = plan.start[0];
        const auto k = static_cast<std::size_t>(start.which.draw(random));
        server.begin(start.counts[k], start.remaining[k], random);
        measuredWaiting[0] = 0;
        tally.countPresent(0, 0, start.counts[k]);
        arrivalRows.clear();
        foldedRows = 0;
        nextFoldDue = std::numeric_limits<long long>::max();
        long long step = 0;
        for (std::size_t p = 0; p < plan.periods.size(); ++p) {
            const long long last = step + plan.periods[p].steps;
            const NodeSettings& settings = plan.periods[p].nodes[0];
            const ArrivalSkips& skips = arrivalSkips[skipsOfPeriod[p]];
            long long arrival = skips.next(step, last, random);
            for (;;) {
                if (stop.load(std::memory_order_relaxed)) return false;
                const long long next = std::min({arrival, server.nextEnd(), last + 1});
                countQuietRows(step + 1, next - 1);
                meter.add(workOfNodeStep * (next - step));
                if (next > last) break;
                step = next;
                foldArrivalRowsBefore(step);
                const long long ended = server.endService(step);
                if (arrival == step) {
                    joinOneServer(step, skips.batch(random), settings.capacity);
                    arrival = skips.next(step, last, random);
                }
                server.startService(step, settings.durations, random, waitsOf(0, step));
                if (layout.isRecorded(step)) {
                    const long long row = layout.rowOfArrival(step);
                    tally.countPresentAtRows(row, row, server.present());
                    tally.countEnded(row, 0, static_cast<Counter>(ended));
                }
            }
            step = last;
        }
        // After the schedule the server works off the line, as drain does.
        while (measuredWaiting[0] > 0 && server.isBusy()) {
            if (stop.load(std::memory_order_relaxed)) return false;
            step = server.nextEnd();
            server.endService(step);
            server.startService(step, plan.periods.back().nodes[0].durations, random,
                                waitsOf(0, step));
            meter.add(workOfNodeStep);
        }
        if (stop.load(std::memory_order_relaxed)) return false;
        foldArrivalRowsBefore(std::numeric_limits<long long>::max());
        for (const long long row : arrivalRows) countArrivalsOfRow(row, 0);
        return true;
    }

    // `batch` entities arrive at the one server in step `step`; as many as
    // `capacity` leaves room for join the line (all where it is below 0),
    // the others are blocked.
    void joinOneServer(long long step, long long batch, long long capacity) {
        const long long joined = joining(batch, capacity, server.present());
        if (joined > 0) server.join(step, joined);
        if (server.present() > std::numeric_limits<Int>::max())
            navro::abort(messages::invalidValue);
        if (step > lastRecordedStep) return;
        measuredWaiting[0] += joined;
        if (batch == 1 && countsLoneArrivals[0]) return;
        const long long row = layout.rowOfArrival(step);
        const auto at = static_cast<std::size_t>(row);
        if (arrivals[at] == 0) {
            if (foldedRows == arrivalRows.size()) nextFoldDue = dueAfter(row);
            arrivalRows.push_back(row);
        }
        arrivals[at] += static_cast<Counter>(batch);
        if (layout.limits) blockedAt[at] += static_cast<Counter>(batch - joined);
    }

    // The rows of steps `first` .. `last`, in which nothing happened: the
    // number present stands, and no service ended.
    void countQuietRows(long long first, long long last) {
        if (first > last) return;
        // Most schedules record every step: no division then.
        const long long every = layout.every;
        if (every == 1)
            tally.countPresentAtRows(first, last, server.present());
        else
            tally.countPresentAtRows((first + every - 1) / every, last / every, server.present());
    }

    // What foldRowsBefore does, for the rows with arrivals only: the others
    // have no waits to fold.
    void foldArrivalRowsBefore(long long step) {
        while (step > nextFoldDue) {
            const long long row = arrivalRows[foldedRows++];
            foldArrivals(row, 0, arrivals[static_cast<std::size_t>(row)]);
            nextFoldDue = foldedRows < arrivalRows.size() ? dueAfter(arrivalRows[foldedRows])
                                                          : std::numeric_limits<long long>::max();
        }
    }

    // The step after which the waits of row `row`'s arrivals up to the
    // horizon are all known.
    long long dueAfter(long long row) const { return row * layout.every + layout.horizon; }

    long long longestService(std::size_t node) const {
        long long longest = 1;
        for (const PeriodSettings& period : plan.periods)
            longest = std::max<long long>(longest, period.nodes[node].durations.largest());
        for (const Sampler& remaining : plan.start[node].remaining)
            longest = std::max<long long>(longest, remaining.largest());
        return longest;
    }

    void begin(RunGenerator& random) {
        for (std::size_t n = 0; n < nodeCount(); ++n) {
            const StartNode& start = plan.start[n];
            const Int k = start.which.draw(random);
            const long long present = start.counts[static_cast<std::size_t>(k)];
            const long long busy = std::min<long long>(present, start.servers);
            nodes[n].clear();
            nodes[n].begin(busy, present - busy, start.remaining[static_cast<std::size_t>(k)],
                           random);
            measuredWaiting[n] = 0;
            presentAt[n] = static_cast<Int>(present);
        }
        nextFold = 1;
        foldDueAfter = dueAfter(nextFold);
    }

    // What hears of the entities that node `node`'s servers take at the end
    // of step `step`: each measured one's wait counts in its arrival's row.
    auto waitsOf(std::size_t node, long long step) {
        return [this, node, step](long long arrival, long long count) {
            if (arrival < 1 || arrival > lastRecordedStep) return;
            const long long wait = step - arrival;
            const long long row = layout.rowOfArrival(arrival);
            const std::size_t at = static_cast<std::size_t>(row) * nodeCount() + node;
            measuredWaiting[node] -= count;
            if (arrivals[at] == 0) {
                // The row's one arrival, not counted when it came (see
                // countsLoneArrivals): counted whole now.
                tally.countLoneArrival(row, static_cast<Int>(node),
                                       static_cast<std::uint64_t>(wait));
                return;
            }
            addTo(served[at], static_cast<Counter>(count));
            addTo(waitTotals[at], times(static_cast<Counter>(wait), static_cast<Counter>(count)));
            if (wait > layout.horizon) return;
            const std::size_t open =
                static_cast<std::size_t>(row & (openRows - 1)) * nodeCount() + node;
            const auto w = static_cast<std::size_t>(wait);
            openWaits[open * horizonCells + w] += static_cast<Counter>(count);
            openMasks[open * maskWords + w / 64] |= std::uint64_t{1} << (w % 64);
        };
    }

    // What hears of the entities that give up waiting at node `node`: each
    // measured one counts as lost in its arrival's row.
    auto lossesOf(std::size_t node) {
        return [this, node](long long arrival, long long count) {
            if (arrival < 1 || arrival > lastRecordedStep) return;
            const std::size_t at =
                static_cast<std::size_t>(layout.rowOfArrival(arrival)) * nodeCount() + node;
            measuredWaiting[node] -= count;
            addTo(abandonedOf[at], static_cast<Counter>(count));
        };
    }

    // The servers of `next` take over after step `step`: a service that
    // starts now starts in `next`, and lasts as its durations say.
    void changeServers(long long step, const PeriodSettings& next, RunGenerator& random) {
        for (std::size_t n = 0; n < nodeCount(); ++n) {
            const Int servers = next.nodes[n].servers;
            if (nodes[n].busyServers() > servers)
                nodes[n].stopServices(step, servers, random);
            else
                nodes[n].startServices(step, servers, next.nodes[n].durations, random,
                                       waitsOf(n, step));
        }
    }

    // A station's step `step`; returns its work. Where no service ends,
    // nobody may give up and no free server has anyone to take (as at the
    // start, when the first period has more servers than the start had),
    // nothing changes unless something arrives: the step draws its
    // arrivals, its first draw as in any step, and when none come it ends
    // there, as the whole step would have.
    long long takeStationStep(long long step, const PeriodSettings& period, RunGenerator& random) {
        NodeRun& node = nodes[0];
        const NodeSettings& settings = period.nodes[0];
        const bool someoneWaits = node.waitingEntities() > 0;
        if (node.endsIn(step) || (someoneWaits && settings.abandonment > 0) ||
            (someoneWaits && node.busyServers() < settings.servers))
            return takeStep(step, period, random);
        const long long batch = settings.arrivals.draw(random);
        if (batch > 0) return takeStep(step, period, random, batch);
        ended[0] = 0;
        return workOfNodeStep;
    }

    // Step `step` of every node; returns its work. `drawnArrivals`, when not
    // below 0, are the first node's arrivals, drawn already.
    long long takeStep(long long step, const PeriodSettings& period, RunGenerator& random,
                       long long drawnArrivals = -1) {
        long long work = 0;
        for (std::size_t n = 0; n < nodeCount(); ++n) ended[n] = nodes[n].endServices(step);
        route(period, random);
        const bool measured = step <= lastRecordedStep;
        const std::size_t row = static_cast<std::size_t>(layout.rowOfArrival(step));
        for (std::size_t n = 0; n < nodeCount(); ++n) {
            const NodeSettings& settings = period.nodes[n];
            const long long gaveUp = nodes[n].abandon(settings.abandonment, random, lossesOf(n));
            const long long outside = n == 0 && drawnArrivals >= 0
                                          ? drawnArrivals
                                          : static_cast<long long>(settings.arrivals.draw(random));
            const long long batch = outside + inflow[n];
            const long long joined = nodes[n].join(step, batch, settings.capacity);
            if (nodes[n].present() > std::numeric_limits<Int>::max())
                navro::abort(messages::invalidValue);
            if (measured) {
                const std::size_t at = row * nodeCount() + n;
                measuredWaiting[n] += joined;
                if (batch == 1 && countsLoneArrivals[n]) continue;
                arrivals[at] += static_cast<Counter>(batch);
                if (layout.limits) {
                    blockedAt[at] += static_cast<Counter>(batch - joined);
                    abandonmentsAt[at] += static_cast<Counter>(gaveUp);
                }
            }
        }
        for (std::size_t n = 0; n < nodeCount(); ++n) {
            const long long before = nodes[n].busyServers();
            nodes[n].startServices(step, period.nodes[n].servers, period.nodes[n].durations, random,
                                   waitsOf(n, step));
            work += workOfNodeStep + nodes[n].busyServers() - before;
        }
        return work;
    }

    // Each entity whose service ended goes on to a node of its own drawing,
    // where it joins this step's batch, or leaves.
    void route(const PeriodSettings& period, RunGenerator& random) {
        for (std::size_t n = 0; n < nodeCount(); ++n) inflow[n] = 0;
        for (std::size_t n = 0; n < nodeCount(); ++n) {
            const NodeSettings& settings = period.nodes[n];
            if (!settings.routes) continue;
            for (long long k = 0; k < ended[n]; ++k) {
                const auto next = static_cast<std::size_t>(settings.routing.draw(random));
                if (next < nodeCount()) ++inflow[next];
            }
        }
    }

    void record(long long row) {
        for (std::size_t n = 0; n < nodeCount(); ++n) {
            const std::size_t at = static_cast<std::size_t>(row) * nodeCount() + n;
            presentAt[at] = static_cast<Int>(nodes[n].present());
            endedAt[at] = static_cast<Int>(ended[n]);
        }
    }

    // After the schedule: nothing arrives any more, and each node's servers
    // work off its line, from one end of a service to the next, until every
    // recorded arrival has been taken into service or has given up, so
    // that no wait is cut short by the end of the run. Those behind them,
    // and entities that finish, matter no more. Only a node left without
    // servers and without patience keeps some waiting: their waits stay
    // unknown. With patience they all give up in the end.
    void drain(long long last, const PeriodSettings& period, RunGenerator& random,
               const std::atomic<bool>& stop, WorkMeter& meter) {
        for (std::size_t n = 0; n < nodeCount(); ++n) {
            const NodeSettings& settings = period.nodes[n];
            if (measuredWaiting[n] > 0 && nodes[n].busyServers() == 0)
                nodes[n].abandon(settings.abandonment > 0 ? 1.0 : 0.0, random, lossesOf(n));
            long long step = last;
            while (measuredWaiting[n] > 0 && nodes[n].busyServers() > 0) {
                if (stop.load(std::memory_order_relaxed)) return;
                const long long next = nodes[n].nextEnd(step);
                // Each waiting entity had a chance to give up in every step
                // up to the one whose end frees a server.
                if (settings.abandonment > 0)
                    nodes[n].abandon(chanceWithin(settings.abandonment, next - step), random,
                                     lossesOf(n));
                step = next;
                nodes[n].endServices(step);
                nodes[n].startServices(step, settings.servers, settings.durations, random,
                                       waitsOf(n, step));
                meter.add(workOfNodeStep);
            }
        }
    }

    // Hands the tally the waits of every row whose arrivals' waits up to
    // the horizon are all known before step `step`: those of the last
    // arrival of row r are by the end of step r every + horizon.
    [[gnu::always_inline]] void foldRowsBefore(long long step) {
        while (step > foldDueAfter && nextFold < layout.rows) {
            foldRow(nextFold);
            ++nextFold;
            foldDueAfter += layout.every;
        }
    }

    // A row without arrivals at a node has no waits there: most rows of a
    // quiet station cost one look.
    void foldRow(long long row) {
        for (std::size_t n = 0; n < nodeCount(); ++n) {
            const Counter came = arrivals[static_cast<std::size_t>(row) * nodeCount() + n];
            if (came > 0) foldArrivals(row, n, came);
        }
    }

    [[gnu::noinline]] void foldArrivals(long long row, std::size_t n, Counter came) {
        const std::size_t open = static_cast<std::size_t>(row & (openRows - 1)) * nodeCount() + n;
        Counter* waits = &openWaits[open * horizonCells];
        std::uint64_t* mask = &openMasks[open * maskWords];
        tally.countArrivals(row, static_cast<Int>(n), came);
        if (layout.limits) promptAt[static_cast<std::size_t>(row) * nodeCount() + n] = waits[0];
        // The waits that some arrival waited, in increasing order, each
        // cleared for the next row that takes the place.
        Counter before = 0;
        for (std::size_t word = 0; word < maskWords; ++word) {
            for (std::uint64_t bits = mask[word]; bits != 0; bits &= bits - 1) {
                const std::size_t w = 64 * word + static_cast<std::size_t>(std::countr_zero(bits));
                tally.countWait(row, static_cast<Int>(n), static_cast<Int>(w), waits[w], before,
                                came);
                before += waits[w];
                waits[w] = 0;
            }
            mask[word] = 0;
        }
        if (layout.limits) withinAt[static_cast<std::size_t>(row) * nodeCount() + n] = before;
    }

    // What the run recorded row by row goes to the tally once it has
    // ended, in one sweep whose scattered counts overlap in memory, and
    // with the sums of the waits, which are known only then.
    void countRows() {
        for (std::size_t n = 0; n < nodeCount(); ++n)
            tally.countPresent(0, static_cast<Int>(n), presentAt[n]);
        constexpr long long ahead = 8;
        for (long long row = 1; row < layout.rows; ++row) {
            for (std::size_t n = 0; n < nodeCount(); ++n) {
                const std::size_t at = static_cast<std::size_t>(row) * nodeCount() + n;
                if (row + ahead < layout.rows)
                    tally.prefetchPresent(row + ahead, static_cast<Int>(n),
                                          presentAt[at + ahead * nodeCount()]);
                tally.countPresent(row, static_cast<Int>(n), presentAt[at]);
                tally.countEnded(row, static_cast<Int>(n), static_cast<Counter>(endedAt[at]));
                if (layout.limits) {
                    tally.countAbandonments(row, static_cast<Int>(n),
                                            static_cast<Counter>(abandonmentsAt[at]));
                    abandonmentsAt[at] = 0;
                }
                countArrivalsOfRow(row, n);
            }
        }
    }

    // A run's arrivals of one row and node, once the fate of each is known:
    // the total of their waits and, with limits, their losses go to the
    // tally, and the row's counts are cleared for the next run. A row
    // without arrivals has none of these.
    void countArrivalsOfRow(long long row, std::size_t n) {
        const std::size_t at = static_cast<std::size_t>(row) * nodeCount() + n;
        const Counter came = arrivals[at];
        if (came == 0) return;
        if (!layout.limits) {
            tally.countWaitTotal(row, static_cast<Int>(n), served[at], waitTotals[at],
                                 served[at] < came);
        } else {
            const Counter lost = blockedAt[at] + abandonedOf[at];
            tally.countWaitTotal(row, static_cast<Int>(n), served[at], waitTotals[at],
                                 served[at] + lost < came);
            tally.countLosses(row, static_cast<Int>(n), came, blockedAt[at], abandonedOf[at],
                              came - lost - withinAt[at], came - blockedAt[at] - promptAt[at]);
            blockedAt[at] = abandonedOf[at] = withinAt[at] = promptAt[at] = 0;
        }
        arrivals[at] = waitTotals[at] = served[at] = 0;
    }

    std::size_t nodeCount() const {
        if constexpr (OneNode) return 1;
        return nodeCountValue;
    }

    const Plan& plan;
    Tally& tally;
    const Layout& layout;
    const long long lastRecordedStep;
    const std::size_t nodeCountValue;
    const std::size_t horizonCells;
    const std::size_t maskWords;
    // Rows whose waits may still be coming in: (horizon + 1) / every rows
    // and those that an arrival's row and the next fold can add, but never
    // more than the rows there are (a long horizon over a short schedule
    // would ask for room of its square), rounded up to a power of 2 for a
    // cheap index.
    const long long openRows;

    HeapVector<NodeRun> nodes;
    HeapVector<long long> ended;
    HeapVector<long long> inflow;
    HeapVector<long long> measuredWaiting;  // entities in line whose wait is measured
    // Per node, whether a row whose one arrival there is one entity is
    // counted when that entity is taken (countLoneArrival) rather than
    // through the rows' counts and the table of open waits: most rows of a
    // node that few reach. Only where every step is a row, nothing is lost
    // and the last period has servers to take everyone in the end.
    HeapVector<unsigned char> countsLoneArrivals;
    // Per run, per row and node: the number present, the services ended,
    // the arrivals, the sum of their waits and how many of them were taken
    // into service.
    HeapVector<Int> presentAt;
    HeapVector<Int> endedAt;
    HeapVector<Counter> arrivals;
    HeapVector<Counter> waitTotals;
    HeapVector<Counter> served;
    // And the arrivals blocked, those that gave up (in their arrival's row),
    // the entities that gave up in the row's steps, and the arrivals served
    // within the horizon and at once.
    HeapVector<Counter> blockedAt;
    HeapVector<Counter> abandonedOf;
    HeapVector<Counter> abandonmentsAt;
    HeapVector<Counter> withinAt;
    HeapVector<Counter> promptAt;
    // Per open row (a ring of them) and node: arrivals by wait, and a bit
    // per wait that some arrival waited.
    HeapVector<Counter> openWaits;
    HeapVector<std::uint64_t> openMasks;
    long long nextFold = 1;
    long long foldDueAfter = 0;  // the step after which row `nextFold` is due

    // A station of one server: its state, and its arrivals per period
    // (none for a plan that runOneServer does not make).
    OneServerRun server;
    HeapVector<ArrivalSkips> arrivalSkips;
    HeapVector<std::size_t> skipsOfPeriod;  // each period's, in arrivalSkips
    HeapVector<long long> arrivalRows;      // the run's rows with arrivals, in order
    std::size_t foldedRows = 0;             // how many of them are folded
    long long nextFoldDue = 0;              // the step after which the next is due
};

// Runs are handed out a few at a time: enough to keep the threads from
// meeting at the counter, few enough that the last ones end together.
constexpr long long runsPerTurn = 8;

// How often a caller that waits for the other threads looks at its check.
constexpr auto waitingPoll = std::chrono::milliseconds(1);

// The threads besides the caller's. Stopping and joining them is the
// destructor's, so they end on every path out of a simulation, a throw
// included.
class Helpers {
public:
    explicit Helpers(std::atomic<bool>& _stop) : stop(_stop) {}
    ~Helpers() {
        stop.store(true);
        for (std::thread& thread : threads) thread.join();
    }
    Helpers(const Helpers&) = delete;
    Helpers& operator=(const Helpers&) = delete;

    // Starts `work` on a new thread; false if the system has no thread to
    // give, in which case the others do its share.
    template <typename Work>
    bool start(Work&& work) {
        try {
            threads.emplace_back(std::forward<Work>(work));
            return true;
        } catch (const std::system_error&) {
            return false;
        } catch (const std::bad_alloc&) {
            return false;
        }
    }

    void reserve(std::size_t count) { threads.reserve(count); }

private:
    std::atomic<bool>& stop;
    HeapVector<std::thread> threads;
};

// What a helper thread works on and leaves behind.
struct HelperShare : OnHeap {
    explicit HelperShare(const Layout& layout) : tally(layout) {}
    Tally tally;
    std::exception_ptr failure;
    std::atomic<bool> done{false};
};

// What the threads share, each value on a cache line of its own. Every
// thread reads `stop` every step: were it to share a line with what the
// caller writes every step (its worker's counters, inlined next to it), the
// line would go back and forth between the cores at every step, which cost
// two threads a fifth of their speed.
template <typename T>
struct alignas(64) OwnLine {
    T value;
};

}  // namespace

Tally simulate(const Plan& plan) {
    checkPlan(plan);
    Tally total(layoutOf(plan));
    OwnLine<std::atomic<long long>> nextRunLine{0};
    OwnLine<std::atomic<bool>> stopLine{false};
    std::atomic<long long>& nextRun = nextRunLine.value;
    std::atomic<bool>& stop = stopLine.value;
    auto runsOf = [&](auto&& worker) {
        WorkMeter meter;
        for (;;) {
            const long long first = nextRun.fetch_add(runsPerTurn);
            if (first >= plan.runs) break;
            const long long end = std::min(plan.runs, first + runsPerTurn);
            for (long long run = first; run < end; ++run)
                if (!worker.run(run, stop, meter)) return;
        }
        meter.flush();
    };
    auto work = [&](Tally& tally) {
        if (plan.nodes() == 1)
            runsOf(Worker<true>(plan, tally));
        else
            runsOf(Worker<false>(plan, tally));
    };

    const long long helpers = threadsFor(plan) - 1;
    HeapVector<std::unique_ptr<HelperShare>> shares;
    shares.reserve(static_cast<std::size_t>(std::max(0LL, helpers)));
    for (long long k = 0; k < helpers; ++k)
        shares.push_back(std::unique_ptr<HelperShare>(new HelperShare(total.layout)));
    {
        Helpers threads(stop);
        threads.reserve(shares.size());
        for (auto& share : shares) {
            HelperShare* mine = share.get();
            const bool started = threads.start([&work, &stop, mine] {
                prepareThread();
                try {
                    work(mine->tally);
                } catch (...) {
                    mine->failure = std::current_exception();
                    stop.store(true);
                }
                mine->done.store(true);
            });
            if (!started) mine->done.store(true);
        }
        work(total);
        // The caller's check must still run while the others finish.
        for (auto& share : shares) {
            while (!share->done.load()) {
                std::this_thread::sleep_for(waitingPoll);
                interruptionPoint(defaultWorkBetweenChecks);
            }
        }
    }
    for (auto& share : shares)
        if (share->failure) std::rethrow_exception(share->failure);
    for (auto& share : shares) total.add(share->tally);
    return total;
}

}  // namespace simulation
