// The simulator driven without an interpreter: its draws, the documented step
// on cases whose every run is the same, the same sums whatever the threads,
// the settings it refuses, and a heap that fails or a check that throws at
// any point.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <functional>
#include <initializer_list>
#include <thread>
#include <utility>
#include <vector>

#include "runtime/heap.hpp"
#include "runtime/interruption.hpp"
#include "simulation/node_run.hpp"
#include "simulation/simulator.hpp"
#include "test_support.hpp"

using namespace simulation;

namespace {

struct Listing {
    std::vector<Int> values;
    std::vector<Real> weights;
};

Listing listing(std::initializer_list<std::pair<Int, Real>> pmf) {
    Listing out;
    for (auto [value, weight] : pmf) {
        out.values.push_back(value);
        out.weights.push_back(weight);
    }
    return out;
}

NodeSettings node(Int servers, const Listing& arrivals, const Listing& durations,
                  const std::vector<Real>& routing = {}) {
    return makeNodeSettings(servers, arrivals.values.data(), arrivals.weights.data(),
                            arrivals.values.size(), durations.values.data(),
                            durations.weights.data(), durations.values.size(),
                            routing.empty() ? nullptr : routing.data(), routing.size());
}

// One node from empty, or with `present` entities whose services just start.
Plan stationPlan(Int servers, const Listing& arrivals, const Listing& durations, Int steps,
                 Int present = 0) {
    Plan plan;
    plan.start.push_back(startWith(servers, present, durations.values.data(),
                                   durations.weights.data(), durations.values.size()));
    PeriodSettings period;
    period.steps = steps;
    period.nodes.push_back(node(servers, arrivals, durations));
    plan.periods.push_back(std::move(period));
    plan.runs = 64;
    plan.waitHorizon = 4;
    plan.key = 17;
    return plan;
}

// Two nodes in tandem with feedback, several servers, services of two lengths.
Plan networkPlan() {
    Plan plan;
    const Listing durations = listing({{1, 0.4}, {3, 0.6}});
    for (Int i = 0; i < 2; ++i)
        plan.start.push_back(startWith(2, 1, durations.values.data(), durations.weights.data(),
                                       durations.values.size()));
    for (Int servers : {2, 1}) {
        PeriodSettings period;
        period.steps = 9;
        period.nodes.push_back(node(servers, listing({{0, 0.5}, {2, 0.5}}), durations, {0.1, 0.7}));
        period.nodes.push_back(node(2, listing({{0, 1.0}}), durations, {0.3, 0.2}));
        plan.periods.push_back(std::move(period));
    }
    plan.runs = 101;
    plan.every = 2;
    plan.waitHorizon = 3;
    plan.key = 5;
    return plan;
}

// Every count and sum of a tally, in one list, to compare tallies; of one
// node only where `onlyNode` names one.
std::vector<double> everythingOf(const Tally& tally, Int onlyNode = -1) {
    std::vector<double> out;
    const Layout& layout = tally.layout;
    std::vector<BeyondSums> beyond(layout.waits());
    for (long long row = 0; row < layout.rows; ++row) {
        for (Int n = 0; n < layout.nodes; ++n) {
            if (onlyNode >= 0 && n != onlyNode) continue;
            const CountWindow window = tally.window(row, n);
            for (std::size_t k = 0; k < window.length; ++k)
                if (window.runs[k] > 0) {
                    out.push_back(static_cast<double>(window.lowest + static_cast<long long>(k)));
                    out.push_back(static_cast<double>(window.runs[k]));
                }
            const Tally::RowSums sums = tally.sums(row, n);
            for (Wide x : {tally.ended(row, n), sums.endedSquares, sums.arrivals,
                           sums.arrivalSquares, sums.waitTotal, sums.waitTotalSquares,
                           sums.waitTotalCross, static_cast<Wide>(sums.censoredRuns)})
                out.push_back(static_cast<double>(x));
            tally.beyondSums(row, n, beyond.data());
            for (Int w = 0; w <= layout.horizon; ++w) {
                const Tally::WaitSums waits = tally.waits(row, n, w);
                for (Wide x : {waits.exactly, waits.exactlySquares, waits.exactlyCross,
                               beyond[w].beyond, beyond[w].beyondSquares, beyond[w].beyondCross})
                    out.push_back(static_cast<double>(x));
            }
        }
    }
    return out;
}

// The number present at `row` in every run, if it is the same in all.
long long onlyCount(const Tally& tally, long long row) {
    const CountWindow window = tally.window(row, 0);
    long long only = -1;
    for (std::size_t k = 0; k < window.length; ++k) {
        if (window.runs[k] == 0) continue;
        EXPECT_EQ(only, -1) << "row " << row << " has several counts";
        EXPECT_EQ(window.runs[k], 64u);
        only = window.lowest + static_cast<long long>(k);
    }
    return only;
}

}  // namespace

