#include "models/arrival_waits.hpp"

#include <algorithm>
#include <climits>
#include <cmath>
#include <limits>

#include "distributions/distributions.hpp"
#include "models/station_step.hpp"
#include "runtime/errors.hpp"
#include "runtime/interruption.hpp"

namespace {

constexpr Real infinity = std::numeric_limits<Real>::infinity();

// Beyond this many services still needed, the expected wait of several
// servers grows by 1 / (c * chance) per service: its differences have long
// settled there, and a table that far would be the larger cost.
constexpr long long expectedWaitCells = 1LL << 20;

// The cells of a simple pmf: the probabilities of first, first + 1, ...
struct Cells {
    long long first;
    long long length;
    const Real* p;
};

Cells cellsOf(const Pmf* pmf) {
    return {pmf->simple.offset, pmf->simple.length, pmf->simple.elements};
}

Cells cellsOf(const Window& window) { return {window.offset, window.length, window.elements}; }

// out[w] = sum over v of x[w - v] s(v) for w = 0 .. h, with x over 0 .. h:
// the distribution of a sum of independent parts, cut at h. A duration is
// at least 1, so every part moves mass up and nothing below h is lost.
void convolveUpTo(const Real* __restrict x, Cells s, long long h, Real* __restrict out) {
    std::fill(out, out + h + 1, 0.0);
    for (long long k = 0; k < s.length && s.first + k <= h; ++k) {
        const Real weight = s.p[k];
        if (!(weight > 0)) continue;
        const long long v = s.first + k;
        for (long long w = v; w <= h; ++w) out[w] += weight * x[w - v];
    }
}

Real meanOf(Cells s) {
    Real total = 0.0, weighted = 0.0;
    for (long long k = 0; k < s.length; ++k) {
        total += s.p[k];
        weighted += s.p[k] * static_cast<Real>(s.first + k);
    }
    return weighted / total;
}

}  // namespace

ArrivalWaits::ServerTables& ArrivalWaits::tablesOf(Int node, const ArrivalInputs& in) {
    if (static_cast<std::size_t>(node) >= nodes.size())
        nodes.resize(static_cast<std::size_t>(node) + 1);
    ServerTables& t = nodes[static_cast<std::size_t>(node)];
    if (t.servers == in.servers && t.durations == in.durations) return t;
    t.servers = in.servers;
    t.durations = in.durations;
    t.meanDuration = meanOf(cellsOf(in.durations));
    t.endChance = std::min(1.0, 1.0 / t.meanDuration);
    t.expectedReady = 0;
    t.ready = 0;  // the tables of giving up depend on both too
    const long long c = in.servers;
    if (c >= 2) {
        // The services that end in one step while all c servers are busy.
        const Support ends = binomialSupport(static_cast<int>(c), t.endChance);
        Real* endings = t.endings.zeroed(c + 1);
        const Real* logTable = logsUpTo(c);
        fillBinomial(
            static_cast<int>(c), t.endChance, [logTable](int i) { return logTable[i]; },
            endings + ends.offset);
        if (horizon >= 1) buildSurvival(t);
        t.expected.reserve(1)[0] = 0.0;
    }
    return t;
}

const Real* ArrivalWaits::logsUpTo(long long n) {
    if (n > logsReady) {
        Real* table = logs.reserve(n + 1);
        for (long long k = logsReady + 1; k <= n; ++k) table[k] = std::log(static_cast<Real>(k));
        logsReady = n;
    }
    return logs.data();
}

