#include "runtime/interruption.hpp"

namespace {
// Each thread runs its own operations: one thread's check never runs in
// another's.
struct ThreadChecks {
    InterruptionCheck check = nullptr;
    void* context = nullptr;
    long long period = defaultWorkBetweenChecks;
    long long remaining = defaultWorkBetweenChecks;
};
thread_local ThreadChecks current;
}  // namespace

InterruptionScope::InterruptionScope(InterruptionCheck check, void* context,
                                     long long workBetweenChecks, long long workBeforeFirstCheck)
    : previousCheck(current.check),
      previousContext(current.context),
      previousPeriod(current.period),
      previousRemaining(current.remaining) {
    current = {check, context, workBetweenChecks,
               workBeforeFirstCheck > 0 ? workBeforeFirstCheck : workBetweenChecks};
}

InterruptionScope::~InterruptionScope() {
    current = {previousCheck, previousContext, previousPeriod, previousRemaining};
}

long long InterruptionScope::workToNextCheck() const { return current.remaining; }

void interruptionPoint(long long work) {
    ThreadChecks& checks = current;
    checks.remaining -= work;
    if (checks.remaining > 0) return;
    checks.remaining = checks.period;
    if (checks.check != nullptr) checks.check(checks.context);
}
