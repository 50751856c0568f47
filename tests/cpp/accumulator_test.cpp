#include "pmf/accumulator.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <map>
#include <memory>
#include <random>
#include <utility>
#include <vector>

#include "test_support.hpp"

// Counts the heap requests that `operation` makes, with the failure hook
// armed far beyond them.
template <typename Operation>
long heapRequestsOf(Operation&& operation) {
    constexpr long far = 1L << 40;
    setAllocationFailureCountdown(far);
    operation();
    const long made = far - allocationFailureCountdown();
    setAllocationFailureCountdown(0);
    return made;
}

namespace {

std::vector<Real> cells(const SimpleAccumulator& a) {
    return std::vector<Real>(a.elements, a.elements + a.length);
}

std::vector<Real> window(Pmf* p) {
    return std::vector<Real>(p->simple.elements, p->simple.elements + p->simple.length);
}

// Same shape and the same numbers, level by level.
void expectSamePmf(Pmf* a, Pmf* b) {
    ASSERT_EQ(a == nullptr, b == nullptr);
    if (a == nullptr) return;
    ASSERT_EQ(a->pmfType, b->pmfType);
    if (a->pmfType == SIMPLE) {
        EXPECT_EQ(a->simple.offset, b->simple.offset);
        EXPECT_EQ(window(a), window(b));
        return;
    }
    ASSERT_EQ(a->joint.depth, b->joint.depth);
    expectSamePmf(a->joint.marginal, b->joint.marginal);
    for (int k = 0; k < a->joint.marginal->simple.length; ++k) {
        expectSamePmf(a->joint.elements[k], b->joint.elements[k]);
    }
}

TEST(SimpleAccumulator, WindowGrowsAndToPmfTrims) {
    TestContext ctx;
    SimpleAccumulator a(ctx.get());
    a.putSingle(0.5, 3)->putSingle(0.5, 5);
    EXPECT_EQ(a.offset, 3);
    EXPECT_EQ(a.length, 6);
    Pmf* p = a.toPmf();
    EXPECT_EQ(p->simple.offset, 3);
    EXPECT_EQ(window(p), (std::vector<Real>{0.5, 0.0, 0.5}));
    EXPECT_EQ(Accumulator::sum, 1.0);

    a.putSingle(0.25, 2);
    EXPECT_EQ(a.offset, 0);
    EXPECT_EQ(a.length, 14);
    std::vector<Real> expected(14, 0.0);
    expected[2] = 0.25;
    expected[3] = expected[5] = 0.5;
    EXPECT_EQ(cells(a), expected);
    // toPmf leaves the accumulator as it was.
    EXPECT_EQ(a.toPmf()->simple.offset, 2);
    EXPECT_EQ(cells(a), expected);
}

TEST(SimpleAccumulator, AdmissionOfWeights) {
    TestContext ctx;
    SimpleAccumulator a(ctx.get());
    a.putSingle(2.0, 1)->putSingle(1.0, 2)->putSingle(0.0, 4)->putSingle(-1.0, -3);
    Pmf* p = a.toPmf();
    EXPECT_EQ(p->simple.offset, 1);
    EXPECT_EQ(window(p), (std::vector<Real>{0.5, 0.5}));
    EXPECT_RAISES(a.putSingle(0.1, -1), messages::negativeIntegerInSupport);

    SimpleAccumulator b(ctx.get());
    b.putSingle(0.375, 0)->putSingle(0.125, 1);
    EXPECT_EQ(window(b.toPmf()), (std::vector<Real>{0.75, 0.25}));
    EXPECT_EQ(Accumulator::sum, 0.5);

    SimpleAccumulator c(ctx.get());
    c.putSingle(NAN, 0)->putSingle(0.5, 1);
    for (Real x : window(c.toPmf())) EXPECT_TRUE(std::isnan(x));
}

TEST(Accumulator, EmptyAndMisusedAccumulatorsRaise) {
    TestContext ctx;
    SimpleAccumulator simple(ctx.get());
    JointAccumulator joint(ctx.get(), 2);
    JointAccumulator deep(ctx.get(), 3);
    CompoundAccumulator compound(ctx.get(), createCompoundPmfConfig(ctx.get(), 2, 1, 2));
    for (Accumulator* a : std::vector<Accumulator*>{&simple, &joint, &compound}) {
        EXPECT_RAISES(a->toPmf(), messages::emptyPmf);
    }
    EXPECT_RAISES(joint.putSingle(0.5, 1), messages::internalError);
    EXPECT_RAISES(compound.putSingle(0.5, 1), messages::internalError);
    EXPECT_RAISES(simple.putDouble(0.5, 1, 1), messages::internalError);
    EXPECT_RAISES(deep.putDouble(0.5, 1, 1), messages::internalError);
    EXPECT_TRUE(deep.isEmpty());
    EXPECT_RAISES(JointAccumulator(ctx.get(), 0), messages::internalError);
    EXPECT_RAISES(JointAccumulator(ctx.get(), maximumPmfDepth + 1), messages::internalError);
    EXPECT_RAISES(CompoundAccumulator(ctx.get(), createSimplePmfConfig(ctx.get())),
                  messages::internalError);
}

TEST(JointAccumulator, MarginalTimesConditionals) {
    TestContext ctx;
    JointAccumulator a(ctx.get(), 2);
    a.putDouble(0.125, 1, 0)->putDouble(0.375, 1, 2)->putDouble(0.5, 3, 1);
    Pmf* p = a.toPmf();
    EXPECT_EQ(p->joint.marginal->simple.offset, 1);
    EXPECT_EQ(window(p->joint.marginal), (std::vector<Real>{0.5, 0.0, 0.5}));
    EXPECT_EQ(p->joint.elements[0]->simple.offset, 0);
    EXPECT_EQ(window(p->joint.elements[0]), (std::vector<Real>{0.25, 0.0, 0.75}));
    EXPECT_EQ(p->joint.elements[1], nullptr);
    EXPECT_EQ(p->joint.elements[2]->simple.offset, 1);
    EXPECT_EQ(window(p->joint.elements[2]), (std::vector<Real>{1.0}));
    EXPECT_EQ(Accumulator::sum, 1.0);

    EXPECT_RAISES(a.putDouble(0.5, -1, 0), messages::samplesMustBeNonnegative);
    EXPECT_RAISES(a.putDouble(0.5, 0, -1), messages::negativeIntegerInSupport);
    // A first value whose second failed carries no weight and stays out.
    expectSamePmf(a.toPmf(), p);
}

// Deeper tuples through put are covered by the enumerator round trip.
TEST(Accumulator, VariadicPutMatchesTheDirectPuts) {
    TestContext ctx;
    JointAccumulator byPut(ctx.get(), 2);
    JointAccumulator byDouble(ctx.get(), 2);
    byPut.put(0.25, 2, 1)->put(3.0, 0, 4)->put(-1.0, -5, -5);
    byDouble.putDouble(0.25, 2, 1)->putDouble(1.0, 0, 4);
    expectSamePmf(byPut.toPmf(), byDouble.toPmf());

    CompoundAccumulator compound(ctx.get(), createCompoundPmfConfig(ctx.get(), 2, 1, 2));
    compound.put(0.5, 4, 1, 2)->put(0.5, 6, 1, 2);
    Pmf* c = compound.toPmf();
    EXPECT_EQ(window(lookupCompoundPmf(c, 0)), (std::vector<Real>{0.5, 0.0, 0.5}));
    EXPECT_EQ(lookupCompoundPmf(c, 1)->joint.marginal->simple.offset, 1);
}

// An outcome that fails half way down a deep accumulator leaves an empty
// child; it must neither become a conditional nor lend a stale total to the
// marginal.
TEST(JointAccumulator, HalfPouredOutcomeAddsNothing) {
    TestContext ctx;
    JointAccumulator a(ctx.get(), 3);
    a.put(0.5, 0, 0, 0);
    EXPECT_RAISES(a.put(0.5, 1, 2, -1), messages::negativeIntegerInSupport);
    Pmf* p = a.toPmf();
    EXPECT_EQ(window(p->joint.marginal), (std::vector<Real>{1.0}));
    EXPECT_EQ(Accumulator::sum, 0.5);

    JointAccumulator b(ctx.get(), 3);
    EXPECT_RAISES(b.put(0.5, 1, 2, -1), messages::negativeIntegerInSupport);
    EXPECT_TRUE(b.isEmpty());
    EXPECT_EQ(b.toPmf()->joint.marginal->simple.length, 0);
}

// Outcomes whose window would outgrow the bound, or overflow 32 bits, are
// refused with "Out of memory"; the accumulator keeps what it held and
// takes further outcomes.
class WindowBound : public ::testing::TestWithParam<std::pair<Int, Int>> {};

TEST_P(WindowBound, RefusedWithAccumulatorIntact) {
    auto [first, far] = GetParam();
    TestContext ctx;
    SimpleAccumulator simple(ctx.get());
    simple.putSingle(0.5, first);
    std::vector<Real> before = cells(simple);
    Int offset = simple.offset;
    // Refused before asking the heap.
    EXPECT_EQ(
        heapRequestsOf([&] { EXPECT_RAISES(simple.putSingle(0.5, far), messages::outOfMemory); }),
        0);
    EXPECT_EQ(simple.offset, offset);
    EXPECT_EQ(cells(simple), before);
    simple.putSingle(0.5, first);
    EXPECT_EQ(simple.toPmf()->simple.offset, first);

    JointAccumulator joint(ctx.get(), 2);
    joint.putDouble(0.5, first, first);
    EXPECT_RAISES(joint.putDouble(0.5, far, 0), messages::outOfMemory);
    EXPECT_EQ(joint.length, 1);
    joint.putDouble(0.5, first, first);
    EXPECT_EQ(joint.toPmf()->joint.marginal->simple.offset, first);
}

INSTANTIATE_TEST_SUITE_P(FarApart, WindowBound,
                         ::testing::Values(std::pair<Int, Int>{0, 1 << 30},
                                           std::pair<Int, Int>{1 << 30, 0},
                                           std::pair<Int, Int>{0, INT_MAX},
                                           std::pair<Int, Int>{INT_MAX, 0},
                                           std::pair<Int, Int>{0, 1 << 25},
                                           std::pair<Int, Int>{INT_MAX, INT_MAX - (1 << 25)}));

TEST(SimpleAccumulator, ValuesAtTheTopOfTheIntRange) {
    TestContext ctx;
    SimpleAccumulator a(ctx.get());
    a.putSingle(0.5, INT_MAX)->putSingle(0.25, INT_MAX - 1)->putSingle(0.25, INT_MAX);
    Pmf* p = a.toPmf();
    EXPECT_EQ(p->simple.offset, INT_MAX - 1);
    EXPECT_EQ(window(p), (std::vector<Real>{0.25, 0.75}));
    EXPECT_EQ(lookupProbability(p, INT_MAX), 0.75);
}

// Each heap request of an operation fails in turn; the operation raises
// "Out of memory" and the accumulator still yields what it held before.
TEST(AccumulatorFaults, HeapFailuresLeaveAccumulatorsUsable) {
    TestContext ctx;
    int failures = 0;
    for (long n = 1; n <= 8; ++n) {
        SCOPED_TRACE(n);
        JointAccumulator a(ctx.get(), 3);
        a.put(0.5, 2, 2, 2);
        Pmf* before = a.toPmf();
        setAllocationFailureCountdown(n);
        bool raised = false;
        try {
            a.put(0.5, 0, 9, 9);  // grows two levels and makes two children
        } catch (const CException& e) {
            raised = true;
            EXPECT_STREQ(e.message, messages::outOfMemory);
        }
        setAllocationFailureCountdown(0);
        if (!raised) break;
        ++failures;
        expectSamePmf(a.toPmf(), before);
        a.put(0.5, 0, 9, 9);
        EXPECT_EQ(window(a.toPmf()->joint.marginal), (std::vector<Real>{0.5, 0.0, 0.5}));
    }
    EXPECT_EQ(failures, 5);  // two windows, two children, one cell array
    for (long n = 1; n <= 3; ++n) {
        setAllocationFailureCountdown(n);
        EXPECT_RAISES(CompoundAccumulator(ctx.get(), createCompoundPmfConfig(ctx.get(), 2, 1, 2)),
                      messages::outOfMemory);
        setAllocationFailureCountdown(0);
    }
}

TEST(AccumulatorFaults, ContextFailureInToPmfLeavesTheAccumulatorUsable) {
    TestContext ctx;
    JointAccumulator a(ctx.get(), 3);
    a.put(0.5, 1, 2, 3)->put(0.5, 2, 0, 1);
    Pmf* reference = a.toPmf();
    for (long n = 1; n <= 5; ++n) {
        setAllocationFailureCountdown(n);
        EXPECT_RAISES(a.toPmf(), messages::outOfMemory);
        setAllocationFailureCountdown(0);
        expectSamePmf(a.toPmf(), reference);
    }
}

TEST(JointAccumulator, FarApartFirstValuesCostNoChildPerCell) {
    TestContext ctx;
    JointAccumulator a(ctx.get(), 2);
    // Two windows of cells and two children with one cell each.
    EXPECT_LE(heapRequestsOf([&] { a.putDouble(0.5, 0, 0)->putDouble(0.5, 1000000, 0); }), 6);
    EXPECT_EQ(ctx->currentMemoryUse, 0u);  // accumulator storage is not counted
    EXPECT_EQ(a.toPmf()->joint.marginal->simple.length, 1000001);
}

TEST(Accumulator, ToPmfAndDeleteReleasesOnEveryPath) {
    TestContext ctx;
    Pmf* p = (new SimpleAccumulator(ctx.get()))->putSingle(1, 1)->toPmfAndDelete();
    EXPECT_EQ(p->simple.offset, 1);
    EXPECT_RAISES((new JointAccumulator(ctx.get(), 2))->toPmfAndDelete(), messages::emptyPmf);
}

// A fast structure against a naive one: random weighted pairs, in random
// order and with some weights to drop or cap, must come back as
// marginal x conditional equal to the normalised input.
TEST(JointAccumulator, ReproducesNaiveJointDistribution) {
    TestContext ctx;
    std::mt19937 random(20240611);
    std::uniform_int_distribution<Int> xs(3, 40), ys(0, 25);
    std::uniform_real_distribution<Real> weights(-0.2, 1.3);
    for (int round = 0; round < 20; ++round) {
        JointAccumulator a(ctx.get(), 2);
        std::map<std::pair<Int, Int>, Real> naive;
        for (int i = 0; i < 300; ++i) {
            Int x = xs(random), y = ys(random);
            Real w = weights(random);
            a.putDouble(w, x, y);
            if (w > 0) naive[{x, y}] += std::min(w, 1.0);
        }
        Real total = 0;
        for (auto& item : naive) total += item.second;
        Pmf* p = a.toPmf();
        EXPECT_NEAR(Accumulator::sum, total, 1e-12);
        for (Int x = 0; x <= 45; ++x) {
            Real px = lookupProbability(p->joint.marginal, x);
            for (Int y = 0; y <= 30; ++y) {
                auto found = naive.find({x, y});
                Real expected = found == naive.end() ? 0.0 : found->second / total;
                Real actual =
                    px == 0.0 ? 0.0 : px * lookupProbability(lookupConditionalPmf1(p, x), y);
                EXPECT_NEAR(actual, expected, 1e-15) << x << "," << y;
            }
        }
        release(ctx.get());
    }
}

}  // namespace
