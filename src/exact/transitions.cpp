#include "exact/transitions.hpp"

#include <algorithm>
#include <cmath>

#include "runtime/errors.hpp"
#include "runtime/interruption.hpp"

ChainLayout layoutOfWidths(const HeapVector<int>& widths) {
    ChainLayout layout;
    for (int width : widths) {
        layout.first.push_back(layout.stride);
        layout.width.push_back(width);
        layout.stride += 1 + width;
    }
    return layout;
}

long long countCompositions(long long n, int k, long long limit) {
    long long c = 1;
    for (int i = 1; i < k; ++i) {
        // c * (n + i) / i stays exact: c is C(n + i - 1, i - 1).
        long long numerator;
        if (__builtin_mul_overflow(c, n + i, &numerator)) return -1;
        c = numerator / i;
        if (c > limit) return -1;
    }
    return c <= limit ? c : -1;
}

Real LogFactorials::operator()(long long n) {
    if (table.empty()) table.push_back(0.0);
    while (static_cast<long long>(table.size()) <= n)
        table.push_back(table.back() + std::log(static_cast<Real>(table.size())));
    return table[static_cast<std::size_t>(n)];
}

// The probability count! prod(p_i^x_i / x_i!) is taken through logs, so
// that no factorial overflows; the places take their counts from the first
// on, so the outcomes come in lexicographic order of the counts.
void fillMultinomial(int count, const Real* probabilities, int k, long long limit,
                     LogFactorials& logFactorial, HeapVector<Digit>& counts,
                     HeapVector<Real>& weights) {
    const long long outcomes = countCompositions(count, k, limit);
    if (outcomes < 0 || count > largestDigit) navro::abort(messages::tooManyStates);
    HeapVector<Real> logP(static_cast<std::size_t>(k));
    for (int i = 0; i < k; ++i) logP[static_cast<std::size_t>(i)] = std::log(probabilities[i]);
    counts.reserve(counts.size() + static_cast<std::size_t>(outcomes * k));
    weights.reserve(weights.size() + static_cast<std::size_t>(outcomes));
    HeapVector<Digit> x(static_cast<std::size_t>(k), 0);
    const Real logCount = logFactorial(count);
    auto place = [&](auto&& self, int i, int left, Real logWeight) -> void {
        const auto at = static_cast<std::size_t>(i);
        if (i == k - 1) {
            x[at] = static_cast<Digit>(left);
            const Real last = left * logP[at] - logFactorial(left);
            counts.insert(counts.end(), x.begin(), x.end());
            weights.push_back(std::exp(logCount + logWeight + last));
            return;
        }
        for (int c = 0; c <= left; ++c) {
            x[at] = static_cast<Digit>(c);
            self(self, i + 1, left - c, logWeight + c * logP[at] - logFactorial(c));
        }
    };
    place(place, 0, count, 0.0);
}

namespace {
// A count that must fit a digit.
Digit digitOf(long long count) {
    if (count < 0 || count > largestDigit) navro::abort(messages::tooManyStates);
    return static_cast<Digit>(count);
}
}  // namespace

TransitionGenerator::TransitionGenerator(const ChainSettings& _settings, const ChainLayout& _layout,
                                         long long _largestRow)
    : settings(_settings),
      layout(_layout),
      largestRow(_largestRow),
      keyWidth(_layout.stride + 2 * _layout.nodeCount()) {
    const int n = settings.nodeCount();
    if (layout.nodeCount() != n) abortInternal();
    scratch.resize(static_cast<std::size_t>(keyWidth));
    durationValues.resize(static_cast<std::size_t>(n));
    durationProbabilities.resize(static_cast<std::size_t>(n));
    durationTables.resize(static_cast<std::size_t>(n));
    destinations.resize(static_cast<std::size_t>(n));
    routeProbabilities.resize(static_cast<std::size_t>(n));
    exitPossible.resize(static_cast<std::size_t>(n));
    routingTables.resize(static_cast<std::size_t>(n));
    for (int node = 0; node < n; ++node) {
        const NodeSettings& s = settings.nodes[static_cast<std::size_t>(node)];
        if (s.servers < 0 || s.servers > largestDigit) navro::abort(messages::tooManyStates);
        for (std::size_t k = 0; k < s.durations.size(); ++k) {
            if (!(s.durations[k] > 0)) continue;
            const Int value = s.durationsOffset + static_cast<Int>(k);
            if (value < 1 || value > layout.width[static_cast<std::size_t>(node)]) abortInternal();
            durationValues[static_cast<std::size_t>(node)].push_back(value);
            durationProbabilities[static_cast<std::size_t>(node)].push_back(s.durations[k]);
        }
        if (durationValues[static_cast<std::size_t>(node)].empty()) abortInternal();
        durationTables[static_cast<std::size_t>(node)].resize(static_cast<std::size_t>(s.servers) +
                                                              1);
        // Added in column order, as the routing check adds them.
        Real routed = 0.0;
        for (int d = 0; d < n; ++d) {
            const Real r = settings.route(node, d);
            routed += r;
            if (!(r > 0)) continue;
            destinations[static_cast<std::size_t>(node)].push_back(d);
            routeProbabilities[static_cast<std::size_t>(node)].push_back(r);
        }
        exitPossible[static_cast<std::size_t>(node)] = 1.0 - routed > 0;
        if (exitPossible[static_cast<std::size_t>(node)])
            routeProbabilities[static_cast<std::size_t>(node)].push_back(1.0 - routed);
        routingTables[static_cast<std::size_t>(node)].resize(static_cast<std::size_t>(s.servers) +
                                                             1);
    }
}

