#include "distributions/distributions.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>

#include "pmf/accumulator.hpp"
#include "runtime/buffer.hpp"
#include "runtime/errors.hpp"

namespace {

// Longest element array a constructor builds: the longest window an
// accumulator may grow to, so no count that a state can hold is refused.
constexpr long long maximumLength = maximumWindowLength;

// Total bytes of the records of one multinomial or multivariate
// hypergeometric tree. Their number grows combinatorially with the
// parameters (a handful of ints can ask for more records than any machine
// holds), so the tree is measured before anything is built.
constexpr std::uint64_t maximumTreeBytes =
    static_cast<std::uint64_t>(maximumWindowLength) * sizeof(Real);

// The window of a hypergeometric result, computed once for both the
// constructor and the measuring of a tree so the two cannot disagree.
// Parameters are 0 <= K <= N and 0 <= n <= N, so no difference overflows.
Support hypergeometricSupport(int N, int K, int n) {
    int kMin = std::max(0, n - (N - K));
    int kMax = std::min(n, K);
    return {kMin, static_cast<long long>(kMax) - kMin + 1};
}

void requireHypergeometricDomain(int N, int K, int n) {
    if (N < 0 || K < 0 || n < 0 || K > N || n > N) abortInternal();
}

// Bytes of one layer's own records: its marginal and the joint over it.
// Anything longer than an element array may be counts as past every limit.
std::uint64_t layerBytes(long long length) {
    if (length > maximumLength) return maximumTreeBytes + 1;
    int l = static_cast<int>(length);
    return simplePmfBlockSize(l) + jointPmfBlockSize(l);
}

// Each count below stops as soon as it passes `limit`, so measuring costs no
// more than building a tree of the limit's size would.
std::uint64_t multinomialTreeBytes(int n, int k, const Real* gamma, std::uint64_t limit) {
    if (k == 1) return simplePmfBlockSize(1);
    Support s = binomialSupport(n, gamma[0]);
    std::uint64_t total = layerBytes(s.length);
    for (long long i = 0; i < s.length && total <= limit; ++i) {
        int v = s.offset + static_cast<int>(i);
        total += multinomialTreeBytes(n - v, k - 1, gamma + 1, limit - total);
    }
    return total;
}

std::uint64_t multivariateHypergeometricTreeBytes(int N, int n, int d, const int* b,
                                                  std::uint64_t limit) {
    if (d == 1) return simplePmfBlockSize(1);
    requireHypergeometricDomain(N, b[0], n);
    Support s = hypergeometricSupport(N, b[0], n);
    std::uint64_t total = layerBytes(s.length);
    for (long long i = 0; i < s.length && total <= limit; ++i) {
        int v = s.offset + static_cast<int>(i);
        total += multivariateHypergeometricTreeBytes(N - b[0], n - v, d - 1, b + 1, limit - total);
    }
    return total;
}

Pmf* buildMultinomialLayer(NObject* obj, int n, int k, Real* gamma) {
    if (k == 1) return createAtomicSimplePmf(obj, n);  // the rest all fall in the last category
    Pmf* marginal = binomial(obj, n, gamma[0]);
    Pmf* joint = allocateJointPmf(obj, marginal, k);
    // Every value gets its conditional, even one whose probability
    // underflowed to 0.0.
    for (int i = 0; i < marginal->simple.length; ++i) {
        int v = marginal->simple.offset + i;
        joint->joint.elements[i] = buildMultinomialLayer(obj, n - v, k - 1, gamma + 1);
    }
    return joint;
}

Pmf* buildMultivariateHypergeometricLayer(NObject* obj, int N, int n, int d, int* b,
                                          double* logFactorialArray) {
    if (d == 1) return createAtomicSimplePmf(obj, n);  // the rest all come from the last class
    Pmf* marginal = hypergeometricHelper(obj, N, b[0], n, logFactorialArray);
    Pmf* joint = allocateJointPmf(obj, marginal, d);
    for (int i = 0; i < marginal->simple.length; ++i) {
        int v = marginal->simple.offset + i;
        joint->joint.elements[i] = buildMultivariateHypergeometricLayer(obj, N - b[0], n - v, d - 1,
                                                                        b + 1, logFactorialArray);
    }
    return joint;
}

}  // namespace

Pmf* bernoulli(NObject* obj, Real p) {
    if (p <= 0) return createAtomicSimplePmf(obj, 0);
    if (p >= 1) return createAtomicSimplePmf(obj, 1);
    Pmf* pmf = allocateSimplePmf(obj, 0, 2);
    pmf->simple.elements[0] = 1 - p;
    pmf->simple.elements[1] = p;
    return pmf;
}

