#pragma once

#include <Python.h>

#include <chrono>
#include <type_traits>

#include "bridge/pyref.hpp"
#include "runtime/interruption.hpp"
#include "runtime/memory.hpp"

// The span of a long operation on an object: a step, a recorded run. The
// object is marked as working, so no other call enters it until the
// operation ends. When this is the object's only entry, the interpreter lock
// is let go once the operation has done a little work, so that other threads
// run meanwhile: nothing of the operation touches a Python object, and
// nothing else touches the object. An outer entry on the same thread may be
// in the middle of reading the object, so a nested operation keeps the lock.
// On the thread that handles signals (the main one), every few milliseconds
// the signal handlers run, with the lock taken back briefly; an error of
// theirs (Ctrl-C's KeyboardInterrupt) abandons the operation. Other threads
// never take the lock back before the operation ends, since no signal
// handler would run there.
class LongOperation {
public:
    explicit LongOperation(NObject* obj);
    ~LongOperation();
    LongOperation(const LongOperation&) = delete;
    LongOperation& operator=(const LongOperation&) = delete;

    // Runs `work` and takes the lock back, here rather than in a destructor:
    // while the interpreter shuts down, taking it back ends the thread by
    // unwinding its stack, which must not begin inside a destructor.
    template <typename Work>
    auto run(Work&& work) {
        try {
            if constexpr (std::is_void_v<decltype(work())>) {
                work();
                holdLock();
            } else {
                auto result = work();
                holdLock();
                return result;
            }
        } catch (...) {
            holdLock();
            throw;
        }
    }

private:
    static void check(void* self);
    void holdLock();
    void letLockGo();
    long long workDone() const;

    NObject* obj;
    bool mayRelease;
    bool handlesSignals;
    PyThreadState* released = nullptr;
    bool checked = false;
    bool letGo = false;
    long long checks = 0;
    long long firstCheckAfter;
    std::chrono::steady_clock::time_point lastSignalCheck;
    InterruptionScope interruptions;
};