// survival[w][L - 1] = P(services ended in w steps >= L) for L = 1 .. c w:
// the ends in w steps of c busy servers are binomial(c w, chance).
void ArrivalWaits::buildSurvival(ServerTables& t) {
    const long long c = t.servers;
    const long long h = horizon;
    if (c > maximumHeapCells / (h * (h + 1) / 2 + 1)) abortOutOfMemory();
    Real* table = t.survival.zeroed(c * h * (h + 1) / 2);
    Real* pmf = binomialCells.reserve(c * h + 1);
    WorkMeter work;
    for (long long w = 1; w <= h; ++w) {
        const long long n = c * w;
        if (n > std::numeric_limits<int>::max()) abortOutOfMemory();
        const Support s = binomialSupport(static_cast<int>(n), t.endChance);
        std::fill(pmf, pmf + n + 1, 0.0);
        const Real* logTable = logsUpTo(n);
        fillBinomial(
            static_cast<int>(n), t.endChance, [logTable](int i) { return logTable[i]; },
            pmf + s.offset);
        Real* row = table + c * w * (w - 1) / 2;
        Real running = 0.0;
        for (long long L = n; L >= 1; --L) {
            running += pmf[L];
            row[L - 1] = std::min(running, 1.0);
        }
        work.add(n);
    }
    work.flush();
}

// E[W | L more services must end] for several servers: V(L) = (1 + sum over
// k >= 1 of P(k end) V(L - k)) / P(some end), with V(L) = 0 for L <= 0.
Real ArrivalWaits::expectedWait(ServerTables& t, long long needed) {
    if (needed <= 0) return 0.0;
    const long long c = t.servers;
    const long long target = std::min(needed, expectedWaitCells);
    if (target > t.expectedReady) {
        Real* v = t.expected.reserve(target + 1);
        const Real* endings = t.endings.data();
        const Real someEnd =
            t.endChance >= 1 ? 1.0 : -std::expm1(static_cast<Real>(c) * std::log1p(-t.endChance));
        WorkMeter work;
        for (long long L = t.expectedReady + 1; L <= target; ++L) {
            Real sum = 1.0;
            const long long reach = std::min(c, L - 1);
            for (long long k = 1; k <= reach; ++k) sum += endings[k] * v[L - k];
            v[L] = sum / someEnd;
            work.add(reach + 1);
        }
        work.flush();
        t.expectedReady = target;
    }
    const Real* v = t.expected.data();
    if (needed <= expectedWaitCells) return v[needed];
    return v[expectedWaitCells] +
           static_cast<Real>(needed - expectedWaitCells) / (static_cast<Real>(c) * t.endChance);
}

void ArrivalWaits::readBatch(const Window& batch) {
    const Cells a = cellsOf(batch);
    // P(a > j) for j = 0 .. largest - 1: the chance that a batch has an entity
    // at place j, so the weight of an arrival there.
    const long long largest = a.first + a.length - 1;
    batchLength = std::max(0LL, largest);
    Real* survival = batchSurvival.reserve(batchLength);
    Real running = 0.0;
    batchMean = batchPairs = 0.0;
    for (long long j = batchLength - 1; j >= 0; --j) {
        const long long k = j + 1 - a.first;
        if (k >= 0 && k < a.length) running += a.p[k];
        survival[j] = running;
    }
    for (long long j = 0; j < batchLength; ++j) {
        batchMean += survival[j];
        batchPairs += static_cast<Real>(j) * survival[j];
    }
}