TEST(Sampler, DrawsEachValueWithItsProbabilityAndNothingOfWeightZero) {
    const Listing pmf = listing({{3, 0.5}, {7, 0.0}, {8, 0.2}, {20, 0.3}, {21, -1.0}});
    const Sampler sampler(pmf.values.data(), pmf.weights.data(), pmf.values.size());
    EXPECT_EQ(sampler.largest(), 20);
    RunGenerator random(1, 2);
    const int draws = 400000;
    std::vector<int> seen(22);
    for (int k = 0; k < draws; ++k) ++seen[static_cast<std::size_t>(sampler.draw(random))];
    for (auto [value, p] : {std::pair{3, 0.5}, {7, 0.0}, {8, 0.2}, {20, 0.3}, {21, 0.0}}) {
        const double error = std::sqrt(p * (1 - p) / draws);
        EXPECT_NEAR(seen[static_cast<std::size_t>(value)] / double(draws), p, 5 * error + 1e-12);
    }
    const Listing none = listing({{1, 0.0}});
    EXPECT_RAISES(Sampler(none.values.data(), none.weights.data(), 1), messages::emptyPmf);
}

// Two servers, services of exactly 2 and one arrival each step: every run
// holds 2 from step 2 on, and nobody waits.
TEST(Simulation, ServersInStepHoldTheSameNumberInEveryRun) {
    const Tally tally = simulate(stationPlan(2, listing({{1, 1.0}}), listing({{2, 1.0}}), 8));
    EXPECT_EQ(onlyCount(tally, 0), 0);
    EXPECT_EQ(onlyCount(tally, 1), 1);
    for (long long row = 2; row <= 8; ++row) {
        EXPECT_EQ(onlyCount(tally, row), 2);
        EXPECT_EQ(tally.ended(row, 0), row >= 3 ? 64u : 0u);
        EXPECT_EQ(tally.waits(row, 0, 0).exactly, 64u);  // one arrival a run, no wait
    }
}

// One server, services of exactly 3, two arrivals in step 1 only: the first
// waits 0 and the second 3 steps, and each leaves 3 steps after it starts.
TEST(Simulation, TheSecondOfABatchWaitsForTheFirstsService) {
    Plan plan = stationPlan(1, listing({{2, 1.0}}), listing({{3, 1.0}}), 1);
    PeriodSettings after;
    after.steps = 6;
    after.nodes.push_back(node(1, listing({{0, 1.0}}), listing({{3, 1.0}})));
    plan.periods.push_back(std::move(after));
    const Tally tally = simulate(plan);
    const long long present[] = {0, 2, 2, 2, 1, 1, 1, 0};
    for (long long row = 0; row <= 7; ++row) EXPECT_EQ(onlyCount(tally, row), present[row]);
    EXPECT_EQ(tally.waits(1, 0, 0).exactly, 64u);
    EXPECT_EQ(tally.waits(1, 0, 3).exactly, 64u);
    EXPECT_EQ(tally.sums(1, 0).waitTotal, 3u * 64);
}

// Four services with two steps left, the servers cut to one: the entities
// leave 2, 5, 8 and 11 steps on, the stopped ones each starting a whole new
// service of 3 in turn.
TEST(Simulation, ACutInTheServersStopsServicesThatStartOverLater) {
    const Listing durations = listing({{3, 1.0}});
    Plan plan = stationPlan(4, listing({{0, 1.0}}), durations, 1);
    const Listing two = listing({{2, 1.0}});
    plan.start[0] = startWith(4, 4, two.values.data(), two.weights.data(), 1);
    PeriodSettings cut;
    cut.steps = 11;
    cut.nodes.push_back(node(1, listing({{0, 1.0}}), durations));
    plan.periods.push_back(std::move(cut));
    const Tally tally = simulate(plan);
    // Step 1 runs with four servers, which all go on; then the cut stops
    // three, and the one that goes on ends in step 2.
    const long long present[] = {4, 4, 3, 3, 3, 2, 2, 2, 1, 1, 1, 0, 0};
    for (long long row = 0; row <= 12; ++row) EXPECT_EQ(onlyCount(tally, row), present[row]) << row;
}

