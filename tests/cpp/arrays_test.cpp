#include "pmf/arrays.hpp"

#include <gtest/gtest.h>

#include <cstddef>
#include <functional>
#include <vector>

#include "test_support.hpp"

namespace {

struct BlockCase {
    const char* name;
    std::size_t fixed;    // the record up to its elements
    std::size_t element;  // one element
    std::function<void(NObject*, int)> make;
};

// One block per record, exactly n elements after the fixed fields.
TEST(Arrays, BlockSizesAsCounted) {
    std::vector<BlockCase> cases = {
        {"Int", offsetof(IntArray, elements), sizeof(Int),
         [](NObject* o, int n) { createIntArray(o, n); }},
        {"Real", offsetof(RealArray, elements), sizeof(Real),
         [](NObject* o, int n) { createRealArray(o, n); }},
        {"Boolean", offsetof(BooleanArray, elements), 1,
         [](NObject* o, int n) { createBooleanArray(o, n); }},
        {"PmfMatrix", offsetof(PmfMatrix, elements), sizeof(PmfArray*),
         [](NObject* o, int n) { allocatePmfMatrix(o, n, 0); }},
    };
    for (const BlockCase& c : cases) {
        for (int n : {1, 3}) {
            SCOPED_TRACE(c.name);
            TestContext ctx;
            c.make(ctx.get(), n);
            EXPECT_EQ(ctx->currentMemoryUse, c.fixed + n * c.element);
            EXPECT_EQ(liveBlocks(ctx.get()), 1u);
        }
    }
}

TEST(Arrays, CreatorsRefuseBadSizesBeforeAllocating) {
    TestContext ctx;
    NObject* obj = ctx.get();
    PmfConfig* config = createSimplePmfConfig(obj);
    std::uint64_t used = ctx->currentMemoryUse;
    for (int n : {0, -1}) {
        EXPECT_RAISES(createIntArray(obj, n), messages::invalidArraySize);
        EXPECT_RAISES(createRealArray(obj, n), messages::invalidArraySize);
        EXPECT_RAISES(createBooleanArray(obj, n), messages::invalidArraySize);
        EXPECT_RAISES(allocatePmfArray(obj, n), messages::invalidArraySize);
        EXPECT_RAISES(allocateInterfaceArray(obj, n), messages::invalidArraySize);
        EXPECT_RAISES(createPmfArray(obj, config, n), messages::invalidArrayDimensions);
        EXPECT_RAISES(createInterfaceArray(obj, nullptr, n), messages::invalidArrayDimensions);
        EXPECT_RAISES(createRealMatrix(obj, n, 2), messages::invalidMatrixDimensions);
        EXPECT_RAISES(createPmfMatrix(obj, config, n, 2), messages::invalidMatrixDimensions);
    }
    EXPECT_RAISES(createIntMatrix(obj, 2, -1), messages::invalidMatrixDimensions);
    EXPECT_RAISES(allocatePmfMatrix(obj, -1, 1), messages::invalidMatrixDimensions);
    EXPECT_RAISES(allocateInterfaceMatrix(obj, -1, 1), messages::invalidMatrixDimensions);
    EXPECT_EQ(ctx->currentMemoryUse, used);
    EXPECT_RAISES(allocatePmfMatrix(obj, 1, -1), messages::invalidArraySize);
}

// Every element of a Pmf array or matrix is its own default, never shared.
TEST(Arrays, CreatedRecordsHaveDistinctRowsAndDefaults) {
    TestContext ctx;
    NObject* obj = ctx.get();
    EXPECT_EQ(createRealMatrix(obj, 2, 0)->elements[1], nullptr);
    RealMatrix* m = createRealMatrix(obj, 2, 3);
    EXPECT_NE(lookup(m, 0), lookup(m, 1));
    PmfConfig* joint = createJointPmfConfig(obj, 2);
    PmfArray* pmfs = createPmfArray(obj, joint, 3);
    EXPECT_NE(lookup(pmfs, 0), lookup(pmfs, 1));
    EXPECT_EQ(lookup(pmfs, 2)->joint.depth, 2);
    EXPECT_EQ(lookup(createPmfArray(obj, nullptr, 3), 2), nullptr);
    EXPECT_EQ(lookup(lookup(defaultPmfMatrix(obj, joint), 0), 0)->joint.depth, 2);
    EXPECT_RAISES(defaultPmfArray(obj, nullptr), messages::internalError);
}

TEST(Arrays, LookupChecksEveryIndex) {
    TestContext ctx;
    NObject* obj = ctx.get();
    IntArray* a = initializeIntArray(obj, 3, 4, 5, 6);
    for (Int i : {-1, 3}) EXPECT_RAISES(lookup(a, i), messages::lookupIndexOutOfRange);
    lookup(a, 2) = 9;
    EXPECT_EQ(lookup(a, 2), 9);
    // A ragged matrix: each lookup checks its own row.
    IntMatrix* m = initializeIntMatrix(obj, 2, 3, 1, 2, 3, 1, 7);
    EXPECT_EQ(lookup(lookup(m, 0), 2), 3);
    EXPECT_EQ(lookup(lookup(m, 1), 0), 7);
    EXPECT_RAISES(lookup(lookup(m, 1), 1), messages::lookupIndexOutOfRange);
    EXPECT_RAISES(lookup(m, 2), messages::lookupIndexOutOfRange);
}

TEST(Arrays, InitialisersReadPromotedValuesAndJudgeRowLengths) {
    TestContext ctx;
    NObject* obj = ctx.get();
    BooleanArray* b = initializeBooleanArray(obj, 3, 0, 2, -1);
    EXPECT_EQ(std::vector<bool>(b->elements, b->elements + 3),
              (std::vector<bool>{false, true, true}));
    EXPECT_EQ(lookup(lookup(initializeRealMatrix(obj, 2, 1, 0.5, 2, 1.5, 2.5), 1), 1), 2.5);
    EXPECT_RAISES(initializeRealMatrix(obj, 2, 1, 0.5, 0), messages::invalidArraySize);
    EXPECT_RAISES(initializePmfMatrix(obj, 1, 0), messages::invalidArrayDimensions);
    EXPECT_RAISES(initializeInterfaceMatrix(obj, 1, -2), messages::invalidArrayDimensions);
}

TEST(Arrays, PmfFromRealArray) {
    TestContext ctx;
    NObject* obj = ctx.get();
    Pmf* p = createPmfFromRealArray(obj, initializeRealArray(obj, 4, 0.0, 2.0, -1.0, 0.5));
    EXPECT_EQ(p->simple.offset, 1);
    ASSERT_EQ(p->simple.length, 3);
    EXPECT_EQ(p->simple.elements[0], 2.0 / 3);
    EXPECT_EQ(p->simple.elements[1], 0.0);
    EXPECT_EQ(p->simple.elements[2], 1.0 / 3);
    EXPECT_RAISES(createPmfFromRealArray(obj, createRealArray(obj, 3)), messages::emptyPmf);
}

TEST(Arrays, ShapeChecksCoverEveryElementAndRow) {
    TestContext ctx;
    NObject* obj = ctx.get();
    Pmf* simple = createAtomicSimplePmf(obj, 0);
    Pmf* joint = defaultJointPmf(obj, 2);
    Pmf* pair = createCompoundPmf(obj, 2, simple, joint);
    EXPECT_RAISES(confirmJointPmfArray(initializePmfArray(obj, 2, joint, simple), 2),
                  messages::invalidValue);
    EXPECT_RAISES(confirmSimplePmfArray(initializePmfArray(obj, 2, simple, nullptr)),
                  messages::invalidValue);
    // The same depths apply to every element of every row.
    PmfMatrix* m = initializePmfMatrix(obj, 2, 1, pair, 2, pair, pair);
    EXPECT_EQ(confirmCompoundPmfMatrix(m, 2, 1, 2), m);
    PmfMatrix* mixed = initializePmfMatrix(obj, 2, 1, pair, 1, simple);
    EXPECT_RAISES(confirmCompoundPmfMatrix(mixed, 2, 1, 2), messages::invalidValue);
    EXPECT_RAISES(confirmJointPmfMatrix(allocatePmfMatrix(obj, 1, 0), 2), messages::invalidValue);
}

// Marking an array or matrix keeps it, its rows and the Pmfs they reach
// (shared ones included) and nothing else.
TEST(ArraysCollector, KeepsExactlyWhatTheRootsReach) {
    TestContext ctx;
    NObject* obj = ctx.get();
    Pmf* shared = createAtomicSimplePmf(obj, 4);
    PmfArray* first = initializePmfArray(obj, 2, shared, nullptr);
    PmfArray* second = initializePmfArray(obj, 1, shared);
    PmfMatrix* pm = allocatePmfMatrix(obj, 2, 0);
    pm->elements[0] = second;  // row 1 stays null
    RealMatrix* rm = initializeRealMatrix(obj, 2, 1, 0.5, 2, 1.0, 2.0);
    IntMatrix* im = createIntMatrix(obj, 3, 0);
    InterfaceArray* ia = createInterfaceArray(obj, shared, 1);  // not a block it owns
    createRealArray(obj, 5);                                    // garbage
    std::size_t blocks = liveBlocks(obj);

    flag(first);
    flag(pm);
    flag(rm);
    flag(im);
    flag(ia);
    flag(static_cast<RealArray*>(nullptr));
    release(obj);
    // Kept: shared, first, second, pm, rm and its two rows, im, ia.
    EXPECT_EQ(liveBlocks(obj), 9u);
    EXPECT_EQ(blocks, 10u);
    EXPECT_EQ(lookup(lookup(rm, 1), 1), 2.0);
    EXPECT_EQ(lookup(lookup(pm, 0), 0)->simple.offset, 4);

    // The shared Pmf goes with its last holder.
    flag(second);
    release(obj);
    EXPECT_EQ(liveBlocks(obj), 2u);
    release(obj);
    EXPECT_EQ(ctx->currentMemoryUse, 0u);
}

TEST(ArraysFaults, EveryAllocationFailureRaisesAndTheSweepFreesTheRest) {
    for (long n = 1; n <= 6; ++n) {
        SCOPED_TRACE(n);
        TestContext ctx;
        PmfConfig* config = createJointPmfConfig(ctx.get(), 2);
        setAllocationFailureCountdown(n);
        EXPECT_RAISES(createPmfMatrix(ctx.get(), config, 2, 1), messages::outOfMemory);
        setAllocationFailureCountdown(0);
        release(ctx.get());
        EXPECT_EQ(ctx->memList, nullptr);
    }
}

}  // namespace
