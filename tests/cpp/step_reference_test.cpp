// The step of both models against its loop nest written out plainly: every
// outcome (z, d, phi, a, entity_is_old, ell') walked one by one, with a
// binomial, a Bernoulli and a relabelled conditional built where it is used,
// and poured into accumulators; every flow between two nodes formed, zero
// routes included. On random stations and networks the model's new states
// must have the same keys (so the same tail cuts) and probabilities within
// 1e-12, and a step that the plain walk refuses must be refused alike.
#include <algorithm>
#include <cmath>
#include <functional>
#include <map>
#include <random>
#include <utility>
#include <vector>

#include "distributions/distributions.hpp"
#include "models/standard_multiserver.hpp"
#include "models/standard_network_multiserver.hpp"
#include "pmf/accumulator.hpp"
#include "test_support.hpp"

namespace {

// --- the plain walk ------------------------------------------------------

template <typename Visit>
void eachValue(const Pmf* pmf, Visit&& visit) {
    for (int k = 0; k < pmf->simple.length; ++k) {
        if (pmf->simple.elements[k] > 0) visit(pmf->simple.offset + k, pmf->simple.elements[k]);
    }
}

Pmf* relabelled(NObject* obj, Pmf* state, Int z) {
    SimpleAccumulator out(obj);
    eachValue(lookupConditionalPmf1(state, z), [&](Int ell, Real p) {
        if (ell != 1) out.putSingle(p, ell - 1);
    });
    return out.toPmf();
}

struct Node {
    Pmf* state;
    Int servers;
    Pmf* arrivals;
    Pmf* durations;
    Real back;  // routing probability to itself
};

// visit(z, d, z', weight) for every (z, d, phi, a).
void walk(NObject* obj, const Node& n, const std::function<void(Int, Int, Int, Real)>& visit) {
    eachValue(lookupMarginalPmf(n.state), [&](Int z, Real pz) {
        const Real q = lookupProbability(lookupConditionalPmf1(n.state, z), 1);
        eachValue(binomial(obj, std::min(z, n.servers), q), [&](Int d, Real pd) {
            eachValue(binomial(obj, d, n.back), [&](Int phi, Real pphi) {
                eachValue(n.arrivals, [&](Int a, Real pa) {
                    visit(z, d, z - d + phi + a, pa * (pphi * (pd * pz)));
                });
            });
        });
    });
}

Pmf* nodeStep(NObject* obj, const Node& n) {
    SimpleAccumulator next(obj);
    walk(obj, n, [&](Int, Int, Int zprime, Real w) { next.putSingle(w, zprime); });
    Pmf* p = next.toPmf();
    const Int left = computeLeftTail(p, 1e-8 / 2);
    const Int right = computeRightTail(p, 1e-8 / 2);
    JointAccumulator state(obj, 2);
    walk(obj, n, [&](Int z, Int d, Int zprime, Real w) {
        if (zprime < left || zprime > right) return;
        if (zprime == 0 || n.servers == 0) {
            eachValue(n.durations, [&](Int ell, Real pl) { state.putDouble(w * pl, zprime, ell); });
            return;
        }
        const Real r = Real(std::min(z, n.servers) - d) / std::min(n.servers, zprime);
        eachValue(bernoulli(obj, r), [&](Int old, Real pe) {
            eachValue(old == 1 ? relabelled(obj, n.state, z) : n.durations,
                      [&](Int ell, Real pl) { state.putDouble(pl * (pe * w), zprime, ell); });
        });
    });
    return state.toPmf();
}

Pmf* convolution(NObject* obj, Pmf* p, Pmf* q) {
    SimpleAccumulator out(obj);
    eachValue(p, [&](Int x, Real px) {
        eachValue(q, [&](Int y, Real py) { out.putSingle(px * py, x + y); });
    });
    return out.toPmf();
}

Pmf* flow(NObject* obj, const Node& source, Real r) {
    SimpleAccumulator out(obj);
    eachValue(lookupMarginalPmf(source.state), [&](Int z, Real pz) {
        const Real q = lookupProbability(lookupConditionalPmf1(source.state, z), 1);
        eachValue(binomial(obj, std::min(z, source.servers), q), [&](Int d, Real pd) {
            eachValue(binomial(obj, d, r),
                      [&](Int phi, Real pphi) { out.putSingle(pphi * (pd * pz), phi); });
        });
    });
    return out.toPmf();
}

std::vector<Pmf*> networkStep(NObject* obj, std::vector<Node> nodes,
                              const std::vector<std::vector<Real>>& routing) {
    const std::size_t n = nodes.size();
    std::vector<Pmf*> inflow(n, createAtomicSimplePmf(obj, 0));
    for (std::size_t s = 0; s < n; ++s) {
        for (std::size_t d = 0; d < n; ++d) {
            if (d != s) inflow[d] = convolution(obj, inflow[d], flow(obj, nodes[s], routing[s][d]));
        }
    }
    std::vector<Pmf*> next;
    for (std::size_t i = 0; i < n; ++i) {
        nodes[i].arrivals = convolution(obj, nodes[i].arrivals, inflow[i]);
        next.push_back(nodeStep(obj, nodes[i]));
    }
    return next;
}

// --- random models and the comparison --------------------------------------

using Joint = std::map<std::pair<Int, Int>, Real>;

Joint jointOf(Pmf* state) {
    Joint out;
    eachValue(lookupMarginalPmf(state), [&](Int z, Real pz) {
        eachValue(lookupConditionalPmf1(state, z),
                  [&](Int ell, Real pl) { out[{z, ell}] = pz * pl; });
    });
    return out;
}

void expectClose(Pmf* got, Pmf* want) {
    const Joint g = jointOf(got), w = jointOf(want);
    ASSERT_EQ(g.size(), w.size());
    for (const auto& [key, p] : w) {
        ASSERT_EQ(g.count(key), 1u) << key.first << ", " << key.second;
        EXPECT_NEAR(g.at(key), p, 1e-12) << key.first << ", " << key.second;
    }
}

struct Random {
    std::mt19937 engine;
    explicit Random(unsigned seed) : engine(seed) {}
    int between(int low, int high) { return std::uniform_int_distribution<int>(low, high)(engine); }
    Real uniform() { return std::uniform_real_distribution<Real>(0.0, 1.0)(engine); }

