#pragma once

#include <climits>
#include <cstdarg>
#include <cstddef>

#include "runtime/errors.hpp"
#include "runtime/memory.hpp"
#include "runtime/types.hpp"

enum PmfType : int { SIMPLE = 0, JOINT = 1, COMPOUND = 2 };

struct Pmf;

// Probabilities of the values offset .. offset + length - 1.
struct SimplePmfOverlay {
    int offset;
    int length;
    Real elements[];
};

// A tree of conditionals: `elements[k]` is the distribution of the remaining
// depth - 1 variables given that the first is marginal->offset + k (null
// where that value has probability 0).
struct JointPmfOverlay {
    int depth;
    Pmf* marginal;
    Pmf* elements[];
};

struct CompoundPmfOverlay {
    int length;
    Pmf* elements[];
};

// One block per record, sized to its own overlay and elements only. A
// finished Pmf is never changed, so sub-Pmfs are shared freely.
struct Pmf {
    MemHeader memHeader;
    PmfType pmfType;
    union {
        SimplePmfOverlay simple;
        JointPmfOverlay joint;
        CompoundPmfOverlay compound;
    };
};

struct SimplePmfConfigOverlay {};

struct JointPmfConfigOverlay {
    int depth;
};

struct CompoundPmfConfigOverlay {
    int length;
    int depths[];
};

struct PmfConfig {
    MemHeader memHeader;
    PmfType pmfType;
    union {
        SimplePmfConfigOverlay simple;
        JointPmfConfigOverlay joint;
        CompoundPmfConfigOverlay compound;
    };
};

// Block sizes requested from nmalloc, one per record kind.
std::size_t simplePmfBlockSize(int length);
std::size_t jointPmfBlockSize(int marginalLength);
std::size_t compoundPmfBlockSize(int length);
std::size_t simplePmfConfigBlockSize();
std::size_t jointPmfConfigBlockSize();
std::size_t compoundPmfConfigBlockSize(int length);

Pmf* allocateSimplePmf(NObject* obj, int offset, int length);
Pmf* allocateJointPmf(NObject* obj, Pmf* marginal, int depth);
Pmf* allocateEmptyJointPmf(NObject* obj, int depth);
Pmf* allocateCompoundPmf(NObject* obj, int length);

// The window of a SIMPLE record to build: its smallest value and its length.
struct SimpleShape {
    Int offset;
    int length;
};

// A JOINT Pmf of depth 2 together with its SIMPLE marginal, of the shape
// `marginal`, and the conditional of each of its values k, of the shape
// conditionals[k] (none, a null element, where the length is 0), all in one
// block: one request to the heap and one block for the collector, where
// records built one by one would take one each. Each record is the one that
// allocateSimplePmf or allocateJointPmf would build, so the bytes counted
// are theirs. The elements are not set: the caller writes every one.
Pmf* allocateJointPmfBlock(NObject* obj, SimpleShape marginal, const SimpleShape* conditionals);

PmfConfig* createSimplePmfConfig(NObject* obj);
PmfConfig* createJointPmfConfig(NObject* obj, int depth);
PmfConfig* createCompoundPmfConfig(NObject* obj, int length, ...);

Pmf* createCompoundPmf(NObject* obj, int length, ...);
Pmf* createAtomicSimplePmf(NObject* obj, Int value);
Pmf* defaultJointPmf(NObject* obj, int depth);
Pmf* defaultPmf(NObject* obj, PmfConfig* pmfConfig);

// Probability of i in a SIMPLE Pmf; exactly 0.0 outside the window.
inline Real lookupProbability(Pmf* pmf, Int i) {
    // 64-bit difference: i - offset cannot overflow for any pair of Ints.
    long long k = static_cast<long long>(i) - pmf->simple.offset;
    if (k < 0 || k >= pmf->simple.length) return 0.0;
    return pmf->simple.elements[k];
}

Pmf* lookupMarginalPmf(Pmf* pmf);
Pmf* lookupConditionalPmf(Pmf* pmf, Int length, ...);
// One-value form of lookupConditionalPmf, the one the transition maps use.
Pmf* lookupConditionalPmf1(Pmf* pmf, Int value);
Pmf* lookupCompoundPmf(Pmf* pmf, Int i);

Int computeLeftTail(Pmf* pmf, Real epsilon);
Int computeRightTail(Pmf* pmf, Real epsilon);
// The same of the probabilities probabilityAt(k) of the values offset + k,
// k = 0 .. length - 1, wherever they come from; only those summed are asked
// for.
inline Int clampToInt(long long value) {
    return value > INT_MAX ? INT_MAX : static_cast<Int>(value);
}

template <typename ProbabilityAt>
Int leftTailOf(Int offset, int length, Real epsilon, ProbabilityAt&& probabilityAt) {
    Real sum = 0.0;
    for (int k = 0; k < length; ++k) {
        sum += probabilityAt(k);
        if (sum >= epsilon) return clampToInt(static_cast<long long>(offset) + k);
    }
    return clampToInt(static_cast<long long>(offset) + length);
}

template <typename ProbabilityAt>
Int rightTailOf(Int offset, int length, Real epsilon, ProbabilityAt&& probabilityAt) {
    Real sum = 0.0;
    for (int k = length - 1; k >= 0; --k) {
        sum += probabilityAt(k);
        if (sum >= epsilon) return clampToInt(static_cast<long long>(offset) + k);
    }
    return offset;
}

Boolean isSamePmfInstance(Pmf* p, Pmf* q);

void flag(Pmf* pmf);

Pmf* confirmSimplePmf(Pmf* pmf);
Pmf* confirmJointPmf(Pmf* pmf, int depth);
Pmf* confirmCompoundPmf(Pmf* pmf, int length, ...);
// The same check with the depths in a list that the caller still owns (it is
// copied, not advanced), so one list can check many Pmfs.
Pmf* vconfirmCompoundPmf(Pmf* pmf, int length, va_list depths);

// Nesting bound of a Pmf and of the tuple keys that build one. Keeps every
// recursive walk (conversion, accumulation, enumeration, marking) well
// inside the C stack; deeper input is refused with "Invalid value".
inline constexpr int maximumPmfDepth = 64;
