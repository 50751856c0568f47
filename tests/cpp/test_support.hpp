#pragma once

#include <gtest/gtest.h>

#include <cstddef>
#include <cstring>
#include <initializer_list>

#include "pmf/pmf.hpp"
#include "runtime/errors.hpp"
#include "runtime/heap.hpp"
#include "runtime/memory.hpp"

// A memory context for one test: every block still unmarked when the test
// ends is freed by the destructor's sweep.
struct TestContext {
    NObject obj{};
    TestContext() { initializeMemoryContext(&obj, nullptr, nullptr, nullptr); }
    ~TestContext() { release(&obj); }
    TestContext(const TestContext&) = delete;
    TestContext& operator=(const TestContext&) = delete;
    NObject* operator->() { return &obj; }
    NObject* get() { return &obj; }
};

// Expects `statement` to throw a CException whose message is exactly
// `expectedMessage` (compared by content).
#define EXPECT_RAISES(statement, expectedMessage)                                        \
    do {                                                                                 \
        bool navroRaised_ = false;                                                       \
        try {                                                                            \
            statement;                                                                   \
        } catch (const CException& navroError_) {                                        \
            navroRaised_ = true;                                                         \
            EXPECT_STREQ(navroError_.message, (expectedMessage)) << "from: " #statement; \
        }                                                                                \
        EXPECT_TRUE(navroRaised_) << "no CException from: " #statement;                  \
    } while (false)

// Number of blocks on the context's list.
inline std::size_t liveBlocks(NObject* obj) {
    std::size_t n = 0;
    for (MemHeader* block = obj->memList; block != nullptr; block = block->next) ++n;
    return n;
}

// A SIMPLE Pmf with the given window contents, as written (not normalised).
inline Pmf* simplePmf(NObject* obj, int offset, std::initializer_list<Real> elements) {
    Pmf* pmf = allocateSimplePmf(obj, offset, static_cast<int>(elements.size()));
    int k = 0;
    for (Real p : elements) pmf->simple.elements[k++] = p;
    return pmf;
}
