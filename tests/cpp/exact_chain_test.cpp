// The exact chain driven without an interpreter: its hash map against a
// plain one, the worst case of the design's maps, the rule for servers cut
// or added between periods, and failures at every heap request.
#include <cmath>
#include <map>
#include <random>
#include <vector>

#include "exact/chain.hpp"
#include "exact/model_chain.hpp"
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
                const auto [at, inserted] = plain.emplace(key, static_cast<std::uint32_t>(plain.size()));
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
