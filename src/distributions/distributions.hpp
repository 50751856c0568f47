#pragma once

#include <memory>

#include "pmf/arrays.hpp"
#include "pmf/pmf.hpp"

// Running products of branch probabilities, one level per loop depth:
// level i holds the probability of the branch at depth i times all levels
// above it. No bound checks; the maps size it to their loop depth.
class SamplingStack {
public:
    explicit SamplingStack(int capacity) : a(new Real[capacity]) {}

    void set(int i, Real p) { a[i] = p; }
    void branch(int i, Real p) { a[i] = p * a[i - 1]; }
    Real branchProbability(int i) const { return a[i]; }

private:
    std::unique_ptr<Real[]> a;
};

Pmf* bernoulli(NObject* obj, Real p);
Pmf* binomial(NObject* obj, int n, Real p);
Pmf* multinomial(NObject* obj, int n, int k, Pmf* p);
Pmf* multinomialLayer(NObject* obj, int n, int k, Real* gamma);
Pmf* hypergeometric(NObject* obj, int N, int K, int n);
Pmf* hypergeometricHelper(NObject* obj, int N, int K, int n, double* logFactorialArray);
// log(i!) for i = 0 .. N; owned by the caller.
std::unique_ptr<double[]> createLogFactorialArrayForHypergeometric(int N);
Pmf* multivariateHypergeometric(NObject* obj, int N, int n, int d, IntArray* b);
Pmf* multivariateHypergeometricLayer(NObject* obj, int N, int n, int d, int* b,
                                     double* logFactorialArray);