void TransitionGenerator::fillDraws(Draws& draws, int count,
                                    const HeapVector<Real>& probabilities) {
    const int k = static_cast<int>(probabilities.size());
    // A fill that failed half way left its part behind.
    draws.counts.clear();
    draws.weights.clear();
    fillMultinomial(count, probabilities.data(), k, largestRow, logFactorial, draws.counts,
                    draws.weights);
    draws.categories = k;
    draws.built = true;
}

const TransitionGenerator::Draws& TransitionGenerator::durationDraws(int node, int count) {
    Draws& draws = durationTables[static_cast<std::size_t>(node)][static_cast<std::size_t>(count)];
    if (!draws.built)
        fillDraws(draws, count, durationProbabilities[static_cast<std::size_t>(node)]);
    return draws;
}

const TransitionGenerator::Draws& TransitionGenerator::routingDraws(int source, int count) {
    Draws& draws = routingTables[static_cast<std::size_t>(source)][static_cast<std::size_t>(count)];
    if (!draws.built) fillDraws(draws, count, routeProbabilities[static_cast<std::size_t>(source)]);
    return draws;
}

long long TransitionGenerator::busyAt(const Digit* state, int node) const {
    const Digit* m = state + layout.first[static_cast<std::size_t>(node)];
    long long busy = 0;
    for (int r = 1; r <= layout.width[static_cast<std::size_t>(node)]; ++r) busy += m[r];
    return busy;
}

// Servers cut below the services under way keep `servers` of them, each set
// of that size equally likely, and the others wait again; servers added
// take up waiting entities at once, each with a whole new service.
void TransitionGenerator::reconcile(int node) {
    const NodeSettings& s = settings.nodes[static_cast<std::size_t>(node)];
    const long long c = s.servers;
    const int at = layout.first[static_cast<std::size_t>(node)];
    const int width = layout.width[static_cast<std::size_t>(node)];
    bool needed = false;
    for (std::uint32_t i = 0; i < from->size() && !needed; ++i) {
        const long long busy = busyAt(from->key(i), node);
        needed = busy > c || (busy < c && from->key(i)[at] > 0);
    }
    if (!needed) return;
    begin();
    Digit* key = scratch.data();
    for (std::uint32_t i = 0; i < from->size(); ++i) {
        const Digit* source = from->key(i);
        const Real weight = from->weight(i);
        std::copy(source, source + keyWidth, key);
        const long long busy = busyAt(source, node);
        const long long waiting = source[at];
        if (busy > c) {
            key[at] = digitOf(waiting + busy - c);
            // Kept services k_r of the m_r by remaining time r, with
            // probability prod C(m_r, k_r) / C(busy, c).
            const Real logAll = logFactorial(busy) - logFactorial(c) - logFactorial(busy - c);
            auto keep = [&](auto&& self, int r, long long left, Real logWays) -> void {
                if (r > width) {
                    if (left == 0) to->add(key, weight * std::exp(logWays - logAll));
                    return;
                }
                const long long m = source[at + r];
                for (long long k = 0; k <= std::min(left, m); ++k) {
                    key[at + r] = static_cast<Digit>(k);
                    self(self, r + 1, left - k,
                         logWays + logFactorial(m) - logFactorial(k) - logFactorial(m - k));
                }
                key[at + r] = source[at + r];
            };
            keep(keep, 1, c, 0.0);
        } else if (busy < c && waiting > 0) {
            const long long starting = std::min(waiting, c - busy);
            key[at] = static_cast<Digit>(waiting - starting);
            const Draws& draws = durationDraws(node, static_cast<int>(starting));
            const auto& values = durationValues[static_cast<std::size_t>(node)];
            for (std::size_t j = 0; j < draws.size(); ++j) {
                const Digit* x =
                    draws.counts.data() + j * static_cast<std::size_t>(draws.categories);
                for (int v = 0; v < draws.categories; ++v)
                    key[at + values[static_cast<std::size_t>(v)]] =
                        static_cast<Digit>(source[at + values[static_cast<std::size_t>(v)]] + x[v]);
                to->add(key, weight * draws.weights[j]);
            }
        } else {
            to->add(key, weight);
        }
    }
    end();
}

