#pragma once

#include <gtest/gtest.h>

#include <cstring>

#include "runtime/errors.hpp"
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
// `message` (compared by content).
#define EXPECT_RAISES(statement, expectedMessage)                                               \
    do {                                                                                \
        bool navroRaised_ = false;                                                      \
        try {                                                                           \
            statement;                                                                  \
        } catch (const CException& navroError_) {                                       \
            navroRaised_ = true;                                                        \
            EXPECT_STREQ(navroError_.message, (expectedMessage)) << "from: " #statement;        \
        }                                                                               \
        EXPECT_TRUE(navroRaised_) << "no CException from: " #statement;                 \
    } while (false)
