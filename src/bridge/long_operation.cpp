#include "bridge/long_operation.hpp"

#include "runtime/forks.hpp"

namespace {
// Ctrl-C is answered well within a fifth of a second even when taking the
// lock back waits for another thread to let it go; checking more often
// would only cost the threads time.
constexpr auto signalInterval = std::chrono::milliseconds(5);

// The lock is let go after this much work, a few microseconds: an operation
// shorter than that, such as a step of a one-server station, keeps it and so
// never waits to take it back from a thread that runs Python code, while a
// longer one holds it for a small part of its time only, so that threads
// that step models of their own run side by side. An operation on an object
// whose last one was that long lets it go at once: the few microseconds
// before the first check would otherwise be spent holding the lock that the
// other threads wait for at the end of each of their steps. A short one
// after it lets it go too, but the one after that keeps it again.
constexpr long long workBeforeRelease = 1 << 11;

// Whether this thread, which holds the lock, is the one that runs the signal
// handlers: the main thread of the main interpreter.
bool threadHandlesSignals() {
#if PY_VERSION_HEX < 0x030D0000
    return _PyOS_IsMainThread() != 0;
#else
    return true;  // no way to ask: every thread looks for signals
#endif
}
}  // namespace

LongOperation::LongOperation(NObject* _obj)
    : obj(_obj),
      mayRelease(_obj->entryDepth == 1),
      handlesSignals(threadHandlesSignals()),
      firstCheckAfter(_obj->lastOperationLetLockGo ? 1 : workBeforeRelease),
      interruptions(check, this, defaultWorkBetweenChecks, firstCheckAfter) {
    obj->working = true;
}

LongOperation::~LongOperation() {
    obj->working = false;
    obj->lastOperationLetLockGo = letGo && workDone() >= workBeforeRelease;
}

// The work counted so far, up to what the checks' own rounding drops.
long long LongOperation::workDone() const {
    const long long sinceCheck = checks == 0 ? firstCheckAfter : defaultWorkBetweenChecks;
    const long long beforeCheck =
        checks == 0 ? 0 : firstCheckAfter + (checks - 1) * defaultWorkBetweenChecks;
    return beforeCheck + sinceCheck - interruptions.workToNextCheck();
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
    letGo = true;
    exposeToForks(true);
}

// The lock is let go only at the first check rather than at the start: a
// short operation, most steps of a small model, keeps it and so never waits
// to take it back from a thread that runs Python code. The signals are
// looked at from then on.
void LongOperation::check(void* self) {
    auto* operation = static_cast<LongOperation*>(self);
    ++operation->checks;
    if (operation->checked && !operation->handlesSignals) return;
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