TEST(Simulation, TheSumsAreTheSameWhateverTheNumberOfThreads) {
    Plan plan = networkPlan();
    const std::vector<double> one = everythingOf(simulate(plan));
    for (int threads : {2, 3, 8}) {
        plan.threads = threads;
        EXPECT_EQ(everythingOf(simulate(plan)), one) << threads << " threads";
    }
    plan.key = 6;
    EXPECT_NE(everythingOf(simulate(plan)), one);
}

// Threads beyond the cores run no faster: they are kept while their sums
// are small, and cut back to the cores where thousands of them would take
// hundreds of gigabytes.
TEST(Simulation, ThreadsBeyondTheCoresAreKeptOnlyWhileTheirSumsAreSmall) {
    const long long cores = std::max(1U, std::thread::hardware_concurrency());
    Plan plan = networkPlan();
    plan.threads = static_cast<int>(cores) + 6;
    EXPECT_EQ(threadsFor(plan), std::min<long long>(cores + 6, plan.runs));
    plan.runs = 4096;
    plan.threads = 4096;
    plan.periods[0].steps = 100000;
    plan.waitHorizon = 100;
    EXPECT_EQ(threadsFor(plan), cores);
}

TEST(Simulation, RefusesWhatTheStepRefuses) {
    const Listing one = listing({{1, 1.0}});
    EXPECT_RAISES(node(-1, one, one), messages::invalidNumberOfServers);
    EXPECT_RAISES(node(1, listing({{-1, 0.5}, {1, 0.5}}), one), messages::negativeIntegerInSupport);
    EXPECT_RAISES(node(1, one, listing({{0, 0.5}, {1, 0.5}})), messages::invalidServiceDuration);
    EXPECT_RAISES(node(1, one, one, {0.6, 0.5}), messages::invalidRoutingProbabilities);
    EXPECT_RAISES(node(1, one, one, {1.5, 0.0}), messages::invalidProbability);
    Plan plan = stationPlan(1, one, one, 3);
    plan.runs = 0;
    EXPECT_RAISES(simulate(plan), messages::invalidValue);
    // More present than a count holds.
    plan = stationPlan(0, listing({{2147483647, 1.0}}), one, 2);
    EXPECT_RAISES(simulate(plan), messages::invalidValue);
}

TEST(Simulation, AHeapThatFailsAnywhereRaisesOutOfMemoryAndLeavesNothing) {
    const Plan plan = networkPlan();
    const long blocks = heapBlocksInUse();
    for (long n = 1;; ++n) {
        setAllocationFailureCountdown(n);
        try {
            simulate(plan);
        } catch (const CException& error) {
            setAllocationFailureCountdown(0);
            EXPECT_STREQ(error.message, messages::outOfMemory) << "allocation " << n;
            EXPECT_EQ(heapBlocksInUse(), blocks) << "allocation " << n;
            continue;
        }
        setAllocationFailureCountdown(0);
        EXPECT_EQ(heapBlocksInUse(), blocks);
        return;
    }
}

TEST(Simulation, ACheckThatThrowsStopsEveryThread) {
    struct Interruption {};
    Plan plan = networkPlan();
    plan.runs = 1 << 30;  // would take hours
    plan.threads = 3;
    long left = 1000;
    InterruptionScope scope(
        [](void* context) {
            if (--*static_cast<long*>(context) == 0) throw Interruption{};
        },
        &left, 1);
    EXPECT_THROW(simulate(plan), Interruption);
}

TEST(Simulation, BinomialDrawsHaveTheirMeanAndSpread) {
    RunGenerator random(3, 4);
    for (long long count : {3LL, 50LL, 1000LL}) {
        for (Real p : {0.0, 0.05, 0.5, 0.9, 1.0}) {
            const int draws = 20000;
            double sum = 0, squares = 0;
            for (int k = 0; k < draws; ++k) {
                const auto x = static_cast<double>(binomial(count, p, random));
                sum += x;
                squares += x * x;
            }
            const double mean = count * p, variance = count * p * (1 - p);
            EXPECT_NEAR(sum / draws, mean, 5 * std::sqrt(variance / draws) + 1e-12) << count << p;
            EXPECT_NEAR(squares / draws - (sum / draws) * (sum / draws), variance,
                        0.1 * variance + 1e-12)
                << count << " " << p;
        }
    }
}

