#include "distributions/distributions.hpp"

#include <gtest/gtest.h>

#include <array>
#include <climits>
#include <cmath>
#include <initializer_list>
#include <map>
#include <vector>

#include "pmf/accumulator.hpp"
#include "test_support.hpp"

namespace {

using Outcomes = std::map<std::vector<int>, double>;

// Every outcome of a SIMPLE or JOINT Pmf with its probability, by a walk of
// the tree written here rather than the module's own enumerator.
void collect(Pmf* pmf, std::vector<int>& prefix, double probability, Outcomes& out) {
    Pmf* marginal = pmf->pmfType == JOINT ? pmf->joint.marginal : pmf;
    ASSERT_EQ(marginal->pmfType, SIMPLE);
    for (int i = 0; i < marginal->simple.length; ++i) {
        double p = probability * marginal->simple.elements[i];
        if (p == 0) continue;
        prefix.push_back(marginal->simple.offset + i);
        if (pmf->pmfType == JOINT) {
            ASSERT_NE(pmf->joint.elements[i], nullptr);
            collect(pmf->joint.elements[i], prefix, p, out);
        } else {
            out[prefix] += p;
        }
        prefix.pop_back();
    }
}

Outcomes outcomesOf(Pmf* pmf) {
    Outcomes out;
    std::vector<int> prefix;
    collect(pmf, prefix, 1.0, out);
    return out;
}

void expectOutcomesNear(const Outcomes& actual, const Outcomes& expected, double tolerance) {
    ASSERT_EQ(actual.size(), expected.size());
    for (const auto& [values, p] : expected) {
        auto it = actual.find(values);
        ASSERT_NE(it, actual.end());
        EXPECT_NEAR(it->second, p, tolerance);
    }
}

void expectSimple(Pmf* pmf, int offset, std::initializer_list<double> elements,
                  double tolerance = 0) {
    ASSERT_EQ(pmf->pmfType, SIMPLE);
    EXPECT_EQ(pmf->simple.offset, offset);
    ASSERT_EQ(pmf->simple.length, static_cast<int>(elements.size()));
    int i = 0;
    for (double e : elements) EXPECT_NEAR(pmf->simple.elements[i++], e, tolerance);
}

IntArray* intArray(NObject* obj, std::initializer_list<int> elements) {
    IntArray* a = createIntArray(obj, static_cast<int>(elements.size()));
    int i = 0;
    for (int e : elements) a->elements[i++] = e;
    return a;
}

double logChoose(int n, int k) {
    return std::lgamma(n + 1.0) - std::lgamma(k + 1.0) - std::lgamma(n - k + 1.0);
}

TEST(Bernoulli, ClampsDegenerateProbabilities) {
    struct Case {
        double p;
        int offset;
        std::initializer_list<double> elements;
    };
    for (const Case& c : {Case{0.25, 0, {0.75, 0.25}}, Case{0, 0, {1}}, Case{-1, 0, {1}},
                          Case{1, 1, {1}}, Case{1.5, 1, {1}}}) {
        TestContext ctx;
        SCOPED_TRACE(c.p);
        expectSimple(bernoulli(ctx.get(), c.p), c.offset, c.elements);
    }
}

TEST(Binomial, SmallAndDegenerateCases) {
    struct Case {
        int n;
        double p;
        int offset;
        std::initializer_list<double> elements;
    };
    for (const Case& c :
         {Case{3, 0.5, 0, {0.125, 0.375, 0.375, 0.125}}, Case{5, 0, 0, {1}}, Case{5, -2, 0, {1}},
          Case{5, 1, 5, {1}}, Case{5, 7, 5, {1}}, Case{0, 0.3, 0, {1}},
          // A degenerate p needs no array, so any count is fine.
          Case{INT_MAX, 0, 0, {1}}, Case{INT_MAX, 1, INT_MAX, {1}}}) {
        TestContext ctx;
        SCOPED_TRACE(testing::Message() << "n=" << c.n << " p=" << c.p);
        expectSimple(binomial(ctx.get(), c.n, c.p), c.offset, c.elements, 1e-15);
    }
}

// The recurrence against the closed form C(n, i) p^i (1-p)^(n-i).
TEST(Binomial, MatchesDirectFormula) {
    for (int n : {1, 2, 7, 30, 100, 250}) {
        for (double p : {1e-3, 0.1, 0.5, 0.73, 0.999}) {
            TestContext ctx;
            Pmf* pmf = binomial(ctx.get(), n, p);
            ASSERT_EQ(pmf->simple.offset, 0);
            ASSERT_EQ(pmf->simple.length, n + 1);
            for (int i = 0; i <= n; ++i) {
                double direct =
                    std::exp(logChoose(n, i) + i * std::log(p) + (n - i) * std::log1p(-p));
                if (direct < 1e-250) continue;  // near underflow only absolute error counts
                // Each step of the recurrence rounds x, the log of the
                // element, so the error grows with n and with |x|.
                double tolerance = 1e-14 * (n + std::fabs(std::log(direct)));
                EXPECT_NEAR(pmf->simple.elements[i] / direct, 1.0, tolerance)
                    << "n=" << n << " p=" << p << " i=" << i;
            }
        }
    }
}

TEST(Binomial, KeepsUnderflowedUpperElements) {
    TestContext ctx;
    Pmf* pmf = binomial(ctx.get(), 600, 0.001);
    ASSERT_EQ(pmf->simple.offset, 0);
    ASSERT_EQ(pmf->simple.length, 601);
    EXPECT_GT(pmf->simple.elements[0], 0.5);
    for (int i = 200; i <= 600; ++i) EXPECT_EQ(pmf->simple.elements[i], 0.0) << i;
}

TEST(Binomial, RefusesImpossibleCountsBeforeAllocating) {
    TestContext ctx;
    EXPECT_RAISES(binomial(ctx.get(), -1, 0.5), messages::internalError);
    EXPECT_RAISES(binomial(ctx.get(), -1, 0.0), messages::internalError);
    // n + 1 would overflow; n + 1 elements would be gigabytes.
    EXPECT_RAISES(binomial(ctx.get(), INT_MAX, 0.5), messages::outOfMemory);
    EXPECT_RAISES(binomial(ctx.get(), static_cast<int>(maximumWindowLength), 0.5),
                  messages::outOfMemory);
    EXPECT_EQ(ctx->currentMemoryUse, 0u);
}

TEST(Hypergeometric, Examples) {
    struct Case {
        int N, K, n;
        int offset;
        std::initializer_list<double> elements;
    };
    for (const Case& c : {Case{5, 2, 3, 0, {0.1, 0.6, 0.3}}, Case{5, 4, 3, 2, {0.6, 0.4}},
                          Case{7, 0, 3, 0, {1}}, Case{4, 4, 4, 4, {1}}, Case{0, 0, 0, 0, {1}}}) {
        TestContext ctx;
        SCOPED_TRACE(testing::Message() << c.N << " " << c.K << " " << c.n);
        expectSimple(hypergeometric(ctx.get(), c.N, c.K, c.n), c.offset, c.elements, 1e-14);
    }
}

TEST(Hypergeometric, MatchesDirectFormula) {
    const int N = 40;
    for (int K = 0; K <= N; K += 3) {
        for (int n = 0; n <= N; n += 7) {
            TestContext ctx;
            Pmf* pmf = hypergeometric(ctx.get(), N, K, n);
            for (int i = 0; i < pmf->simple.length; ++i) {
                int k = pmf->simple.offset + i;
                double direct =
                    std::exp(logChoose(K, k) + logChoose(N - K, n - k) - logChoose(N, n));
                EXPECT_NEAR(pmf->simple.elements[i] / direct, 1.0, 1e-12)
                    << "K=" << K << " n=" << n << " k=" << k;
            }
        }
    }
}

TEST(Hypergeometric, RefusesInvalidParameters) {
    TestContext ctx;
    for (auto [N, K, n] : std::initializer_list<std::array<int, 3>>{
             {-1, 0, 0}, {5, -1, 1}, {5, 1, -1}, {5, 6, 1}, {5, 2, 6}}) {
        EXPECT_RAISES(hypergeometric(ctx.get(), N, K, n), messages::invalidHypergeometric);
    }
    EXPECT_RAISES(hypergeometric(ctx.get(), INT_MAX, 1, 1), messages::outOfMemory);
    EXPECT_EQ(ctx->currentMemoryUse, 0u);
}

TEST(MultivariateHypergeometric, TwoClasses) {
    TestContext ctx;
    Pmf* pmf = multivariateHypergeometric(ctx.get(), 4, 2, 2, intArray(ctx.get(), {1, 3}));
    ASSERT_EQ(pmf->pmfType, JOINT);
    EXPECT_EQ(pmf->joint.depth, 2);
    expectOutcomesNear(outcomesOf(pmf), {{{0, 2}, 0.5}, {{1, 1}, 0.5}}, 1e-14);
}

TEST(MultivariateHypergeometric, ThreeClassesMatchDirectFormula) {
    TestContext ctx;
    const int b[] = {2, 3, 1};
    Pmf* pmf = multivariateHypergeometric(ctx.get(), 6, 3, 3, intArray(ctx.get(), {2, 3, 1}));
    Outcomes expected;
    for (int x0 = 0; x0 <= b[0]; ++x0)
        for (int x1 = 0; x1 <= b[1]; ++x1) {
            int x2 = 3 - x0 - x1;
            if (x2 < 0 || x2 > b[2]) continue;
            expected[{x0, x1, x2}] = std::exp(logChoose(b[0], x0) + logChoose(b[1], x1) +
                                              logChoose(b[2], x2) - logChoose(6, 3));
        }
    expectOutcomesNear(outcomesOf(pmf), expected, 1e-14);
}

TEST(MultivariateHypergeometric, RefusesInvalidParameters) {
    struct Case {
        int N, n, d;
        std::initializer_list<int> b;
    };
    for (const Case& c : {Case{4, 2, 2, {1, 2}}, Case{4, -1, 2, {1, 3}}, Case{4, 5, 2, {1, 3}},
                          Case{4, 2, 3, {1, 3}}, Case{4, 2, 2, {-1, 5}},
                          // Sums to 2^32, which a 32-bit sum wraps to 0.
                          Case{0, 0, 3, {INT_MAX, INT_MAX, 2}}}) {
        TestContext ctx;
        EXPECT_RAISES(
            multivariateHypergeometric(ctx.get(), c.N, c.n, c.d, intArray(ctx.get(), c.b)),
            messages::invalidMultivariateHypergeometric);
    }
}

TEST(Multinomial, Examples) {
    TestContext ctx;
    Pmf* two = multinomial(ctx.get(), 2, 2, simplePmf(ctx.get(), 0, {0.25, 0.75}));
    EXPECT_EQ(two->joint.depth, 2);
    expectOutcomesNear(outcomesOf(two), {{{0, 2}, 0.5625}, {{1, 1}, 0.375}, {{2, 0}, 0.0625}},
                       1e-14);

    const double p[] = {0.2, 0.3, 0.5};
    Pmf* three = multinomial(ctx.get(), 4, 3, simplePmf(ctx.get(), 0, {p[0], p[1], p[2]}));
    Outcomes expected;
    for (int x0 = 0; x0 <= 4; ++x0)
        for (int x1 = 0; x0 + x1 <= 4; ++x1) {
            int x2 = 4 - x0 - x1;
            expected[{x0, x1, x2}] =
                std::exp(std::lgamma(5.0) - std::lgamma(x0 + 1.0) - std::lgamma(x1 + 1.0) -
                         std::lgamma(x2 + 1.0) + x0 * std::log(p[0]) + x1 * std::log(p[1]) +
                         x2 * std::log(p[2]));
        }
    expectOutcomesNear(outcomesOf(three), expected, 1e-14);
}

TEST(Multinomial, ZeroProbabilityCategory) {
    TestContext ctx;
    Pmf* pmf = multinomial(ctx.get(), 2, 3, simplePmf(ctx.get(), 0, {0.5, 0.0, 0.5}));
    for (int i = 0; i < pmf->joint.marginal->simple.length; ++i) {
        Pmf* second = pmf->joint.elements[i];
        expectSimple(second->joint.marginal, 0, {1});
        EXPECT_NE(second->joint.elements[0], nullptr);
    }
    expectOutcomesNear(outcomesOf(pmf), {{{0, 0, 2}, 0.25}, {{1, 0, 1}, 0.5}, {{2, 0, 0}, 0.25}},
                       1e-15);

    // Trailing empty categories after the remainder is used up: the
    // quotient would be 0/0 and spread NaN through the whole tree.
    Pmf* trailing = multinomial(ctx.get(), 2, 4, simplePmf(ctx.get(), 0, {0.5, 0.5, 0.0, 0.0}));
    expectOutcomesNear(outcomesOf(trailing),
                       {{{0, 2, 0, 0}, 0.25}, {{1, 1, 0, 0}, 0.5}, {{2, 0, 0, 0}, 0.25}}, 1e-15);
}

TEST(Multinomial, RefusesInvalidParameters) {
    TestContext ctx;
    NObject* obj = ctx.get();
    Pmf* half = simplePmf(obj, 0, {0.5, 0.5});
    EXPECT_RAISES(multinomial(obj, 2, 2, simplePmf(obj, 1, {0.5, 0.5})),
                  messages::invalidMultinomial);
    EXPECT_RAISES(multinomial(obj, 2, 3, half), messages::invalidMultinomial);
    EXPECT_RAISES(multinomial(obj, 2, 2, defaultJointPmf(obj, 2)), messages::invalidMultinomial);
    EXPECT_RAISES(multinomial(obj, -1, 2, half), messages::invalidMultinomial);
    EXPECT_RAISES(multinomial(obj, 2, 0, allocateSimplePmf(obj, 0, 0)),
                  messages::invalidMultinomial);
    Pmf* tooDeep = allocateSimplePmf(obj, 0, maximumPmfDepth + 1);
    tooDeep->simple.elements[0] = 1;
    EXPECT_RAISES(multinomial(obj, 1, maximumPmfDepth + 1, tooDeep), messages::invalidMultinomial);
}

// A few small ints describe trees of more records than any machine holds;
// they are measured and refused before the first record is made.
TEST(Trees, CombinatorialSizesAreRefusedUpFront) {
    TestContext ctx;
    Pmf* p = allocateSimplePmf(ctx.get(), 0, 10);
    for (int i = 0; i < 10; ++i) p->simple.elements[i] = 0.1;
    IntArray* b = createIntArray(ctx.get(), 10);
    for (int i = 0; i < 10; ++i) b->elements[i] = 100;
    std::uint64_t before = ctx->currentMemoryUse;

    EXPECT_RAISES(multinomial(ctx.get(), 1000, 10, p), messages::outOfMemory);
    EXPECT_RAISES(multivariateHypergeometric(ctx.get(), 1000, 500, 10, b), messages::outOfMemory);
    EXPECT_EQ(ctx->currentMemoryUse, before);

    // A degenerate split has one branch per level, however large n is.
    for (int i = 0; i < 10; ++i) p->simple.elements[i] = i == 9 ? 1.0 : 0.0;
    Pmf* pmf = multinomial(ctx.get(), 1000000, 10, p);
    expectOutcomesNear(outcomesOf(pmf), {{{0, 0, 0, 0, 0, 0, 0, 0, 0, 1000000}, 1.0}}, 0);
}

// Fails each allocation in turn: every failure surfaces as "Out of memory",
// and the working storage (gamma, the log-factorial table) is released on
// that path, which the sanitizer build checks.
TEST(Trees, EveryAllocationFailureRaisesCleanly) {
    for (long failAt = 1;; ++failAt) {
        TestContext ctx;
        Pmf* p = simplePmf(ctx.get(), 0, {0.2, 0.3, 0.5});
        IntArray* b = intArray(ctx.get(), {2, 3, 1});
        setAllocationFailureCountdown(failAt);
        bool failed = false;
        try {
            multinomial(ctx.get(), 3, 3, p);
            multivariateHypergeometric(ctx.get(), 6, 3, 3, b);
            hypergeometric(ctx.get(), 6, 2, 3);
        } catch (const CException& e) {
            EXPECT_STREQ(e.message, messages::outOfMemory);
            failed = true;
        }
        setAllocationFailureCountdown(0);
        if (!failed) break;
        ASSERT_LT(failAt, 1000);
    }
}

TEST(SamplingStack, BranchMultipliesLevels) {
    SamplingStack stack(3);
    stack.set(0, 0.5);
    stack.branch(1, 0.5);
    stack.branch(2, 0.2);
    EXPECT_DOUBLE_EQ(stack.branchProbability(1), 0.25);
    EXPECT_DOUBLE_EQ(stack.branchProbability(2), 0.05);
}

}  // namespace
