// The exact chain driven without an interpreter: its hash map against a
// plain one, the worst case of the maps, snapshots across a wider layout,
// and runs failing at every heap request and stopped at every interruption
// point.
#include <cmath>
#include <map>
#include <random>
#include <vector>

#include "exact/chain.hpp"
#include "exact/model_chain.hpp"
#include "runtime/interruption.hpp"
#include "test_support.hpp"

namespace {

HeapVector<Real> values(std::initializer_list<Real> list) { return HeapVector<Real>(list); }

NodeSettings node(Int servers, Int arrivalsOffset, std::initializer_list<Real> arrivals,
                  Int durationsOffset, std::initializer_list<Real> durations) {
    NodeSettings n;
    n.servers = servers;
    n.arrivalsOffset = arrivalsOffset;
    n.arrivals = values(arrivals);
    n.durationsOffset = durationsOffset;
    n.durations = values(durations);
    return n;
}

ChainSettings station(NodeSettings n) {
    ChainSettings s;
    s.nodes.push_back(std::move(n));
    s.routing.push_back(0.0);
    return s;
}

// A chain started empty (nobody present) under `settings`.
void startEmpty(ExactChain& chain, const ChainSettings& settings) {
    HeapVector<int> widths;
    for (const NodeSettings& n : settings.nodes) widths.push_back(n.longestDuration());
    chain.beginStart(widths);
    HeapVector<Digit> key(static_cast<std::size_t>(chain.layout().stride), 0);
    chain.addStart(key.data(), 1.0);
    chain.finishStart();
    chain.useSettings(settings);
}

std::vector<Real> presentAt(const ExactChain& chain, int n) {
    HeapVector<Real> out;
    chain.presentDistribution(n, out);
    return {out.begin(), out.end()};
}

}  // namespace

TEST(KeyTable, NumbersKeysAsAPlainMapDoes) {
    std::mt19937 random(7);
    for (int width : {1, 3, 4, 9}) {
        KeyTable table(width);
        std::map<std::vector<Digit>, std::uint32_t> plain;
        for (int round = 0; round < 3; ++round) {
            for (int i = 0; i < 3000; ++i) {
                std::vector<Digit> key(static_cast<std::size_t>(width));
                for (Digit& d : key) d = static_cast<Digit>(random() % 7);
                const auto found = table.insert(key.data());
                const auto [at, inserted] =
                    plain.emplace(key, static_cast<std::uint32_t>(plain.size()));
                EXPECT_EQ(found.inserted, inserted);
                EXPECT_EQ(found.index, at->second);
                EXPECT_EQ(table.find(key.data()), at->second);
            }
            for (const auto& [key, index] : plain)
                EXPECT_TRUE(std::equal(key.begin(), key.end(), table.key(index)));
            table.clear();
            plain.clear();
        }
    }
}

// Two servers, services of exactly 2, one arrival a step: the servers run
// in step, so 2 are present with certainty from time 2 on.
TEST(ExactChain, LockstepServersHoldTwo) {
    ExactChain chain(1000, 1e-15);
    startEmpty(chain, station(node(2, 1, {1.0}, 2, {1.0})));
    for (int t = 1; t <= 50; ++t) {
        chain.step();
        const std::vector<Real> p = presentAt(chain, 0);
        if (t >= 2) {
            ASSERT_EQ(p.size(), 3u) << t;
            EXPECT_EQ(p[2], 1.0) << t;
        }
    }
    EXPECT_EQ(chain.dropped(), 0.0);
    EXPECT_LE(chain.stateCount(), 4u);
}

namespace {

// A network of three nodes with routing and feedback, a step under way,
// its state a mix of counts; as a station when `nodes` is 1.
struct Network {
    _StandardNetworkMultiserver_object self{};

    explicit Network(Int nodes) {
        initializeMemoryContext(&self.header, nullptr, nullptr, nullptr);
        _StandardNetworkMultiserver_setDefaults(&self);
        _StandardNetworkMultiserver_init(&self, nodes);
        NObject* obj = &self.header;
        for (Int i = 0; i < nodes; ++i) {
            _StandardNetworkMultiserver_setNumberOfServersAtNode(&self, i, 1 + i % 2);
            _StandardNetworkMultiserver_setServiceDurationAtNodePmf(&self, i,
                                                                    simplePmf(obj, 1, {0.5, 0.5}));
            _StandardNetworkMultiserver_resetNodeWithNumberOfEntities(&self, i, i);
        }
        _StandardNetworkMultiserver_setNumberOfExternalArrivalsAtNodePmf(
            &self, 0, simplePmf(obj, 0, {0.4, 0.4, 0.2}));
        if (nodes > 1) {
            _StandardNetworkMultiserver_setRoutingProbability(&self, 0, 1, 0.6);
            _StandardNetworkMultiserver_setRoutingProbability(&self, 1, 0, 0.3);
            _StandardNetworkMultiserver_setRoutingProbability(&self, 1, 1, 0.2);
        }
        _StandardNetworkMultiserver_memRelease(&self);
    }
    ~Network() {
        _StandardNetworkMultiserver_releaseWorkspace(&self);
        release(&self.header);
    }
    std::vector<const void*> fields() const {
        std::vector<const void*> entries{self._internalState};
        for (Int i = 0; i < self._internalState->length; ++i)
            entries.push_back(self._internalState->elements[i]);
        return entries;
    }
};

void noCheckpoint(NObject*) {}

struct Interrupted {};

}  // namespace

