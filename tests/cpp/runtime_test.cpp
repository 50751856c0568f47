// The error type, the guarded arithmetic and the memory context.
#include <cmath>
#include <cstdlib>
#include <limits>

#include "test_support.hpp"

TEST(Arithmetic, CheckDenominatorRefusesOnlyExactZero) {
    EXPECT_RAISES(checkDenominator(0.0), "Divide by zero");
    EXPECT_RAISES(checkDenominator(-0.0), "Divide by zero");
    EXPECT_EQ(checkDenominator(1e-300), 1e-300);
    EXPECT_TRUE(std::isnan(checkDenominator(std::nan(""))));
}

TEST(Arithmetic, SqrtAndLogRefuseNegativesOnly) {
    EXPECT_RAISES(safeSqrt(-1e-300), "Attempt to take square root of negative number");
    EXPECT_TRUE(std::signbit(safeSqrt(-0.0)));
    EXPECT_TRUE(std::isnan(safeSqrt(std::nan(""))));
    EXPECT_EQ(safeLog(0.0), -std::numeric_limits<double>::infinity());
    EXPECT_RAISES(safeLog(-1.0), "Attempt to take log of negative number");
}

TEST(Arithmetic, PowRefusesEveryNonFiniteResult) {
    EXPECT_RAISES(safePow(2, 1024), "Invalid pow operation");
    EXPECT_RAISES(safePow(0, -1), "Invalid pow operation");
    EXPECT_RAISES(safePow(-8, 1.0 / 3), "Invalid pow operation");
    EXPECT_EQ(safePow(0, 0), 1.0);
    EXPECT_EQ(safePow(2, -1074), std::numeric_limits<double>::denorm_min());
}

TEST(Arithmetic, FloorAndCeilingRoundTowardTheirSides) {
    EXPECT_EQ(ifloor(-0.5), -1);
    EXPECT_EQ(iceiling(-0.5), 0);
    EXPECT_EQ(ifloor(2.0), 2);
    EXPECT_EQ(iceiling(2.0), 2);
}

TEST(Arithmetic, RandomValuesStayInRange) {
    for (int i = 0; i < 1000; ++i) {
        EXPECT_EQ(randomInt(1), 0);
        Real x = randomReal();
        EXPECT_GE(x, 0.0);
        EXPECT_LE(x, 1.0);
        Int k = randomInt(7);
        EXPECT_GE(k, 0);
        EXPECT_LT(k, 7);
    }
}

TEST(Errors, MessagesAreTheFixedTexts) {
    EXPECT_RAISES(abortInternal(), "NAVRO internal error");
    EXPECT_RAISES(abortImport(), "Invalid value");
    EXPECT_RAISES(navro::abort(messages::invalidRoutingProbabilities),
                  "Invalid routing probabilities. Sum of destination probabilities exceeds 1.");
    EXPECT_STREQ(messages::expectedParameters[1], "Expected 1 parameters");
    EXPECT_STREQ(messages::expectedQueryParameters[2], "Expected 2 parameter(s)");
}

namespace {
// A record as the data model lays them out: the header first.
struct TestBlock {
    MemHeader memHeader;
    int payload[5];
};

TestBlock* newBlock(NObject* obj) {
    return static_cast<TestBlock*>(nmalloc(obj, sizeof(TestBlock)));
}

int listLength(NObject* obj) {
    int n = 0;
    for (MemHeader* b = obj->memList; b != nullptr; b = b->next) ++n;
    return n;
}
}  // namespace

TEST(MemoryContext, BlocksAreZeroFilledAndCountedExactly) {
    TestContext context;
    void* block = nmalloc(context.get(), 37);  // an odd size is not rounded
    for (std::size_t i = sizeof(MemHeader); i < 37; ++i)
        EXPECT_EQ(static_cast<unsigned char*>(block)[i], 0);
    EXPECT_EQ(static_cast<MemHeader*>(block)->size, 37u);
    EXPECT_FALSE(static_cast<MemHeader*>(block)->flag);
    EXPECT_TRUE(context->isMemModified);
    EXPECT_EQ(context->currentMemoryUse, 37u);
    EXPECT_EQ(context->peakMemoryUse, 37u);
    EXPECT_EQ(context->memList, block);
}

