#include "runtime/errors.hpp"

#include <cmath>
#include <cstdlib>

void abort(const char* _message) { throw CException(_message); }

void abortInternal() { abort(messages::internalError); }

void abortImport() { abort(messages::invalidValue); }

double checkDenominator(double x) {
    // No tolerance: only an exact zero (of either sign) is refused.
    if (x == 0.0) abort(messages::divideByZero);
    return x;
}

Int ifloor(Real x) { return static_cast<Int>(std::floor(x)); }

Int iceiling(Real x) { return static_cast<Int>(std::ceil(x)); }

Real safeSqrt(Real x) {
    if (x < 0) abort(messages::negativeSqrt);
    return std::sqrt(x);
}

Real safeLog(Real x) {
    if (x < 0) abort(messages::negativeLog);
    return std::log(x);
}

Real safePow(Real x, Real y) {
    Real z = std::pow(x, y);
    // Overflow, a pole and an invalid argument all end up non-finite.
    if (!std::isfinite(z)) abort(messages::invalidPow);
    return z;
}

Real randomReal() { return static_cast<Real>(std::rand()) / 2147483647.0; }

Int randomInt(int n) { return static_cast<Int>(std::rand() % n); }
