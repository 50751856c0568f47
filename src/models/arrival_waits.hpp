#pragma once

#include "models/station_step.hpp"
#include "pmf/pmf.hpp"
#include "runtime/buffer.hpp"
#include "runtime/heap.hpp"
#include "runtime/types.hpp"

// The waits of the entities that arrive at a station, or at one node of a
// network, in one step: computed from the state before the step and the
// settings the step ran under, while a run is recorded.
//
// An arrival's wait W counts the steps from its arrival step t to the step
// at whose end a server takes it: taken at the end of step t + W, first come
// first served, at a place chosen at random within its step's batch.
//
// - Its own step is the model's: of the min(z, c) busy servers, d end their
//   service (binomial, each with P(ell = 1 | z)); the n entities ahead of it
//   that are still present (z - d, and those before it in its batch) take
//   the free servers first, so W = 0 when n < c.
// - One server: the service under way goes on with its remaining time
//   (ell - 1 given z and ell >= 2), or the server starts one at the end of
//   step t; then one whole service per entity ahead. This is the real
//   queue's wait, so the result is exact where the model is.
// - Several servers: while it waits every server is busy, and each ends its
//   service in every later step independently with chance 1 / E[service]
//   (a whole-run rate, which for geometric durations is exactly the chance
//   that a service ends in a step): W is the first step by which the
//   services ended reach n - c + 1. Exact for geometric durations, an
//   approximation for others, as the model's own step is.
//
// The work sits in two stages: who is ahead after the arrival step
// (`aheadOfArrivals`), and how long the entities ahead keep the servers
// (`waitsOfOneServer`, `waitsOfSeveralServers`).
//
// Abandonment and a capacity (`limitedWaits`): the A of the waiting that
// give up in the arrival step leave before the batch joins; an arrival with
// K or more ahead of it is blocked. An arrival that waits gives up in every
// later step with the abandonment probability, before the free servers take
// the next ones, and so does each of those waiting ahead of it. From k
// waiting ahead (and, with one server, the remaining time r of the service
// under way: exact there, as above) the chances that it gives up, or is
// served w steps later, and its expected wait if served follow from one step
// by a recursion over k (and r), in tables kept per node like those above.

struct ArrivalInputs {
    Pmf* state;        // (z, ell) before the step
    Int servers;       // at least 0: a step refuses fewer
    Window batch;      // the step's arrivals from outside and from other nodes
    Real returning;    // the routing probability from the node back to itself
    Pmf* durations;    // of a service that starts in the step
    Real abandonment;  // the chance that a waiting entity gives up in a step
    Int capacity;      // noCapacity: no limit
};

// What the arrivals of one step add to a row, per node: E[number that
// arrive], E[sum of their waits] (steps; infinite where some are never
// served), E[number that wait longer than the horizon], then E[number that
// wait w steps] for w = 0 .. horizon. A horizon below 0 keeps the arrivals
// alone.
struct WaitLayout {
    static constexpr int arrivals = 0;
    static constexpr int waited = 1;
    static constexpr int beyond = 2;
    static constexpr int first = 3;
    static long long length(Int horizon) { return horizon < 0 ? 1 : 4LL + horizon; }
};

// What abandonment and a capacity take from the arrivals, per node and row:
// E[entities blocked], E[entities that gave up] (whenever they came), and
// E[number of the row's arrivals that give up before service].
struct LimitLayout {
    static constexpr int blocked = 0;
    static constexpr int abandonments = 1;
    static constexpr int abandoned = 2;
    static constexpr int length = 3;
};

class ArrivalWaits {
public:
    explicit ArrivalWaits(Int _horizon) : horizon(_horizon) {}