// The entities whose services end at `source` (the servers with one unit
// left), each routed on its own: counted in the destinations' inbound
// digits; those that leave are simply gone.
void TransitionGenerator::route(int source) {
    const auto& targets = destinations[static_cast<std::size_t>(source)];
    if (targets.empty()) return;
    const int ends = layout.first[static_cast<std::size_t>(source)] + 1;
    bool any = false;
    for (std::uint32_t i = 0; i < from->size() && !any; ++i) any = from->key(i)[ends] > 0;
    if (!any) return;
    begin();
    Digit* key = scratch.data();
    for (std::uint32_t i = 0; i < from->size(); ++i) {
        const Digit* state = from->key(i);
        const Real weight = from->weight(i);
        const int d = state[ends];
        if (d == 0) {
            to->add(state, weight);
            continue;
        }
        const Draws& draws = routingDraws(source, d);
        for (std::size_t j = 0; j < draws.size(); ++j) {
            std::copy(state, state + keyWidth, key);
            const Digit* x = draws.counts.data() + j * static_cast<std::size_t>(draws.categories);
            for (std::size_t t = 0; t < targets.size(); ++t) {
                Digit& inbound = key[layout.stride + targets[t]];
                inbound = digitOf(static_cast<long long>(inbound) + x[t]);
            }
            to->add(key, weight * draws.weights[j]);
        }
    }
    end();
}

// Every service goes one unit on: remaining time r becomes r - 1, and
// those at 1 are over.
void TransitionGenerator::shift() {
    begin();
    Digit* key = scratch.data();
    for (std::uint32_t i = 0; i < from->size(); ++i) {
        std::copy(from->key(i), from->key(i) + keyWidth, key);
        for (int node = 0; node < layout.nodeCount(); ++node) {
            Digit* m = key + layout.first[static_cast<std::size_t>(node)];
            const int width = layout.width[static_cast<std::size_t>(node)];
            std::copy(m + 2, m + width + 1, m + 1);
            m[width] = 0;
        }
        to->add(key, from->weight(i));
    }
    end();
}

// Each of the w waiting gives up with probability p: w - a stay with
// probability C(w, a) p^a (1 - p)^(w - a). Returns the expected number that
// give up.
Real TransitionGenerator::abandon(int node) {
    const Real p = settings.nodes[static_cast<std::size_t>(node)].abandonment;
    if (!(p > 0)) return 0.0;
    const int at = layout.first[static_cast<std::size_t>(node)];
    Real expected = 0.0;
    bool any = false;
    for (std::uint32_t i = 0; i < from->size() && !any; ++i) any = from->key(i)[at] > 0;
    if (!any) return 0.0;
    const Real logGo = std::log(p), logStay = std::log1p(-p);
    begin();
    Digit* key = scratch.data();
    for (std::uint32_t i = 0; i < from->size(); ++i) {
        const Digit* state = from->key(i);
        const Real weight = from->weight(i);
        const long long waiting = state[at];
        expected += weight * p * static_cast<Real>(waiting);
        std::copy(state, state + keyWidth, key);
        if (waiting == 0 || p >= 1) {
            key[at] = 0;
            to->add(key, weight);
            continue;
        }
        for (long long a = 0; a <= waiting; ++a) {
            key[at] = static_cast<Digit>(waiting - a);
            const Real logWays =
                logFactorial(waiting) - logFactorial(a) - logFactorial(waiting - a);
            to->add(key, weight * std::exp(logWays + static_cast<Real>(a) * logGo +
                                           static_cast<Real>(waiting - a) * logStay));
        }
    }
    end();
    return expected;
}