// Every heap request of a run, the chain's included, may fail: the run then
// raises "Out of memory", leaves the model as it was and, once the chain
// goes, nothing on the heap.
TEST(ExactRun, FailsCleanlyAtEveryHeapRequest) {
    for (Int nodes : {1, 3}) {
        SCOPED_TRACE(nodes);
        Network network(nodes);
        const auto before = network.fields();
        const Int time = network.self._time;
        const long blocks = heapBlocksInUse();
        for (long n = 1;; ++n) {
            auto* chain = new ExactChain(100000, 1e-12);
            setAllocationFailureCountdown(n);
            bool failed = false;
            try {
                _StandardNetworkMultiserver_recordExact(&network.self, noCheckpoint, *chain, 3, 1,
                                                        0, 2);
            } catch (const CException& error) {
                EXPECT_STREQ(error.message, messages::outOfMemory) << n;
                failed = true;
            }
            setAllocationFailureCountdown(0);
            delete chain;
            if (!failed) break;
            EXPECT_EQ(network.fields(), before) << n;
            EXPECT_EQ(network.self._time, time) << n;
            _StandardNetworkMultiserver_memRelease(&network.self);
            EXPECT_EQ(heapBlocksInUse(), blocks) << n;
        }
    }
}

// A run stopped at any of its interruption points leaves the model as it
// was.
TEST(ExactRun, StopsCleanlyAtEveryInterruptionPoint) {
    Network network(2);
    const auto before = network.fields();
    for (long stopAt = 1;; ++stopAt) {
        ExactChain chain(100000, 1e-12);
        long calls = 0;
        struct Context {
            long* calls;
            long stopAt;
        } context{&calls, stopAt};
        InterruptionScope scope(
            [](void* c) {
                auto* ctx = static_cast<Context*>(c);
                if (++*ctx->calls == ctx->stopAt) throw Interrupted{};
            },
            &context, 1);
        try {
            _StandardNetworkMultiserver_recordExact(&network.self, noCheckpoint, chain, 4, 1, 0, 2);
            break;
        } catch (const Interrupted&) {
        }
        EXPECT_EQ(network.fields(), before) << stopAt;
        ASSERT_LT(stopAt, 100000);
    }
}

// A snapshot taken before the settings bring longer services comes back
// whole, in the wider layout.
TEST(ExactChain, SnapshotsSurviveLongerServices) {
    ExactChain chain(10000, 0.0);
    ChainSettings shortServices = station(node(2, 0, {0.5, 0.5}, 1, {0.5, 0.5}));
    startEmpty(chain, shortServices);
    for (int t = 0; t < 3; ++t) chain.step();
    chain.mark();
    const std::vector<Real> marked = presentAt(chain, 0);
    chain.useSettings(station(node(2, 0, {0.5, 0.5}, 1, {0.5, 0.0, 0.0, 0.5})));
    EXPECT_EQ(chain.layout().width[0], 4);
    for (int t = 0; t < 3; ++t) chain.step();
    EXPECT_NE(presentAt(chain, 0), marked);
    chain.restore();
    EXPECT_EQ(presentAt(chain, 0), marked);
    Real total = 0.0;
    chain.forEachState([&](const Digit*, Real p) { total += p; });
    EXPECT_NEAR(total, 1.0, 1e-12);
}

// The simulator's deterministic case of patience and capacity: one server,
// services of exactly 2, two arrivals a step, room for 2, and every waiting
// entity gives up in its next step. Two are present after every step; one
// gives up every step from the second on, and one arrival is blocked every
// other step.
TEST(ExactChain, PatienceThinsTheWaitingAndCapacityCutsArrivals) {
    ExactChain chain(1000, 1e-15);
    NodeSettings settings = node(1, 2, {1.0}, 2, {1.0});
    settings.abandonment = 1.0;
    settings.capacity = 2;
    startEmpty(chain, station(std::move(settings)));
    for (int t = 1; t <= 9; ++t) {
        chain.prepare();
        EXPECT_EQ(chain.expectedFlow(abandonedFlow, 0), t >= 2 ? 1.0 : 0.0) << t;
        EXPECT_EQ(chain.expectedFlow(blockedFlow, 0), t % 2 == 0 ? 1.0 : 0.0) << t;
        chain.step();
        const std::vector<Real> p = presentAt(chain, 0);
        ASSERT_EQ(p.size(), 3u) << t;
        EXPECT_EQ(p[2], 1.0) << t;
    }
    // A half chance: the one waiting stays with probability one half.
    ExactChain half(1000, 1e-15);
    settings = node(1, 2, {1.0}, 3, {1.0});
    settings.abandonment = 0.5;
    startEmpty(half, station(std::move(settings)));
    half.step();
    half.prepare();
    EXPECT_DOUBLE_EQ(half.expectedFlow(abandonedFlow, 0), 0.5);
    half.step();
    const std::vector<Real> p = presentAt(half, 0);
    ASSERT_EQ(p.size(), 5u);
    EXPECT_DOUBLE_EQ(p[3], 0.5);
    EXPECT_DOUBLE_EQ(p[4], 0.5);
}