void ArrivalWaits::aheadOfArrivals(const ArrivalInputs& in, bool oneServer) {
    const Pmf* marginal = lookupMarginalPmf(in.state);
    const Cells zs = cellsOf(marginal);
    const long long c = in.servers;
    // z - d >= z - min(z, c), smallest at the smallest count; those that
    // give up may leave none waiting.
    const bool abandons = in.abandonment > 0;
    aheadFirst = abandons ? 0 : std::max(0LL, zs.first - std::min<long long>(zs.first, c));
    const long long lastStart = zs.first + zs.length - 1;
    const long long startLength = std::max(0LL, lastStart - aheadFirst + 1);
    aheadLength = startLength + std::max(0LL, batchLength - 1);
    Real* start = starts.zeroed(startLength);
    Real* steps = before.zeroed(aheadLength + 1);
    goingOnUsed = 0;
    WorkMeter work;
    // A count z of weight pz whose d ~ ends (over `ended`) services end.
    auto walkCount = [&](long long z, Real pz, const Window& conditional, const Real* ends,
                         const Support& ended) {
        for (long long i = 0; i < ended.length; ++i) {
            const Real pd = ends[i];
            if (!(pd > 0)) continue;
            const long long d = ended.offset + i;
            const Real weight = pz * pd;
            const long long u = z - d;
            if (oneServer && z >= 1 && d == 0) {
                // Those present beside the one in service, after the step.
                goingOn.reserve(goingOnUsed + 1)[goingOnUsed] = {u, weight, conditional};
                ++goingOnUsed;
                continue;
            }
            if (!(in.returning > 0) || d == 0) {
                start[u - aheadFirst] += weight;
                continue;
            }
            // Of the d that ended, phi come back and join the batch.
            const Support back = binomialSupport(static_cast<int>(d), in.returning);
            Real* phis = routedCells.reserve(back.length);
            const Real* logsOfD = logsUpTo(d);
            fillBinomial(
                static_cast<int>(d), in.returning, [logsOfD](int m) { return logsOfD[m]; }, phis);
            for (long long m = 0; m < back.length; ++m) {
                const Real w = weight * phis[m];
                if (!(w > 0)) continue;
                const long long phi = back.offset + m;
                start[u + phi - aheadFirst] += w;
                // Places u .. u + phi - 1 are certain to hold an entity:
                // the batch holds at least the phi that came back. With
                // none back there is no place to mark, and a weight added
                // and taken away again would round away the small weights
                // of other outcomes held in the same cell.
                if (phi == 0) continue;
                steps[u - aheadFirst] += w;
                steps[u + phi - aheadFirst] -= w;
            }
            work.add(back.length);
        }
        work.add(ended.length);
    };
    if (abandons) {
        // The A of the waiting that give up in the step leave before anything
        // else: the step maps the state they leave, and so does this walk.
        thinning.clearTerms();
        const StationTerms terms =
            buildTerms(thinning, in.state, in.servers, in.abandonment, in.capacity);
        for (long long k = 0; k < terms.count; ++k) {
            const CountTerms& count = thinning.counts.data()[terms.first + k];
            walkCount(count.z, count.probability, conditionalOf(thinning, count),
                      thinning.completions.data() + count.completionsAt,
                      Support{count.completionsOffset, count.completionsLength});
        }
    } else {
        for (long long k = 0; k < zs.length; ++k) {
            const Real pz = zs.p[k];
            if (!(pz > 0)) continue;
            const long long z = zs.first + k;
            Pmf* conditional = in.state->joint.elements[k];
            if (conditional == nullptr) abortInternal();
            const int busy = static_cast<int>(std::min(z, c));
            const Real q = std::clamp(lookupProbability(conditional, 1), 0.0, 1.0);
            const Support ended = binomialSupport(busy, q);
            Real* ends = binomialCells.reserve(ended.length);
            const Real* logTable = logsUpTo(busy);
            fillBinomial(busy, q, [logTable](int i) { return logTable[i]; }, ends);
            walkCount(z, pz, probabilitiesOf(conditional), ends, ended);
        }
    }
    // ahead[n] = sum over starts s of start(s) P(a > n - s), and the places
    // of the entities that came back.
    Real* a = ahead.zeroed(aheadLength);
    Real running = 0.0;
    for (long long n = 0; n < aheadLength; ++n) {
        running += steps[n];
        a[n] = running;
    }
    const Real* survival = batchSurvival.data();
    for (long long s = 0; s < startLength; ++s) {
        const Real weight = start[s];
        if (!(weight > 0)) continue;
        Real* row = a + s;
        for (long long j = 0; j < batchLength; ++j) row[j] += weight * survival[j];
        work.add(batchLength);
    }
    work.flush();
}