// One server, services of exactly 2, two arrivals a step, room for 2, and
// every waiting entity gives up in its next step: the one that waited since
// the step began leaves, the one served at the end of its own arrival step
// never does, and one arrival is blocked every other step (the exact
// chain's test has the same case).
TEST(Simulation, PatienceAndCapacityActInTheirPlaceInTheStep) {
    Plan plan = stationPlan(1, listing({{2, 1.0}}), listing({{2, 1.0}}), 8);
    limitNode(plan.periods[0].nodes[0], 1.0, 2);
    const Tally tally = simulate(plan);
    for (long long row = 1; row <= 8; ++row) {
        EXPECT_EQ(onlyCount(tally, row), 2) << row;
        const Tally::RowSums sums = tally.sums(row, 0);
        const Wide blocked = row % 2 == 0 ? 64 : 0;
        EXPECT_EQ(sums.blocked, blocked) << row;
        EXPECT_EQ(sums.abandonments, row >= 2 ? 64u : 0u) << row;
        // Of each row's two arrivals one gives up in the next step; the
        // other is served at once where the server is free (odd steps) and
        // blocked where it is not.
        const Wide served = 64 - blocked;
        EXPECT_EQ(sums.abandoned, 64u) << row;
        EXPECT_EQ(sums.served, served) << row;
        EXPECT_EQ(tally.waits(row, 0, 0).exactly, served) << row;
        EXPECT_EQ(tally.waits(row, 0, 0).exactlyKeptCross, served) << row;  // Y_0 = T = 1
        EXPECT_EQ(sums.late, 0u) << row;
    }
    // Entities already present beyond the capacity stay; arrivals are refused.
    plan = stationPlan(1, listing({{1, 1.0}}), listing({{5, 1.0}}), 2, 3);
    limitNode(plan.periods[0].nodes[0], 0.0, 1);
    const Tally kept = simulate(plan);
    EXPECT_EQ(onlyCount(kept, 2), 3);
    EXPECT_EQ(kept.sums(2, 0).blocked, 64u);
    EXPECT_RAISES(limitNode(plan.periods[0].nodes[0], 1.5, 1), messages::invalidValue);
    EXPECT_RAISES(limitNode(plan.periods[0].nodes[0], std::nan(""), 1), messages::invalidValue);
    EXPECT_RAISES(limitNode(plan.periods[0].nodes[0], 0.5, -2), messages::invalidValue);
}

// An entity routed to a full node is lost there, like an arrival from
// outside.
TEST(Simulation, AnEntityRoutedToAFullNodeIsLost) {
    Plan plan;
    const Listing one = listing({{1, 1.0}});
    for (Int i = 0; i < 2; ++i)
        plan.start.push_back(startWith(1, 0, one.values.data(), one.weights.data(), 1));
    PeriodSettings period;
    period.steps = 6;
    period.nodes.push_back(node(1, one, one, {0.0, 1.0}));
    period.nodes.push_back(node(1, listing({{0, 1.0}}), one, {0.0, 0.0}));
    limitNode(period.nodes[1], 0.0, 0);
    plan.periods.push_back(std::move(period));
    plan.runs = 64;
    plan.key = 1;
    const Tally tally = simulate(plan);
    for (long long row = 2; row <= 6; ++row) {
        EXPECT_EQ(tally.sums(row, 1).arrivals, 64u);
        EXPECT_EQ(tally.sums(row, 1).blocked, 64u);
        const CountWindow window = tally.window(row, 1);
        EXPECT_EQ(window.lowest + static_cast<long long>(window.length), 1);  // nobody there
    }
}

// Without patience or a capacity no random number is drawn for either, so
// a run's sums are, bit for bit, those of the simulator before it knew
// them: the digest of every sum of a network's runs, taken then.
TEST(Simulation, RunsWithoutPatienceOrCapacityKeepTheirSums) {
    std::uint64_t digest = 1469598103934665603ULL;  // FNV-1a over the bytes
    for (double x : everythingOf(simulate(networkPlan()))) {
        unsigned char bytes[sizeof x];
        std::memcpy(bytes, &x, sizeof x);
        for (unsigned char b : bytes) digest = (digest ^ b) * 1099511628211ULL;
    }
    EXPECT_EQ(digest, 16628762731727055145ULL);
}

