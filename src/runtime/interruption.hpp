#pragma once

// Long operations (a step, a recorded run) can be stopped part way. Their
// loops call interruptionPoint with the work done since their last call, in
// units of about one multiply-add; after every `workBetweenChecks` units the
// check that the caller installed for this thread runs. It may throw to
// abandon the operation, which leaves its object as a failure of the
// operation does. Without a check installed (the unit tests, a call that is
// not long) a point costs a subtraction.

// A check and what it works on.
using InterruptionCheck = void (*)(void* context);

// About a hundredth of a millisecond of work: often enough for the check to
// keep its own time, rarely enough to cost nothing measurable.
inline constexpr long long defaultWorkBetweenChecks = 1 << 14;

// Installs a check for this thread while it lives, and puts back the one
// before it when it ends. The first check comes after `workBeforeFirstCheck`
// units, every later one `workBetweenChecks` after the one before.
class InterruptionScope {
public:
    InterruptionScope(InterruptionCheck check, void* context,
                      long long workBetweenChecks = defaultWorkBetweenChecks,
                      long long workBeforeFirstCheck = 0);
    ~InterruptionScope();
    InterruptionScope(const InterruptionScope&) = delete;
    InterruptionScope& operator=(const InterruptionScope&) = delete;

    // The work left before the next check runs, while this scope is the
    // thread's current one.
    long long workToNextCheck() const;

private:
    InterruptionCheck previousCheck;
    void* previousContext;
    long long previousPeriod;
    long long previousRemaining;
};

void interruptionPoint(long long work);

// Work counted in a loop and handed to interruptionPoint a batch at a time,
// so that a loop of many small iterations pays for a point rarely; flush()
// hands over what is left when the loop ends.
class WorkMeter {
public:
    void add(long long work) {
        pending += work;
        if (pending >= batch) [[unlikely]]
            flush();
    }
    void flush() {
        interruptionPoint(pending);
        pending = 0;
    }

private:
    static constexpr long long batch = 1 << 10;
    long long pending = 0;
};