void ArrivalWaits::waitsOfOneServer(const ArrivalInputs& in, const ServerTables& t, Real* sums) {
    const long long h = horizon;
    const Cells s = cellsOf(in.durations);
    Real* cells = scratch.zeroed(4 * (h + 1));
    Real* acc = cells;
    Real* next = cells + (h + 1);
    Real* rest = cells + 2 * (h + 1);
    Real* within = cells + 3 * (h + 1);

    // The server starts a service at the end of the step: with n ahead, W is
    // the sum of n services. Horner's rule: sum ahead[n] S^n = ahead[0] +
    // S * (ahead[1] + S * (...)), cut at h.
    const Real* weights = ahead.data();
    Real total = 0.0, entitiesAhead = 0.0;
    for (long long k = 0; k < aheadLength; ++k) {
        total += weights[k];
        entitiesAhead += weights[k] * static_cast<Real>(aheadFirst + k);
    }
    const long long top = std::min(h, aheadFirst + aheadLength - 1);
    for (long long n = top; n >= 0; --n) {
        if (n < top) {
            convolveUpTo(acc, s, h, next);
            std::swap(acc, next);
        }
        if (n >= aheadFirst) acc[0] += weights[n - aheadFirst];
    }
    if (top >= 0) std::copy(acc, acc + h + 1, within);
    Real waited = t.meanDuration * entitiesAhead;
    // (The one server's queue, `u` above, holds z for the services that go on.)

    // The service under way goes on: with z present before the step and the
    // j of its batch before the arrival, W = (ell - 1) + z - 1 + j services,
    // ell given z; only z <= h can end within h.
    if (goingOnUsed > 0) {
        std::fill(acc, acc + h + 1, 0.0);
        long long index = goingOnUsed - 1;
        while (index >= 0 && goingOn.data()[index].z > h) --index;
        const long long highest = index >= 0 ? goingOn.data()[index].z : 0;
        for (long long z = highest; z >= 1; --z) {
            if (z < highest) {
                convolveUpTo(acc, s, h, next);
                std::swap(acc, next);
            }
            if (index >= 0 && goingOn.data()[index].z == z) {
                const GoingOn& g = goingOn.data()[index--];
                const ContinuingTimes left = continuingTimes(g.conditional);
                const Real share = g.weight / left.total;
                for (int v = 0; v < left.weights.length && left.weights.offset + v <= h; ++v)
                    acc[left.weights.offset + v] += share * left.weights.elements[v];
            }
        }
        // The batch's places before the arrival: sum over j of P(a > j) S^j.
        std::fill(rest, rest + h + 1, 0.0);
        const Real* survival = batchSurvival.data();
        const long long places = std::min(h, batchLength - 1);
        for (long long j = places; j >= 0; --j) {
            if (j < places) {
                convolveUpTo(rest, s, h, next);
                std::copy(next, next + h + 1, rest);
            }
            rest[0] += survival[j];
        }
        for (long long w = 0; w <= h; ++w)
            for (long long v = 0; v <= w; ++v) within[w] += acc[v] * rest[w - v];
        for (long long k = 0; k < goingOnUsed; ++k) {
            const GoingOn& g = goingOn.data()[k];
            const ContinuingTimes left = continuingTimes(g.conditional);
            Real remaining = 0.0;
            for (int v = 0; v < left.weights.length; ++v)
                remaining += left.weights.elements[v] * (left.weights.offset + v);
            remaining /= left.total;
            total += g.weight * batchMean;
            waited +=
                g.weight * (batchMean * remaining +
                            t.meanDuration * (static_cast<Real>(g.z - 1) * batchMean + batchPairs));
        }
    }
    finish(total, total, waited, within, sums);
}

void ArrivalWaits::waitsOfSeveralServers(ServerTables& t, Real* sums) {
    const long long h = horizon;
    const long long c = t.servers;
    Real* within = scratch.zeroed(h + 1);
    const Real* weights = ahead.data();
    Real total = 0.0, waited = 0.0;
    WorkMeter work;
    for (long long k = 0; k < aheadLength; ++k) {
        const Real weight = weights[k];
        if (!(weight > 0)) continue;
        total += weight;
        const long long needed = aheadFirst + k - c + 1;  // services that must end first
        if (needed <= 0) {
            within[0] += weight;
            continue;
        }
        waited += weight * expectedWait(t, needed);
        // P(W <= w) = P(at least `needed` ended in w steps), w = 1 .. h.
        Real below = 0.0;
        for (long long w = (needed + c - 1) / c; w <= h; ++w) {
            const Real reached = t.survival.data()[c * w * (w - 1) / 2 + needed - 1];
            within[w] += weight * (reached - below);
            below = reached;
        }
        work.add(h + 1);
    }
    work.flush();
    finish(total, total, waited, within, sums);
}

