#pragma once

#include <cmath>

#include "pmf/arrays.hpp"
#include "pmf/pmf.hpp"
#include "runtime/heap.hpp"

// Running products of branch probabilities, one level per loop depth:
// level i holds the probability of the branch at depth i times all levels
// above it. No bound checks; the maps size it to their loop depth.
class SamplingStack {
public:
    explicit SamplingStack(int capacity)
        : a(allocateHeapArray<Real>(static_cast<std::size_t>(capacity))) {}

    void set(int i, Real p) { a[i] = p; }
    void branch(int i, Real p) { a[i] = p * a[i - 1]; }
    Real branchProbability(int i) const { return a[i]; }

private:
    HeapArray<Real> a;
};

Pmf* bernoulli(NObject* obj, Real p);
Pmf* binomial(NObject* obj, int n, Real p);

// The window of a constructor's result: its smallest value and its length.
struct Support {
    int offset;
    long long length;
};

// The window of binomial(n, p): all mass at 0 when p <= 0, all at n when
// p >= 1, else 0 .. n.
inline Support binomialSupport(int n, Real p) {
    if (p <= 0) return {0, 1};
    if (p >= 1) return {n, 1};
    return {0, static_cast<long long>(n) + 1};  // a NaN p lands here too
}

// The elements of binomial(n, p) over that window, written to `element`.
// `logOf(k)` gives log(k) for 1 <= k <= n, so that callers building many
// binomials can look the logarithms up instead of computing them again.
//
// One trial is the Bernoulli distribution, 1 - p and p, as exact as the
// two numbers themselves: a one-server station, and every count with one
// busy server, draws its completions from it. More trials follow
// P(i) = P(i - 1) * (n - i + 1) / i * p / (1 - p), in log space so that no
// intermediate overflows. The order of the operations is part of the
// result: the elements are neither normalised nor trimmed afterwards.
template <typename LogOf>
void fillBinomial(int n, Real p, LogOf&& logOf, Real* element) {
    if (p <= 0 || p >= 1) {
        element[0] = 1.0;
        return;
    }
    if (n == 1) {
        element[0] = 1 - p;
        element[1] = p;
        return;
    }
    const Real logP = std::log(p);
    const Real logQ = std::log(1 - p);
    const Real logR = logP - logQ;
    Real x = n * logQ;
    element[0] = std::exp(x);
    for (int i = 1; i <= n; ++i) {
        x = x + ((logOf(n - i + 1) + logR) - logOf(i));
        element[i] = std::exp(x);
    }
}
Pmf* multinomial(NObject* obj, int n, int k, Pmf* p);
Pmf* multinomialLayer(NObject* obj, int n, int k, Real* gamma);
Pmf* hypergeometric(NObject* obj, int N, int K, int n);
Pmf* hypergeometricHelper(NObject* obj, int N, int K, int n, double* logFactorialArray);
// log(i!) for i = 0 .. N; owned by the caller.
HeapArray<double> createLogFactorialArrayForHypergeometric(int N);
Pmf* multivariateHypergeometric(NObject* obj, int N, int n, int d, IntArray* b);
Pmf* multivariateHypergeometricLayer(NObject* obj, int N, int n, int d, int* b,
                                     double* logFactorialArray);