    // Adds the arrivals of one step at `node` to `sums` (WaitLayout). The
    // settings of a node stay the same through a recorded call, so what
    // depends on them alone is built at its first step and kept.
    // With abandonment, adds to limits[LimitLayout::abandoned] the expected
    // number of the step's arrivals that give up before service.
    void add(Int node, const ArrivalInputs& in, Real* sums, Real* limits);

private:
    // Per node, what depends on its servers and durations only: for several
    // servers the chance that a service ends in a step, the survival of the
    // services ended in w steps (w = 1 .. horizon), and the expected wait for
    // every number of services still needed, as far as asked so far.
    struct ServerTables {
        Int servers = -1;
        const Pmf* durations = nullptr;
        Real meanDuration = 0.0;
        Real endChance = 0.0;
        Buffer<Real> endings;   // binomial(servers, endChance)
        Buffer<Real> survival;  // per w: P(services ended in w steps >= L), L = 1 .. c w
        Buffer<Real> expected;  // E[W | L services needed], L = 0 .. expectedReady
        long long expectedReady = 0;
        // With abandonment or a capacity: per k waiting ahead (rows) and per
        // remaining time r = 1 .. times of the service under way (one server;
        // times = 1 for several), rowWidth() cells: P(gives up) and E[W;
        // served] per r, then P(served w steps later), w = 1 .. horizon, per
        // r. For one server, `fresh` holds the same per k over a service
        // that starts (the durations). Rows 0 .. ready - 1 are built.
        Real patience = -1.0;
        long long times = 0;
        long long ready = 0;
        Buffer<Real> rows;
        Buffer<Real> fresh;
    };

    // An entity of the one server's queue whose service goes on through the
    // arrival step: its count before the step, the weight of that outcome
    // and its remaining time given the count.
    struct GoingOn {
        long long z;
        Real weight;
        Window conditional;
    };

    ServerTables& tablesOf(Int node, const ArrivalInputs& in);
    void buildSurvival(ServerTables& tables);
    Real expectedWait(ServerTables& tables, long long needed);
    const Real* logsUpTo(long long n);
    void readBatch(const Window& batch);
    void aheadOfArrivals(const ArrivalInputs& in, bool oneServer);
    void waitsOfOneServer(const ArrivalInputs& in, const ServerTables& tables, Real* sums);
    void waitsOfSeveralServers(ServerTables& tables, Real* sums);
    void finish(Real total, Real served, Real waited, const Real* within, Real* sums) const;
    void limitedWaits(const ArrivalInputs& in, ServerTables& tables, Real* sums, Real* limits);
    void growPatience(ServerTables& tables, const ArrivalInputs& in, long long rows,
                      long long times);
    long long rowWidth(const ServerTables& tables) const;

    const Int horizon;
    HeapVector<ServerTables> nodes;

    // The batch: P(a > j) for j = 0 .. batchLength - 1, its total E[a] and
    // sum over j of j P(a > j), which is E[a (a - 1)] / 2.
    Buffer<Real> batchSurvival;
    long long batchLength = 0;
    Real batchMean = 0.0;
    Real batchPairs = 0.0;

    // Who is ahead of an arrival once its step ends, weighted by the
    // arrivals: ahead[n - aheadFirst] for n = aheadFirst, ... With one server
    // it holds the outcomes where the server starts a service at the end of
    // the step; those where the service under way goes on are in `goingOn`.
    Buffer<Real> ahead;
    long long aheadFirst = 0;
    long long aheadLength = 0;
    Buffer<Real> starts;  // the outcomes' weights by the place where the batch starts
    Buffer<Real> before;  // steps of the weights of places held by entities routed back
    Buffer<GoingOn> goingOn;
    long long goingOnUsed = 0;

    // The state after the waiting gave up in the arrival step, as the
    // step itself maps it.
    StepWorkspace thinning;
    Buffer<Real> binomialCells;
    Buffer<Real> abandonCells;
    Buffer<Real> initial;        // the waiting arrivals' weights per (k, r)
    Buffer<Real> patienceCells;  // one cell of the tables of giving up, as it is summed
    Buffer<Real> routedCells;
    Buffer<Real> logs;  // log(k) at index k, for 1 <= k <= logsReady
    long long logsReady = 0;
    Buffer<Real> scratch;  // vectors over the waits 0 .. horizon
};
