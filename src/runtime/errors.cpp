#include "runtime/errors.hpp"

#include <cmath>
#include <cstdlib>
#include <exception>

void navro::abort(const char* _message) { throw CException(_message); }

void abortInternal() { navro::abort(messages::internalError); }

void abortImport() { navro::abort(messages::invalidValue); }

void abortOutOfMemory() { navro::abort(messages::outOfMemory); }

namespace {
// The module's thread-local variables are one block per thread, made whole
// at the first use of any of them.
thread_local volatile bool threadBlockMade = false;
}  // namespace

void prepareThread() {
    // Reading the count of exceptions in flight makes the state of this
    // thread; once made it lasts as long as the thread. The library declares
    // the read pure, so the count is kept in a volatile lest the call be
    // dropped as unused.
    volatile int inFlight = std::uncaught_exceptions();
    static_cast<void>(inFlight);
    threadBlockMade = true;
}

double checkDenominator(double x) {
    // No tolerance: only an exact zero (of either sign) is refused.
    if (x == 0.0) navro::abort(messages::divideByZero);
    return x;
}

Int ifloor(Real x) { return static_cast<Int>(std::floor(x)); }

Int iceiling(Real x) { return static_cast<Int>(std::ceil(x)); }

Real safeSqrt(Real x) {
    if (x < 0) navro::abort(messages::negativeSqrt);
    return std::sqrt(x);
}

Real safeLog(Real x) {
    if (x < 0) navro::abort(messages::negativeLog);
    return std::log(x);
}

Real safePow(Real x, Real y) {
    Real z = std::pow(x, y);
    // Overflow, a pole and an invalid argument all end up non-finite.
    if (!std::isfinite(z)) navro::abort(messages::invalidPow);
    return z;
}

Real randomReal() { return static_cast<Real>(std::rand()) / 2147483647.0; }

Int randomInt(int n) { return static_cast<Int>(std::rand() % n); }