void ArrivalWaits::finish(Real total, Real served, Real waited, const Real* within,
                          Real* sums) const {
    Real inside = 0.0;
    for (long long w = 0; w <= horizon; ++w) {
        sums[WaitLayout::first + w] += within[w];
        inside += within[w];
    }
    sums[WaitLayout::arrivals] += total;
    sums[WaitLayout::waited] += waited;
    // What is served and not within the horizon is beyond it; rounding may
    // leave a hair below 0 where nothing is.
    sums[WaitLayout::beyond] += std::max(0.0, served - inside);
}

long long ArrivalWaits::rowWidth(const ServerTables& t) const {
    return t.times * (2 + std::max<long long>(horizon, 0));
}

// Rows k of the tables of giving up and waiting, up to `rows`, for remaining
// times up to `times` (one server) or 1 (several): each from rows below it,
// and from its own row at a shorter remaining time (one server) or itself
// (several: when nobody ahead leaves and no service ends).
void ArrivalWaits::growPatience(ServerTables& t, const ArrivalInputs& in, long long rows,
                                long long times) {
    const Real p = in.abandonment;
    if (t.patience != p || t.times < times) {
        t.patience = p;
        t.times = times;
        t.ready = 0;
    }
    if (rows <= t.ready) return;
    const long long h = std::max<long long>(horizon, 0);
    const long long R = t.times;
    const long long width = rowWidth(t);
    if (rows > maximumHeapCells / (width + 1)) abortOutOfMemory();
    Real* table = t.rows.reserve(rows * width);
    Real* fresh = t.fresh.reserve(rows * (2 + h));
    const bool one = t.servers == 1;
    const Cells s = cellsOf(in.durations);
    const long long c = t.servers;
    const Real* endings = t.endings.data();
    const Real stay = 1 - p;
    Real* acc = patienceCells.reserve(2 + h);
    WorkMeter work;
    for (long long k = t.ready; k < rows; ++k) {
        // binomial(k, p): those of the k ahead that give up in a step.
        Support gone = binomialSupport(static_cast<int>(k), p);
        Real* pg = abandonCells.reserve(gone.length);
        const Real* logTable = logsUpTo(k);
        fillBinomial(static_cast<int>(k), p, [logTable](int m) { return logTable[m]; }, pg);
        const KeptCells kept =
            withoutNegligibleEnds(pg, static_cast<int>(gone.length), negligibleAbandonments);
        pg += kept.first;
        gone = {gone.offset + kept.first, kept.length};
        Real* row = table + k * width;
        auto gives = [&](long long kk, long long r) { return table[kk * width + r]; };
        auto waitedOf = [&](long long kk, long long r) { return table[kk * width + R + r]; };
        auto withinOf = [&](long long kk, long long r) {
            return table + kk * width + 2 * R + r * h;
        };
        for (long long r = 0; r < (one ? R : 1); ++r) {
            std::fill(acc, acc + 2 + h, 0.0);  // gives, waited, within w = 1 .. h
            Real self = 0.0;                   // several: the weight of staying as it is
            for (long long g = 0; g < gone.length; ++g) {
                const Real pA = pg[g];
                if (!(pA > 0)) continue;
                const long long left = k - (gone.offset + g);  // still ahead
                auto add = [&](Real weight, long long kk, long long rr) {
                    const Real served = 1 - gives(kk, rr);
                    acc[0] += weight * gives(kk, rr);
                    acc[1] += weight * (served + waitedOf(kk, rr));
                    const Real* w = withinOf(kk, rr);
                    for (long long v = 1; v < h; ++v) acc[2 + v] += weight * w[v - 1];
                };
                auto addFresh = [&](Real weight, long long kk) {
                    const Real* f = fresh + kk * (2 + h);
                    acc[0] += weight * f[0];
                    acc[1] += weight * (1 - f[0] + f[1]);
                    for (long long v = 1; v < h; ++v) acc[2 + v] += weight * f[2 + v - 1];
                };
                auto servedNow = [&](Real weight) {
                    acc[1] += weight;
                    if (h >= 1) acc[2] += weight;
                };
                if (one) {
                    if (r > 0) {
                        add(pA, left, r - 1);  // the service goes on
                    } else if (left == 0) {
                        servedNow(pA);  // it ends, and the arrival is next
                    } else {
                        addFresh(pA, left - 1);  // the next ahead starts a service
                    }
                    continue;
                }
                for (long long e = 0; e <= c; ++e) {
                    const Real weight = pA * endings[e];
                    if (!(weight > 0)) continue;
                    if (left < e) {
                        servedNow(weight);
                    } else if (left - e == k) {
                        self += weight;  // nobody leaves: the row itself
                    } else {
                        add(weight, left - e, 0);
                    }
                }
            }
            work.add(gone.length * (one ? 1 : c + 1) * (h + 2));
            // It gives up first with chance p; otherwise the step above.
            const Real loop = stay * self;
            const Real givesUp = (p + stay * acc[0]) / (1 - loop);
            row[r] = givesUp;
            row[R + r] = stay * (acc[1] + self * (1 - givesUp)) / (1 - loop);
            Real* within = row + 2 * R + r * h;
            for (long long v = 0; v < h; ++v)
                within[v] = stay * (acc[2 + v] + (v > 0 ? self * within[v - 1] : 0.0));
        }
        if (one) {
            // Over a service that starts: the durations' mix of the rows.
            Real* f = fresh + k * (2 + h);
            std::fill(f, f + 2 + h, 0.0);
            Real total = 0.0;
            for (long long i = 0; i < s.length; ++i) total += s.p[i];
            for (long long i = 0; i < s.length; ++i) {
                const Real pr = s.p[i] / total;
                if (!(pr > 0)) continue;
                const long long r = s.first + i - 1;
                f[0] += pr * row[r];
                f[1] += pr * row[R + r];
                for (long long v = 0; v < h; ++v) f[2 + v] += pr * row[2 * R + r * h + v];
            }
        }
    }
    work.flush();
    t.ready = rows;
}