    // Weights at a few values of low .. high, or a Poisson of a random mean
    // cut at 1e-12, normalised as a converted dict is.
    Pmf* simple(NObject* obj, int low, int high) {
        SimpleAccumulator out(obj);
        if (low == 0 && between(0, 2) == 0) {
            const Real mean = 0.2 + 6 * uniform();
            Real p = std::exp(-mean), total = 0;
            for (int k = 0; 1 - total >= 1e-12; ++k, p *= mean / k) {
                out.putSingle(p, k);
                total += p;
            }
        } else {
            for (int k = between(1, 5); k > 0; --k)
                out.putSingle(0.01 + uniform(), between(low, high));
        }
        return out.toPmf();
    }

    // A state as a caller may write it, now and then with a remaining time
    // of 0, which a service that goes on cannot relabel.
    Pmf* state(NObject* obj) {
        JointAccumulator out(obj, 2);
        const int zero = between(0, 9) == 0 ? 0 : 1;
        for (int k = between(1, 12); k > 0; --k) {
            out.putDouble(0.01 + uniform(), between(0, 30), between(zero, 9));
        }
        return out.toPmf();
    }
};

// Runs `step` and `reference`; both fail with the same message, or the
// model's new states equal the reference's.
void compareStep(const std::function<std::vector<Pmf*>()>& step,
                 const std::function<std::vector<Pmf*>()>& reference) {
    const char* ours = nullptr;
    const char* theirs = nullptr;
    std::vector<Pmf*> got, want;
    try {
        got = step();
    } catch (const CException& e) {
        ours = e.message;
    }
    try {
        want = reference();
    } catch (const CException& e) {
        theirs = e.message;
    }
    ASSERT_EQ(ours == nullptr, theirs == nullptr) << (ours ? ours : theirs);
    if (ours != nullptr) {
        EXPECT_STREQ(ours, theirs);
        return;
    }
    ASSERT_EQ(got.size(), want.size());
    for (std::size_t i = 0; i < got.size(); ++i) {
        SCOPED_TRACE(i);
        expectClose(got[i], want[i]);
    }
}

}  // namespace