TEST(MemoryContext, SweepKeepsMarkedBlocksUnmarkedAndReversed) {
    TestContext context;
    TestBlock* a = newBlock(context.get());
    TestBlock* b = newBlock(context.get());
    TestBlock* c = newBlock(context.get());
    TestBlock* d = newBlock(context.get());
    a->payload[0] = 11;
    c->payload[0] = 33;
    _flag(a);
    _flag(c);
    _flag(nullptr);  // allowed, does nothing
    (void)b;
    (void)d;

    release(context.get());

    EXPECT_FALSE(context->isMemModified);
    EXPECT_EQ(listLength(context.get()), 2);
    // The list was d, c, b, a; the survivors come back in reverse: a, c.
    EXPECT_EQ(context->memList, &a->memHeader);
    EXPECT_EQ(context->memList->next, &c->memHeader);
    EXPECT_FALSE(a->memHeader.flag);
    EXPECT_FALSE(c->memHeader.flag);
    EXPECT_EQ(a->payload[0], 11);
    EXPECT_EQ(c->payload[0], 33);
    EXPECT_EQ(context->currentMemoryUse, 2 * sizeof(TestBlock));
    EXPECT_EQ(context->peakMemoryUse, 4 * sizeof(TestBlock));
}

TEST(MemoryContext, PeakNeverFallsAndReleaseOfEmptyContextOnlyClearsTheFlag) {
    TestContext context;
    release(context.get());
    EXPECT_EQ(context->memList, nullptr);
    EXPECT_EQ(context->currentMemoryUse, 0u);

    newBlock(context.get());
    newBlock(context.get());
    release(context.get());
    EXPECT_EQ(context->currentMemoryUse, 0u);
    EXPECT_EQ(context->peakMemoryUse, 2 * sizeof(TestBlock));
    newBlock(context.get());
    EXPECT_EQ(context->peakMemoryUse, 2 * sizeof(TestBlock));
}

TEST(MemoryContext, FailedAllocationRaisesAndStaysCounted) {
    TestContext context;
    newBlock(context.get());
    setAllocationFailureCountdown(1);
    EXPECT_RAISES(nmalloc(context.get(), 100), "Out of memory");
    setAllocationFailureCountdown(0);
    // The failed request stays in the counters until nothing is left.
    EXPECT_EQ(context->currentMemoryUse, sizeof(TestBlock) + 100);
    EXPECT_EQ(listLength(context.get()), 1);
    EXPECT_TRUE(context->isMemModified);
}

TEST(MemoryContext, HugeRequestFromTheHeapRaisesOutOfMemory) {
    TestContext context;
    EXPECT_RAISES(nmalloc(context.get(), std::numeric_limits<std::size_t>::max() / 2),
                  "Out of memory");
}

// Working storage and context blocks fail through the same path, counted by
// one countdown, and raise the module's error rather than a C++ allocation
// exception.
TEST(Heap, EveryKindOfRequestFailsAsOutOfMemory) {
    TestContext context;
    const long blocksBefore = heapBlocksInUse();
    setAllocationFailureCountdown(3);
    HeapArray<Real> cells = allocateHeapArray<Real>(4);
    newBlock(context.get());
    HeapVector<int> vector;
    EXPECT_RAISES(vector.resize(100), "Out of memory");
    setAllocationFailureCountdown(0);
    EXPECT_EQ(cells[3], 0.0);
    EXPECT_EQ(heapBlocksInUse(), blocksBefore + 2);
    cells.reset();
    release(context.get());
    EXPECT_EQ(heapBlocksInUse(), blocksBefore);
    EXPECT_RAISES(allocateHeapArray<Real>(std::numeric_limits<std::size_t>::max() / 4),
                  "Out of memory");
}