// The waits with abandonment or a capacity, from the weights of who is ahead
// (aheadOfArrivals): an arrival with K or more ahead is blocked; one with
// fewer than c ahead is served at once; any other waits with k = n - c
// ahead of it in line (and, with one server, the remaining time of the
// service under way, a new one's or one going on).
void ArrivalWaits::limitedWaits(const ArrivalInputs& in, ServerTables& t, Real* sums,
                                Real* limits) {
    const long long h = std::max<long long>(horizon, 0);
    const long long c = in.servers;
    const long long K = in.capacity == noCapacity ? LLONG_MAX : in.capacity;
    const bool one = c == 1;
    const Cells s = cellsOf(in.durations);
    // The remaining times the tables need: a service's, and those going on.
    long long times = one ? s.first + s.length - 1 : 1;
    for (long long g = 0; one && g < goingOnUsed; ++g) {
        const Cells ell = cellsOf(goingOn.data()[g].conditional);
        times = std::max(times, ell.first + ell.length - 2);
    }
    // The most waiting ahead of an arrival that joins.
    long long rows = 0;
    const long long lastAhead = std::min(aheadFirst + aheadLength, K) - 1;
    if (lastAhead >= c) rows = lastAhead - c + 1;
    for (long long g = 0; one && g < goingOnUsed; ++g)
        rows = std::max(rows, std::min(goingOn.data()[g].z + batchLength - 1, K - 1));
    if (rows > maximumHeapCells / (times + 1)) abortOutOfMemory();
    Real* weights = initial.zeroed(std::max(1LL, rows * times));
    auto at = [&](long long k, long long r) -> Real& { return weights[k * times + r]; };

    Real total = 0.0, servedNow = 0.0, joined = 0.0;
    const Real* ahead = this->ahead.data();
    for (long long i = 0; i < aheadLength; ++i) {
        const Real w = ahead[i];
        const long long n = aheadFirst + i;
        total += w;
        if (!(w > 0) || n >= K) continue;
        joined += w;
        if (n < c) {
            servedNow += w;
        } else if (one) {
            for (long long j = 0; j < s.length; ++j) at(n - 1, s.first + j - 1) += w * s.p[j];
        } else if (c > 0) {
            at(n - c, 0) += w;
        }
    }
    const Real* survival = batchSurvival.data();
    for (long long g = 0; g < goingOnUsed; ++g) {
        const GoingOn& going = goingOn.data()[g];
        const ContinuingTimes left = continuingTimes(going.conditional);
        for (long long j = 0; j < batchLength; ++j) {
            const Real w = going.weight * survival[j];
            total += w;
            const long long n = going.z + j;  // the one in service and those before it
            if (!(w > 0) || n >= K) continue;
            joined += w;
            for (int v = 0; v < left.weights.length; ++v)
                at(n - 1, left.weights.offset + v - 1) += w * left.weights.elements[v] / left.total;
        }
    }
    Real served = servedNow, waited = 0.0, givenUp = 0.0;
    if (c == 0) {
        // Nobody is served: who joins waits for ever, or gives up.
        if (in.abandonment > 0) {
            givenUp = joined;
        } else {
            served = joined;
            if (joined > 0) waited = infinity;
        }
    } else if (rows > 0) {
        growPatience(t, in, rows, times);
    }
    Real* within = scratch.zeroed(h + 1);
    within[0] = servedNow;
    if (c > 0 && rows > 0) {
        const long long width = rowWidth(t);
        const long long R = t.times;
        Real* w = within;
        const Real* table = t.rows.data();
        for (long long k = 0; k < rows; ++k) {
            for (long long r = 0; r < times; ++r) {
                const Real weight = at(k, r);
                if (!(weight > 0)) continue;
                const Real* row = table + k * width;
                givenUp += weight * row[r];
                served += weight * (1 - row[r]);
                waited += weight * row[R + r];
                for (long long v = 0; v < h; ++v) w[1 + v] += weight * row[2 * R + r * h + v];
            }
        }
    }
    limits[LimitLayout::abandoned] += givenUp;
    finish(total, served, waited, within, sums);
}