void TransitionGenerator::arrive(int node) {
    const NodeSettings& s = settings.nodes[static_cast<std::size_t>(node)];
    if (s.arrivalsOffset == 0 && s.arrivals.size() == 1) return;  // never anyone
    begin();
    Digit* key = scratch.data();
    const int at = layout.stride + node;
    for (std::uint32_t i = 0; i < from->size(); ++i) {
        const Digit* state = from->key(i);
        const Real weight = from->weight(i);
        std::copy(state, state + keyWidth, key);
        for (std::size_t k = 0; k < s.arrivals.size(); ++k) {
            const Real p = s.arrivals[k];
            if (!(p > 0)) continue;
            key[at] = digitOf(static_cast<long long>(state[at]) + s.arrivalsOffset +
                              static_cast<long long>(k));
            to->add(key, weight * p);
        }
    }
    end();
}

// The step's arrivals join the line, as many as the capacity leaves room
// for, and every free server takes the next waiting entity; their
// services' durations are drawn in the next part. Returns the expected
// number of arrivals blocked.
Real TransitionGenerator::admit(int node) {
    const NodeSettings& s = settings.nodes[static_cast<std::size_t>(node)];
    const int at = layout.first[static_cast<std::size_t>(node)];
    const int inboundAt = layout.stride + node;
    Real blocked = 0.0;
    begin();
    Digit* key = scratch.data();
    for (std::uint32_t i = 0; i < from->size(); ++i) {
        const Digit* state = from->key(i);
        std::copy(state, state + keyWidth, key);
        const long long busy = busyAt(state, node);
        long long joining = state[inboundAt];
        if (s.capacity >= 0) {
            const long long room = std::max(0LL, s.capacity - busy - state[at]);
            if (joining > room) {
                blocked += from->weight(i) * static_cast<Real>(joining - room);
                joining = room;
            }
        }
        const long long line = static_cast<long long>(state[at]) + joining;
        const long long starting = std::min(line, s.servers - busy);
        key[inboundAt] = 0;
        key[at] = digitOf(line - starting);
        key[pendingDigit(node)] = digitOf(starting);
        to->add(key, from->weight(i));
    }
    end();
    return blocked;
}

void TransitionGenerator::start(const Digit* key) {
    from->clear(keyWidth, largestRow);
    from->add(key, 1.0);
}

const Outcomes& TransitionGenerator::drawDurations(int node, const Digit* outcome) {
    std::copy(outcome, outcome + keyWidth, scratch.data());
    start(scratch.data());
    const int pending = outcome[pendingDigit(node)];
    if (pending == 0) return *from;
    const int at = layout.first[static_cast<std::size_t>(node)];
    const auto& values = durationValues[static_cast<std::size_t>(node)];
    const Draws& draws = durationDraws(node, pending);
    begin();
    Digit* key = scratch.data();
    key[pendingDigit(node)] = 0;
    for (std::size_t j = 0; j < draws.size(); ++j) {
        const Digit* x = draws.counts.data() + j * static_cast<std::size_t>(draws.categories);
        for (int v = 0; v < draws.categories; ++v) {
            const int r = at + values[static_cast<std::size_t>(v)];
            key[r] = static_cast<Digit>(outcome[r] + x[v]);
        }
        to->add(key, draws.weights[j]);
    }
    end();
    interruptionPoint(static_cast<long long>(draws.size()) * keyWidth);
    return *from;
}

const Outcomes& TransitionGenerator::beginStep(const Digit* state, Real* flows) {
    const int nodes = layout.nodeCount();
    std::copy(state, state + layout.stride, scratch.data());
    std::fill(scratch.data() + layout.stride, scratch.data() + keyWidth, Digit{0});
    start(scratch.data());
    for (int node = 0; node < nodes; ++node) reconcile(node);
    for (int node = 0; node < nodes; ++node) {
        const int endsAt = layout.first[static_cast<std::size_t>(node)] + 1;
        Real total = 0.0;
        for (std::uint32_t i = 0; i < from->size(); ++i)
            total += from->weight(i) * from->key(i)[endsAt];
        flows[endsFlow * nodes + node] = total;
    }
    for (int node = 0; node < nodes; ++node) route(node);
    shift();
    for (int node = 0; node < nodes; ++node) flows[abandonedFlow * nodes + node] = abandon(node);
    for (int node = 0; node < nodes; ++node) arrive(node);
    for (int node = 0; node < nodes; ++node) flows[blockedFlow * nodes + node] = admit(node);
    interruptionPoint(static_cast<long long>(from->size()) * keyWidth);
    return *from;
}