// Where every step is a row, a row whose one arrival at a node is one entity
// is counted when that entity is taken, without the rows' tables: the sums
// of a network's runs, whose routed entities often come one at a time, are
// bit for bit those of the worker before it did.
TEST(Simulation, ARowOfOneArrivalCountedWhenTakenKeepsTheSums) {
    Plan plan = networkPlan();
    plan.every = 1;
    std::uint64_t digest = 1469598103934665603ULL;  // FNV-1a over the bytes
    for (double x : everythingOf(simulate(plan))) {
        unsigned char bytes[sizeof x];
        std::memcpy(bytes, &x, sizeof x);
        for (unsigned char b : bytes) digest = (digest ^ b) * 1099511628211ULL;
    }
    EXPECT_EQ(digest, 12191780994555916453ULL);
}

// A station is simulated by a worker of its own, which passes over steps in
// which nothing can happen. Beside an idle node that draws nothing, the same
// station goes through the worker of networks: its sums must be the same,
// bit for bit, with patience, a capacity, a change of servers and a line.
TEST(Simulation, AStationRunsAsTheSameNodeOfANetworkWould) {
    const Listing idle = listing({{0, 1.0}});
    std::uint64_t seed = 3;
    auto below = [&seed](std::uint64_t n) {
        seed = seed * 6364136223846793005ULL + 1442695040888963407ULL;
        return static_cast<Int>((seed >> 33) % n);
    };
    for (int example = 0; example < 24; ++example) {
        const Listing arrivals = below(2) == 0 ? listing({{0, 0.8}, {1, 0.15}, {3, 0.05}})
                                               : listing({{0, 0.3}, {2, 0.7}});
        const Listing durations = listing({{1 + below(3), 0.5}, {2 + below(6), 0.5}});
        const Real patience = below(3) == 0 ? 0.3 : 0.0;
        const long long capacity = below(3) == 0 ? 2 + below(4) : noCapacity;
        Plan station;
        Plan network;
        const Int present = below(5);
        station.start.push_back(startWith(1, present, durations.values.data(),
                                          durations.weights.data(), durations.values.size()));
        network.start = station.start;
        network.start.push_back(startWith(1, 0, durations.values.data(), durations.weights.data(),
                                          durations.values.size()));
        Int first = 1 + below(2), second = 1 + below(3);
        // One server throughout, without patience, is run by another
        // engine, whose draws differ (see the next test).
        if (first == 1 && second == 1 && patience == 0.0) second = 2;
        for (Int servers : {first, second}) {
            PeriodSettings period;
            period.steps = 5 + below(20);
            period.nodes.push_back(node(servers, arrivals, durations));
            limitNode(period.nodes[0], patience, capacity);
            station.periods.push_back(period);
            period.nodes.push_back(node(1, idle, durations));
            network.periods.push_back(std::move(period));
        }
        const Int every = 1 + below(2);
        const Int horizon = below(6);
        for (Plan* plan : {&station, &network}) {
            plan->runs = 50;
            plan->every = every;
            plan->waitHorizon = horizon;
            plan->key = static_cast<std::uint64_t>(example);
        }
        EXPECT_EQ(everythingOf(simulate(station)), everythingOf(simulate(network), 0))
            << "example " << example;
    }
}

