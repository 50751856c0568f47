#include "pmf/pmf.hpp"

#include <gtest/gtest.h>

#include <climits>
#include <cstddef>
#include <functional>

#include "test_support.hpp"

namespace {

// Bytes that one call adds to the context's counter.
std::uint64_t bytesOf(TestContext& ctx, const std::function<void()>& make) {
    std::uint64_t before = ctx->currentMemoryUse;
    make();
    return ctx->currentMemoryUse - before;
}

TEST(PmfBlockSize, CountedBytesAreTheRecordsOwnOverlayAndElements) {
    TestContext ctx;
    for (int n : {0, 1, 5}) {
        SCOPED_TRACE(n);
        EXPECT_EQ(simplePmfBlockSize(n), offsetof(Pmf, simple.elements) + n * sizeof(Real));
        EXPECT_EQ(bytesOf(ctx, [&] { allocateSimplePmf(ctx.get(), 2, n); }), simplePmfBlockSize(n));
        Pmf* marginal = allocateSimplePmf(ctx.get(), 0, n);
        EXPECT_EQ(bytesOf(ctx, [&] { allocateJointPmf(ctx.get(), marginal, 2); }),
                  offsetof(Pmf, joint.elements) + n * sizeof(Pmf*));
        EXPECT_EQ(bytesOf(ctx, [&] { allocateCompoundPmf(ctx.get(), n); }),
                  offsetof(Pmf, compound.elements) + n * sizeof(Pmf*));
        EXPECT_EQ(bytesOf(ctx, [&] { createCompoundPmfConfig(ctx.get(), 0); }),
                  compoundPmfConfigBlockSize(0));
    }
    // Not rounded up to the largest overlay.
    EXPECT_LT(simplePmfBlockSize(0), jointPmfBlockSize(0));
    EXPECT_LT(simplePmfConfigBlockSize(), jointPmfConfigBlockSize());
    EXPECT_EQ(bytesOf(ctx, [&] { createSimplePmfConfig(ctx.get()); }), simplePmfConfigBlockSize());
    EXPECT_EQ(bytesOf(ctx, [&] { createJointPmfConfig(ctx.get(), 2); }), jointPmfConfigBlockSize());
}

// The default joint shares one atomic record as every marginal and as the
// innermost conditional; a compound default builds each component apart.
TEST(Pmf, DefaultShapes) {
    TestContext ctx;
    EXPECT_EQ(defaultJointPmf(ctx.get(), 1)->pmfType, SIMPLE);
    Pmf* p = defaultJointPmf(ctx.get(), 3);
    ASSERT_EQ(p->joint.depth, 3);
    Pmf* inner = p->joint.elements[0];
    EXPECT_EQ(inner->joint.depth, 2);
    EXPECT_EQ(inner->joint.marginal, p->joint.marginal);
    EXPECT_EQ(inner->joint.elements[0], p->joint.marginal);
    EXPECT_EQ(p->joint.marginal->simple.offset, 0);

    Pmf* c = defaultPmf(ctx.get(), createCompoundPmfConfig(ctx.get(), 2, 1, 2));
    EXPECT_EQ(lookupCompoundPmf(c, 0)->pmfType, SIMPLE);
    EXPECT_EQ(lookupCompoundPmf(c, 1)->joint.depth, 2);
}

// A depth-2 joint: first value 1 or 3 (weights 0.5, 0, 0.5), then a
// conditional for each; the conditional of 2 is missing.
Pmf* sampleJoint(NObject* obj) {
    Pmf* joint = allocateJointPmf(obj, simplePmf(obj, 1, {0.5, 0.0, 0.5}), 2);
    joint->joint.elements[0] = simplePmf(obj, 0, {0.25, 0.0, 0.75});
    joint->joint.elements[2] = simplePmf(obj, 1, {1.0});
    return joint;
}

TEST(Pmf, ConditionalLookup) {
    TestContext ctx;
    Pmf* joint = sampleJoint(ctx.get());
    EXPECT_EQ(lookupConditionalPmf(joint, 0), joint);
    EXPECT_EQ(lookupConditionalPmf(joint, 1, 3), joint->joint.elements[2]);
    EXPECT_EQ(lookupConditionalPmf1(joint, 1), joint->joint.elements[0]);
    EXPECT_EQ(lookupMarginalPmf(joint), joint->joint.marginal);
    for (Int v : {0, 2, 4, -1}) {
        SCOPED_TRACE(v);
        EXPECT_RAISES(lookupConditionalPmf(joint, 1, v), messages::conditionOnZeroProbability);
        EXPECT_RAISES(lookupConditionalPmf1(joint, v), messages::conditionOnZeroProbability);
    }
    Pmf* deep = defaultJointPmf(ctx.get(), 3);
    EXPECT_EQ(lookupConditionalPmf(deep, 2, 0, 0), deep->joint.marginal);
    // Outside every caller's use: refused rather than read past the record.
    EXPECT_RAISES(lookupConditionalPmf(joint, 2, 1, 0), messages::internalError);
    EXPECT_RAISES(lookupConditionalPmf1(joint->joint.marginal, 0), messages::internalError);
    EXPECT_RAISES(lookupMarginalPmf(joint->joint.marginal), messages::internalError);
    Pmf* c = createCompoundPmf(ctx.get(), 1, joint);
    EXPECT_RAISES(lookupCompoundPmf(c, 1), messages::internalError);
    EXPECT_RAISES(lookupCompoundPmf(c, -1), messages::internalError);
    EXPECT_RAISES(lookupCompoundPmf(joint, 0), messages::internalError);
}

TEST(Pmf, Tails) {
    TestContext ctx;
    Pmf* p = simplePmf(ctx.get(), 3, {0.5, 0.3, 0.2});
    struct Case {
        Real epsilon;
        Int left, right;
    };
    for (Case c :
         {Case{0.5, 3, 4}, Case{0.6, 4, 3}, Case{0.2, 3, 5}, Case{0.25, 3, 4}, Case{2.0, 6, 3}}) {
        SCOPED_TRACE(c.epsilon);
        EXPECT_EQ(computeLeftTail(p, c.epsilon), c.left);
        EXPECT_EQ(computeRightTail(p, c.epsilon), c.right);
    }
    Pmf* empty = allocateSimplePmf(ctx.get(), 0, 0);
    EXPECT_EQ(computeLeftTail(empty, 1e-9), 0);
    EXPECT_EQ(computeRightTail(empty, 1e-9), 0);
    // One past the largest Int is not an Int: held there, no overflow.
    Pmf* top = simplePmf(ctx.get(), INT_MAX, {0.0});
    EXPECT_EQ(computeLeftTail(top, 0.5), INT_MAX);
    EXPECT_RAISES(computeLeftTail(sampleJoint(ctx.get()), 0.5), messages::leftTailRequiresSimple);
    EXPECT_RAISES(computeRightTail(sampleJoint(ctx.get()), 0.5), messages::rightTailRequiresSimple);
}

TEST(Pmf, AllocationRefusesWindowsThatNoIntCanName) {
    TestContext ctx;
    EXPECT_RAISES(allocateSimplePmf(ctx.get(), 0, -1), messages::internalError);
    EXPECT_RAISES(allocateSimplePmf(ctx.get(), INT_MAX, 2), messages::internalError);
    EXPECT_RAISES(allocateCompoundPmf(ctx.get(), -1), messages::internalError);
    EXPECT_EQ(ctx->currentMemoryUse, 0u);
}

TEST(Pmf, ShapeChecks) {
    TestContext ctx;
    Pmf* simple = createAtomicSimplePmf(ctx.get(), 0);
    Pmf* joint2 = defaultJointPmf(ctx.get(), 2);
    Pmf* joint3 = defaultJointPmf(ctx.get(), 3);
    Pmf* pair = createCompoundPmf(ctx.get(), 2, simple, joint2);
    EXPECT_EQ(confirmCompoundPmf(pair, 2, 1, 2), pair);
    EXPECT_RAISES(confirmJointPmf(joint3, 2), messages::invalidValue);
    EXPECT_RAISES(confirmJointPmf(simple, 2), messages::invalidValue);
    EXPECT_RAISES(confirmCompoundPmf(pair, 2, 2, 2), messages::invalidValue);
    Pmf* triple = createCompoundPmf(ctx.get(), 3, simple, joint2, simple);
    EXPECT_RAISES(confirmCompoundPmf(triple, 2, 1, 2), messages::invalidValue);
    EXPECT_RAISES(confirmCompoundPmf(allocateCompoundPmf(ctx.get(), 2), 2, 1, 2),
                  messages::invalidValue);
    EXPECT_RAISES(confirmSimplePmf(nullptr), messages::invalidValue);
}

// The collector keeps exactly what a root reaches: shared sub-records once,
// everything else freed, survivors intact and unmarked.
TEST(PmfCollector, KeepsExactlyWhatTheRootReaches) {
    TestContext ctx;
    Pmf* root = defaultJointPmf(ctx.get(), 3);  // an atom and two joints
    Pmf* other = sampleJoint(ctx.get());
    Pmf* compound = createCompoundPmf(ctx.get(), 2, root, root->joint.marginal);
    std::uint64_t kept = simplePmfBlockSize(1) + 2 * jointPmfBlockSize(1) + compoundPmfBlockSize(2);
    flag(compound);
    release(ctx.get());
    EXPECT_EQ(ctx->currentMemoryUse, kept);
    EXPECT_EQ(liveBlocks(ctx.get()), 4u);
    for (MemHeader* b = ctx->memList; b != nullptr; b = b->next) EXPECT_FALSE(b->flag);
    EXPECT_EQ(lookupConditionalPmf(root, 2, 0, 0)->simple.elements[0], 1.0);
    EXPECT_EQ(lookupCompoundPmf(compound, 1), root->joint.marginal);
    (void)other;

    // The shared atom survives while any parent is reached.
    flag(root->joint.elements[0]);
    release(ctx.get());
    EXPECT_EQ(ctx->currentMemoryUse, simplePmfBlockSize(1) + jointPmfBlockSize(1));
    flag(static_cast<Pmf*>(nullptr));
    release(ctx.get());
    EXPECT_EQ(ctx->currentMemoryUse, 0u);
    EXPECT_EQ(ctx->memList, nullptr);
}

// Every allocation of a construction fails in turn: each raises "Out of
// memory" and the sweep frees what was built before the failure.
TEST(PmfFaults, EveryAllocationFailureRaisesAndLeavesNothingBehind) {
    for (long n = 1; n <= 4; ++n) {
        SCOPED_TRACE(n);
        TestContext ctx;
        setAllocationFailureCountdown(n);
        EXPECT_RAISES(defaultPmf(ctx.get(), createCompoundPmfConfig(ctx.get(), 2, 1, 2)),
                      messages::outOfMemory);
        setAllocationFailureCountdown(0);
        release(ctx.get());
        EXPECT_EQ(ctx->memList, nullptr);
    }
}

}  // namespace