Pmf* binomial(NObject* obj, int n, Real p) {
    if (n < 0) abortInternal();
    const Support window = binomialSupport(n, p);
    if (window.length > maximumLength) abortOutOfMemory();
    Pmf* pmf = allocateSimplePmf(obj, window.offset, static_cast<int>(window.length));
    fillBinomial(n, p, [](int k) { return std::log(static_cast<Real>(k)); }, pmf->simple.elements);
    return pmf;
}

Pmf* multinomial(NObject* obj, int n, int k, Pmf* p) {
    if (p == nullptr || p->pmfType != SIMPLE || p->simple.offset != 0 || p->simple.length != k)
        navro::abort(messages::invalidMultinomial);
    // The result is a joint of depth k built k levels deep.
    if (n < 0 || k < 1 || k > maximumPmfDepth) navro::abort(messages::invalidMultinomial);
    auto gamma = heapArray<Real>(k);
    // gamma[i]: probability of category i given none of the ones before it.
    // A category of probability 0 takes no trials, also once the earlier
    // ones have used up the whole remainder (where the quotient is 0/0).
    Real remainder = 1.0;
    for (int i = 0; i < k - 1; ++i) {
        Real pi = p->simple.elements[i];
        gamma[i] = pi == 0 ? 0.0 : pi / remainder;
        remainder = remainder - pi;
    }
    gamma[k - 1] = 1.0;
    return multinomialLayer(obj, n, k, gamma.get());
}

Pmf* multinomialLayer(NObject* obj, int n, int k, Real* gamma) {
    if (n < 0 || k < 1 || k > maximumPmfDepth || gamma == nullptr) abortInternal();
    if (multinomialTreeBytes(n, k, gamma, maximumTreeBytes) > maximumTreeBytes) abortOutOfMemory();
    return buildMultinomialLayer(obj, n, k, gamma);
}

HeapArray<double> createLogFactorialArrayForHypergeometric(int N) {
    if (N < 0) abortInternal();
    auto table = heapArray<double>(static_cast<long long>(N) + 1);
    table[0] = 0.0;
    for (int i = 1; i <= N; ++i) table[i] = table[i - 1] + std::log(static_cast<double>(i));
    return table;
}

Pmf* hypergeometricHelper(NObject* obj, int N, int K, int n, double* logFactorialArray) {
    requireHypergeometricDomain(N, K, n);
    const double* L = logFactorialArray;
    Support s = hypergeometricSupport(N, K, n);
    // log of K! (N - K)! n! (N - n)! / N!
    double fixedPart = (L[K] + L[N - K]) - ((L[N] - L[n]) - L[N - n]);
    Pmf* pmf = allocateSimplePmf(obj, s.offset, static_cast<int>(s.length));
    for (int i = 0; i < s.length; ++i) {
        int k = s.offset + i;
        pmf->simple.elements[i] =
            std::exp((((fixedPart - L[k]) - L[K - k]) - L[n - k]) - L[(N - K) - (n - k)]);
    }
    return pmf;
}

Pmf* hypergeometric(NObject* obj, int N, int K, int n) {
    if (N < 0 || K < 0 || n < 0 || K > N || n > N) navro::abort(messages::invalidHypergeometric);
    auto table = createLogFactorialArrayForHypergeometric(N);
    return hypergeometricHelper(obj, N, K, n, table.get());
}

Pmf* multivariateHypergeometric(NObject* obj, int N, int n, int d, IntArray* b) {
    if (b == nullptr || n < 0 || n > N || b->length != d)
        navro::abort(messages::invalidMultivariateHypergeometric);
    // The result is a joint of depth d built d levels deep.
    if (d < 1 || d > maximumPmfDepth) navro::abort(messages::invalidMultivariateHypergeometric);
    // Summed wide: class sizes near the top of Int would wrap a 32-bit sum
    // round to a plausible N.
    long long checkN = 0;
    for (int i = 0; i < d; ++i) {
        if (b->elements[i] < 0) navro::abort(messages::invalidMultivariateHypergeometric);
        checkN += b->elements[i];
    }
    if (checkN != N) navro::abort(messages::invalidMultivariateHypergeometric);
    auto table = createLogFactorialArrayForHypergeometric(N);
    return multivariateHypergeometricLayer(obj, N, n, d, b->elements, table.get());
}

Pmf* multivariateHypergeometricLayer(NObject* obj, int N, int n, int d, int* b,
                                     double* logFactorialArray) {
    if (d < 1 || d > maximumPmfDepth || b == nullptr) abortInternal();
    if (multivariateHypergeometricTreeBytes(N, n, d, b, maximumTreeBytes) > maximumTreeBytes)
        abortOutOfMemory();
    return buildMultivariateHypergeometricLayer(obj, N, n, d, b, logFactorialArray);
}