namespace {

// The mean over runs of a per-run figure, from its sums over runs of it and
// of its square, and the variance of that mean.
struct Estimate {
    double mean, variance;
};

Estimate estimate(double sum, double squares, double runs) {
    const double mean = sum / runs;
    return {mean, std::max(squares / runs - mean * mean, 0.0) / runs};
}

// A mean over runs of a per-run figure from 0 to `most`, whose variance is
// then at most `most` times its mean.
Estimate bounded(double sum, double most, double runs) {
    return {sum / runs, most * sum / runs / runs};
}

// Per row, the figures of a station's tally that the standard errors rest
// on: the number present, its square, the ends, the arrivals, the sum of
// their waits and those that waited each w up to the horizon, and the
// squares and products of the arrivals' counts, at most `most` a row.
std::vector<Estimate> estimates(const Tally& tally, Int node, double runs, double most) {
    std::vector<Estimate> out;
    for (long long row = 0; row < tally.layout.rows; ++row) {
        const CountWindow window = tally.window(row, node);
        double present = 0, squares = 0, cubes = 0, fourths = 0;
        for (std::size_t k = 0; k < window.length; ++k) {
            const double n = static_cast<double>(window.lowest + static_cast<long long>(k));
            const double count = static_cast<double>(window.runs[k]);
            present += count * n;
            squares += count * n * n;
            cubes += count * n * n * n;
            fourths += count * n * n * n * n;
        }
        out.push_back(estimate(present, squares, runs));
        out.push_back(estimate(squares, fourths, runs));
        const Tally::RowSums sums = tally.sums(row, node);
        out.push_back(estimate(static_cast<double>(tally.ended(row, node)),
                               static_cast<double>(sums.endedSquares), runs));
        out.push_back(estimate(static_cast<double>(sums.arrivals),
                               static_cast<double>(sums.arrivalSquares), runs));
        out.push_back(bounded(static_cast<double>(sums.arrivalSquares), most * most, runs));
        out.push_back(estimate(static_cast<double>(sums.waitTotal),
                               static_cast<double>(sums.waitTotalSquares), runs));
        out.push_back(estimate(static_cast<double>(sums.served),
                               static_cast<double>(sums.servedSquares), runs));
        out.push_back(estimate(static_cast<double>(sums.blocked),
                               static_cast<double>(sums.blockedSquares), runs));
        out.push_back(
            estimate(static_cast<double>(sums.late), static_cast<double>(sums.lateSquares), runs));
        out.push_back(estimate(static_cast<double>(sums.waited),
                               static_cast<double>(sums.waitedSquares), runs));
        for (Int w = 0; w <= tally.layout.horizon; ++w) {
            const Tally::WaitSums waits = tally.waits(row, node, w);
            out.push_back(estimate(static_cast<double>(waits.exactly),
                                   static_cast<double>(waits.exactlySquares), runs));
            out.push_back(bounded(static_cast<double>(waits.exactlySquares), most * most, runs));
            out.push_back(bounded(static_cast<double>(waits.exactlyCross), most * most, runs));
        }
    }
    return out;
}

}  // namespace

// A station of one server, without patience or a capacity, goes from one
// event to the next, drawing its arrivals by their gaps: not the draws of
// the step-by-step worker, but the same distribution. Against the same
// station as a node of a network, every figure of every row must agree
// within five standard errors, over stations with batches, steps that
// always or never bring someone, a line at the start, a capacity, periods
// and strides.
TEST(Simulation, AStationOfOneServerRunsInDistributionAsTheStepByStepWorker) {
    const Listing idle = listing({{0, 1.0}});
    const std::vector<Listing> arrivalChoices = {
        listing({{0, 0.8}, {1, 0.2}}), listing({{0, 0.6}, {1, 0.25}, {3, 0.15}}),
        listing({{1, 1.0}}), listing({{0, 1.0}}), listing({{0, 0.3}, {2, 0.7}})};
    const std::vector<Listing> durationChoices = {
        listing({{1, 1.0}}), listing({{2, 0.5}, {5, 0.5}}), listing({{1, 0.3}, {3, 0.7}})};
    constexpr long long runs = 20000;
    for (int example = 0; example < 8; ++example) {
        const Listing& start = durationChoices[static_cast<std::size_t>(example % 3)];
        Plan station;
        station.start.push_back(startWith(1, example % 4, start.values.data(), start.weights.data(),
                                          start.values.size()));
        Plan network;
        network.start = station.start;
        network.start.push_back(
            startWith(1, 0, start.values.data(), start.weights.data(), start.values.size()));
        for (int p = 0; p < 3; ++p) {
            PeriodSettings period;
            period.steps = 4 + (example * 5 + p * 3) % 9;
            period.nodes.push_back(
                node(1, arrivalChoices[static_cast<std::size_t>((example + 2 * p) % 5)],
                     durationChoices[static_cast<std::size_t>((example + p) % 3)]));
            // Some periods with room for two or three.
            if ((example + p) % 4 == 1) limitNode(period.nodes[0], 0.0, 2 + p % 2);
            station.periods.push_back(period);
            period.nodes.push_back(node(1, idle, start));
            network.periods.push_back(std::move(period));
        }
        for (Plan* plan : {&station, &network}) {
            plan->runs = runs;
            plan->every = 1 + example % 2;
            plan->waitHorizon = example % 5;
            plan->key = static_cast<std::uint64_t>(example);
        }
        const double most = 3.0 * (1 + example % 2);  // arrivals a row
        const std::vector<Estimate> one = estimates(simulate(station), 0, runs, most);
        const std::vector<Estimate> other = estimates(simulate(network), 0, runs, most);
        ASSERT_EQ(one.size(), other.size());
        for (std::size_t k = 0; k < one.size(); ++k) {
            const double spread = std::sqrt(one[k].variance + other[k].variance);
            EXPECT_LE(std::abs(one[k].mean - other[k].mean), 5 * spread + 1e-12)
                << "example " << example << ", figure " << k;
        }
    }
}
