#include "bridge/long_operation.hpp"

#include "runtime/forks.hpp"

namespace {
// Ctrl-C is answered well within a fifth of a second even when taking the
// lock back waits for another thread to let it go; checking more often
// would only cost the threads time.
constexpr auto signalInterval = std::chrono::milliseconds(5);
}  // namespace

LongOperation::LongOperation(NObject* _obj)
    : obj(_obj), mayRelease(_obj->entryDepth == 1), interruptions(check, this) {
    obj->working = true;
}

// The state is `released` no more before the lock is asked for, so that a
// thread that the shutting-down interpreter ends there does not ask again.
void LongOperation::holdLock() {
    PyThreadState* state = released;
    released = nullptr;
    if (state == nullptr) return;
    exposeToForks(false);
    PyEval_RestoreThread(state);
}

void LongOperation::letLockGo() {
    if (!mayRelease) return;
    released = PyEval_SaveThread();
    exposeToForks(true);
}

// The lock is let go only at the first check rather than at the start: a
// short operation, most steps of a small model, keeps it and so never waits
// to take it back from a thread that runs Python code. The signals are
// looked at from then on.
void LongOperation::check(void* self) {
    auto* operation = static_cast<LongOperation*>(self);
    const auto now = std::chrono::steady_clock::now();
    if (!operation->checked) {
        operation->checked = true;
        operation->lastSignalCheck = now;
        operation->letLockGo();
        return;
    }
    if (now - operation->lastSignalCheck < signalInterval) return;
    operation->lastSignalCheck = now;
    operation->holdLock();
    if (PyErr_CheckSignals() != 0) throw InterpreterError{};
    operation->letLockGo();
}