void ArrivalWaits::add(Int node, const ArrivalInputs& in, Real* sums, Real* limits) {
    readBatch(in.batch);
    if (horizon < 0) {
        // The arrivals alone: the batch and, in expectation, the services
        // that end and come back.
        Real returned = 0.0;
        if (in.returning > 0) {
            const Pmf* marginal = lookupMarginalPmf(in.state);
            const Cells zs = cellsOf(marginal);
            for (long long k = 0; k < zs.length; ++k) {
                if (!(zs.p[k] > 0)) continue;
                const long long busy = std::min<long long>(zs.first + k, in.servers);
                const Real q =
                    std::clamp(lookupProbability(in.state->joint.elements[k], 1), 0.0, 1.0);
                returned += zs.p[k] * static_cast<Real>(busy) * q;
            }
        }
        sums[WaitLayout::arrivals] += batchMean + in.returning * returned;
        // Who gives up is known only from the waits.
        if (in.abandonment > 0)
            limits[LimitLayout::abandoned] = std::numeric_limits<Real>::quiet_NaN();
        return;
    }
    if (in.servers == 0 && in.abandonment <= 0 && in.capacity == noCapacity) {
        // Nobody is ever served: every arrival waits for ever.
        sums[WaitLayout::arrivals] += batchMean;
        sums[WaitLayout::beyond] += batchMean;
        if (batchMean > 0) sums[WaitLayout::waited] += infinity;
        return;
    }
    ServerTables& t = tablesOf(node, in);
    const bool oneServer = in.servers == 1;
    aheadOfArrivals(in, oneServer);
    if (in.abandonment > 0 || in.capacity != noCapacity) {
        limitedWaits(in, t, sums, limits);
    } else if (oneServer) {
        waitsOfOneServer(in, t, sums);
    } else {
        waitsOfSeveralServers(t, sums);
    }
}