TEST(StepAgainstThePlainWalk, RandomStations) {
    Random random(2026);
    for (int trial = 0; trial < 300; ++trial) {
        SCOPED_TRACE(trial);
        _StandardMultiserver_object self{};
        initializeMemoryContext(&self.header, nullptr, nullptr, nullptr);
        _StandardMultiserver_setDefaults(&self);
        _StandardMultiserver_init(&self);
        NObject* obj = &self.header;
        self._numberOfServers =
            random.between(0, 3) == 0 ? random.between(0, 2) : random.between(1, 40);
        self._numberOfArrivalsPmf = random.simple(obj, 0, 8);
        self._serviceDurationPmf = random.simple(obj, 1, 9);
        self._internalState = random.state(obj);
        for (int step = 0; step < 6; ++step) {
            SCOPED_TRACE(step);
            const Node node{self._internalState, self._numberOfServers, self._numberOfArrivalsPmf,
                            self._serviceDurationPmf, 0.0};
            compareStep(
                [&] {
                    _StandardMultiserver_step(&self);
                    return std::vector<Pmf*>{self._internalState};
                },
                [&] { return std::vector<Pmf*>{nodeStep(obj, node)}; });
            if (HasFailure()) break;
        }
        _StandardMultiserver_releaseWorkspace(&self);
        release(obj);
        if (HasFailure()) return;
    }
}

// The count 3 cannot relabel a service that goes on (its remaining time of
// 0), but every outcome with one lies beyond the right tail cut, so the walk
// never asks for it: the step goes through.
TEST(StepAgainstThePlainWalk, ContinuingOnlyBeyondTheCut) {
    TestContext obj;
    _StandardMultiserver_object self{};
    initializeMemoryContext(&self.header, nullptr, nullptr, nullptr);
    _StandardMultiserver_setDefaults(&self);
    _StandardMultiserver_init(&self);
    JointAccumulator state(obj.get(), 2);
    state.putDouble(1 - 1e-9, 2, 2);
    state.putDouble(5e-10, 3, 0);
    state.putDouble(5e-10, 3, 1);
    self._internalState = state.toPmf();
    self._numberOfServers = 1;
    self._numberOfArrivalsPmf = createAtomicSimplePmf(obj.get(), 0);
    const Node node{self._internalState, 1, self._numberOfArrivalsPmf, self._serviceDurationPmf,
                    0.0};
    compareStep(
        [&] {
            _StandardMultiserver_step(&self);
            return std::vector<Pmf*>{self._internalState};
        },
        [&] { return std::vector<Pmf*>{nodeStep(obj.get(), node)}; });
    _StandardMultiserver_releaseWorkspace(&self);
    release(&self.header);
}

TEST(StepAgainstThePlainWalk, RandomNetworks) {
    Random random(1913);
    for (int trial = 0; trial < 150; ++trial) {
        SCOPED_TRACE(trial);
        const Int n = random.between(1, 4);
        _StandardNetworkMultiserver_object self{};
        initializeMemoryContext(&self.header, nullptr, nullptr, nullptr);
        _StandardNetworkMultiserver_setDefaults(&self);
        _StandardNetworkMultiserver_init(&self, n);
        NObject* obj = &self.header;
        std::vector<std::vector<Real>> routing(n, std::vector<Real>(n, 0.0));
        for (Int i = 0; i < n; ++i) {
            lookup(self._numberOfServers, i) = random.between(0, 12);
            lookup(self._numberOfExternalArrivalsPmfs, i) = random.simple(obj, 0, 4);
            lookup(self._serviceDurationPmfs, i) = random.simple(obj, 1, 6);
            lookup(self._internalState, i) = random.state(obj);
            // Some routes, the diagonal among them, share at most 0.95.
            for (Int j = 0; j < n; ++j) {
                if (random.between(0, 2) == 0) routing[i][j] = 0.95 * random.uniform() / n;
                lookup(lookup(self._routingProbabilities, i), j) = routing[i][j];
            }
        }
        for (int step = 0; step < 4; ++step) {
            SCOPED_TRACE(step);
            std::vector<Node> nodes;
            for (Int i = 0; i < n; ++i) {
                nodes.push_back({lookup(self._internalState, i), lookup(self._numberOfServers, i),
                                 lookup(self._numberOfExternalArrivalsPmfs, i),
                                 lookup(self._serviceDurationPmfs, i), routing[i][i]});
            }
            compareStep(
                [&] {
                    _StandardNetworkMultiserver_step(&self);
                    return std::vector<Pmf*>(self._internalState->elements,
                                             self._internalState->elements + n);
                },
                [&] { return networkStep(obj, nodes, routing); });
            if (HasFailure()) break;
        }
        _StandardNetworkMultiserver_releaseWorkspace(&self);
        release(obj);
        if (HasFailure()) return;
    }
}
