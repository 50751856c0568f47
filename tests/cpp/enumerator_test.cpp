#include "pmf/enumerator.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <map>
#include <random>
#include <vector>

#include "pmf/accumulator.hpp"
#include "test_support.hpp"

namespace {

struct Sample {
    std::vector<Int> values;
    Real probability;
};

// Writes down every outcome it is handed; can be told to fail at the n-th.
class Recorder final : public SampleEnumerator {
public:
    explicit Recorder(Pmf* pmf) : SampleEnumerator(pmf) {}
    void recordSample() override {
        EXPECT_EQ(level, depth);
        if (--failAt == 0) navro::abort(messages::invalidValue);
        Sample s{{}, records[depth].probability};
        for (int i = 1; i <= depth; ++i) s.values.push_back(records[i].value);
        samples.push_back(s);
    }
    std::vector<Sample> samples;
    int failAt = 0;
};

std::vector<Sample> walk(Pmf* pmf) {
    Recorder r(pmf);
    r.run();
    EXPECT_EQ(r.level, 0);
    return r.samples;
}

void expectSamples(const std::vector<Sample>& actual, const std::vector<Sample>& expected) {
    ASSERT_EQ(actual.size(), expected.size());
    for (std::size_t i = 0; i < actual.size(); ++i) {
        EXPECT_EQ(actual[i].values, expected[i].values) << "sample " << i;
        EXPECT_EQ(actual[i].probability, expected[i].probability) << "sample " << i;
    }
}

TEST(SampleEnumerator, WalksPositiveOutcomesInLexicographicOrder) {
    TestContext ctx;
    NObject* obj = ctx.get();
    expectSamples(walk(simplePmf(obj, 2, {0.25, 0.0, 0.75})), {{{2}, 0.25}, {{4}, 0.75}});
    expectSamples(walk(allocateSimplePmf(obj, 0, 0)), {});
    Pmf* joint = allocateJointPmf(obj, simplePmf(obj, 1, {0.5, 0.0, 0.5}), 2);
    joint->joint.elements[0] = simplePmf(obj, 0, {0.25, 0.0, 0.75});
    joint->joint.elements[2] = simplePmf(obj, 1, {1.0});
    expectSamples(walk(joint), {{{1, 0}, 0.125}, {{1, 2}, 0.375}, {{3, 1}, 0.5}});
    expectSamples(walk(defaultJointPmf(obj, 3)), {{{0, 0, 0}, 1.0}});
    // A negative weight is skipped like a zero one.
    expectSamples(walk(simplePmf(obj, 0, {-0.5, 1.0})), {{{1}, 1.0}});

    std::vector<Sample> nan = walk(simplePmf(obj, 0, {NAN}));
    ASSERT_EQ(nan.size(), 1u);
    EXPECT_TRUE(std::isnan(nan[0].probability));
}

TEST(SampleEnumerator, RefusesCompoundAndMalformedTrees) {
    TestContext ctx;
    NObject* obj = ctx.get();
    EXPECT_RAISES(Recorder(createCompoundPmf(obj, 1, createAtomicSimplePmf(obj, 0))),
                  messages::internalError);
    // A positive marginal weight over a missing conditional.
    Pmf* broken = allocateJointPmf(obj, simplePmf(obj, 0, {1.0}), 2);
    Recorder r(broken);
    EXPECT_RAISES(r.run(), messages::internalError);
    EXPECT_EQ(r.level, 0);
}

TEST(SampleEnumerator, AnErrorStopsTheWalkAndItCanRunAgain) {
    TestContext ctx;
    Recorder r(simplePmf(ctx.get(), 0, {0.25, 0.25, 0.5}));
    r.failAt = 2;
    EXPECT_RAISES(r.run(), messages::invalidValue);
    EXPECT_EQ(r.samples.size(), 1u);
    EXPECT_EQ(r.level, 0);
    r.run();
    EXPECT_EQ(r.samples.size(), 4u);
}

// What an accumulator builds, the walk gives back: random weighted triples
// come out once each, in order, as their normalised weights.
TEST(SampleEnumerator, RoundTripsThroughAnAccumulator) {
    TestContext ctx;
    std::mt19937 random(7);
    std::uniform_int_distribution<Int> values(0, 6);
    std::uniform_real_distribution<Real> weights(0.01, 1.0);
    JointAccumulator a(ctx.get(), 3);
    std::map<std::vector<Int>, Real> naive;
    for (int i = 0; i < 200; ++i) {
        std::vector<Int> v{values(random), values(random), values(random)};
        Real w = weights(random);
        a.put(w, v[0], v[1], v[2]);
        naive[v] += w;
    }
    Real total = 0;
    for (auto& item : naive) total += item.second;
    std::vector<Sample> samples = walk(a.toPmf());
    ASSERT_EQ(samples.size(), naive.size());
    auto expected = naive.begin();
    for (const Sample& s : samples) {
        EXPECT_EQ(s.values, expected->first);
        EXPECT_NEAR(s.probability, expected->second / total, 1e-15);
        ++expected;
    }
}

}  // namespace
