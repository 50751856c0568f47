#include "pmf/pmf.hpp"

#include <climits>
#include <cstdarg>
#include <cstddef>

// Each block is as long as its own kind needs, not as long as the largest
// overlay: the memory counters add up exactly these sizes.
std::size_t simplePmfBlockSize(int length) {
    return offsetof(Pmf, simple.elements) + static_cast<std::size_t>(length) * sizeof(Real);
}

std::size_t jointPmfBlockSize(int marginalLength) {
    return offsetof(Pmf, joint.elements) + static_cast<std::size_t>(marginalLength) * sizeof(Pmf*);
}

std::size_t compoundPmfBlockSize(int length) {
    return offsetof(Pmf, compound.elements) + static_cast<std::size_t>(length) * sizeof(Pmf*);
}

std::size_t simplePmfConfigBlockSize() { return offsetof(PmfConfig, pmfType) + sizeof(PmfType); }

std::size_t jointPmfConfigBlockSize() { return offsetof(PmfConfig, joint.depth) + sizeof(int); }

std::size_t compoundPmfConfigBlockSize(int length) {
    return offsetof(PmfConfig, compound.depths) + static_cast<std::size_t>(length) * sizeof(int);
}

Pmf* allocateSimplePmf(NObject* obj, int offset, int length) {
    // A negative length would wrap to a huge request, and a window reaching
    // past the largest Int would hold values no caller can name.
    if (length < 0 || static_cast<long long>(offset) + length - 1 > INT_MAX) abortInternal();
    auto* pmf = static_cast<Pmf*>(nmalloc(obj, simplePmfBlockSize(length)));
    pmf->pmfType = SIMPLE;
    pmf->simple.offset = offset;
    pmf->simple.length = length;
    return pmf;
}

Pmf* allocateJointPmf(NObject* obj, Pmf* marginal, int depth) {
    if (marginal == nullptr || marginal->pmfType != SIMPLE) abortInternal();
    auto* pmf = static_cast<Pmf*>(nmalloc(obj, jointPmfBlockSize(marginal->simple.length)));
    pmf->pmfType = JOINT;
    pmf->joint.depth = depth;
    pmf->joint.marginal = marginal;
    return pmf;
}

Pmf* allocateEmptyJointPmf(NObject* obj, int depth) {
    return allocateJointPmf(obj, allocateSimplePmf(obj, 0, 0), depth);
}

Pmf* allocateCompoundPmf(NObject* obj, int length) {
    if (length < 0) abortInternal();
    auto* pmf = static_cast<Pmf*>(nmalloc(obj, compoundPmfBlockSize(length)));
    pmf->pmfType = COMPOUND;
    pmf->compound.length = length;
    return pmf;
}

PmfConfig* createSimplePmfConfig(NObject* obj) {
    auto* config = static_cast<PmfConfig*>(nmalloc(obj, simplePmfConfigBlockSize()));
    config->pmfType = SIMPLE;
    return config;
}

PmfConfig* createJointPmfConfig(NObject* obj, int depth) {
    auto* config = static_cast<PmfConfig*>(nmalloc(obj, jointPmfConfigBlockSize()));
    config->pmfType = JOINT;
    config->joint.depth = depth;
    return config;
}

PmfConfig* createCompoundPmfConfig(NObject* obj, int length, ...) {
    if (length < 0) abortInternal();
    auto* config = static_cast<PmfConfig*>(nmalloc(obj, compoundPmfConfigBlockSize(length)));
    config->pmfType = COMPOUND;
    config->compound.length = length;
    va_list depths;
    va_start(depths, length);
    for (int i = 0; i < length; ++i) config->compound.depths[i] = va_arg(depths, int);
    va_end(depths);
    return config;
}

Pmf* createCompoundPmf(NObject* obj, int length, ...) {
    Pmf* pmf = allocateCompoundPmf(obj, length);
    va_list components;
    va_start(components, length);
    for (int i = 0; i < length; ++i) pmf->compound.elements[i] = va_arg(components, Pmf*);
    va_end(components);
    return pmf;
}

Pmf* createAtomicSimplePmf(NObject* obj, Int value) {
    Pmf* pmf = allocateSimplePmf(obj, value, 1);
    pmf->simple.elements[0] = 1.0;
    return pmf;
}

Pmf* defaultJointPmf(NObject* obj, int depth) {
    // One atomic record serves as every level's marginal and as the
    // innermost conditional: a finished Pmf is never changed, so sharing is
    // safe and keeps the default small.
    Pmf* atom = createAtomicSimplePmf(obj, 0);
    Pmf* pmf = atom;
    for (int level = 2; level <= depth; ++level) {
        Pmf* joint = allocateJointPmf(obj, atom, level);
        joint->joint.elements[0] = pmf;
        pmf = joint;
    }
    return pmf;
}

Pmf* defaultPmf(NObject* obj, PmfConfig* pmfConfig) {
    if (pmfConfig == nullptr) abortInternal();
    switch (pmfConfig->pmfType) {
        case JOINT:
            return defaultJointPmf(obj, pmfConfig->joint.depth);
        case COMPOUND: {
            int length = pmfConfig->compound.length;
            Pmf* pmf = allocateCompoundPmf(obj, length);
            for (int i = 0; i < length; ++i) {
                int depth = pmfConfig->compound.depths[i];
                pmf->compound.elements[i] =
                    depth == 1 ? createAtomicSimplePmf(obj, 0) : defaultJointPmf(obj, depth);
            }
            return pmf;
        }
        default:
            return createAtomicSimplePmf(obj, 0);
    }
}

Pmf* lookupMarginalPmf(Pmf* pmf) {
    if (pmf->pmfType != JOINT) abortInternal();
    return pmf->joint.marginal;
}

namespace {
// One step down the tree of conditionals. The probability test comes first,
// so a null conditional (whose marginal weight is 0) is never returned.
Pmf* conditionOn(Pmf* pmf, Int value) {
    if (pmf == nullptr || pmf->pmfType != JOINT) abortInternal();
    Pmf* marginal = pmf->joint.marginal;
    if (lookupProbability(marginal, value) == 0.0)
        navro::abort(messages::conditionOnZeroProbability);
    Pmf* conditional = pmf->joint.elements[value - marginal->simple.offset];
    if (conditional == nullptr) abortInternal();
    return conditional;
}
}  // namespace

Pmf* lookupConditionalPmf(Pmf* pmf, Int length, ...) {
    if (length <= 0) return pmf;
    // Conditioning on more variables than the Pmf has would walk past its
    // innermost SIMPLE level.
    if (pmf->pmfType != JOINT || length > pmf->joint.depth - 1) abortInternal();
    va_list values;
    va_start(values, length);
    try {
        for (Int i = 0; i < length; ++i) pmf = conditionOn(pmf, va_arg(values, Int));
    } catch (...) {
        va_end(values);
        throw;
    }
    va_end(values);
    return pmf;
}

Pmf* lookupConditionalPmf1(Pmf* pmf, Int value) { return conditionOn(pmf, value); }

Pmf* lookupCompoundPmf(Pmf* pmf, Int i) {
    if (pmf->pmfType != COMPOUND || i < 0 || i >= pmf->compound.length) abortInternal();
    return pmf->compound.elements[i];
}

namespace {
// The bounds are Ints; one past a window that ends at the largest Int is
// not, so it is held there.
Int clampToInt(long long value) { return value > INT_MAX ? INT_MAX : static_cast<Int>(value); }
}  // namespace

Int computeLeftTail(Pmf* pmf, Real epsilon) {
    if (pmf->pmfType != SIMPLE) navro::abort(messages::leftTailRequiresSimple);
    const SimplePmfOverlay& simple = pmf->simple;
    Real sum = 0.0;
    for (int k = 0; k < simple.length; ++k) {
        sum += simple.elements[k];
        if (sum >= epsilon) return clampToInt(static_cast<long long>(simple.offset) + k);
    }
    return clampToInt(static_cast<long long>(simple.offset) + simple.length);
}

Int computeRightTail(Pmf* pmf, Real epsilon) {
    if (pmf->pmfType != SIMPLE) navro::abort(messages::rightTailRequiresSimple);
    const SimplePmfOverlay& simple = pmf->simple;
    Real sum = 0.0;
    for (int k = simple.length - 1; k >= 0; --k) {
        sum += simple.elements[k];
        if (sum >= epsilon) return clampToInt(static_cast<long long>(simple.offset) + k);
    }
    return simple.offset;
}

Boolean isSamePmfInstance(Pmf* p, Pmf* q) { return p == q; }

// No visited test: a shared sub-Pmf is walked once per path. The graph is
// acyclic, so the walk ends, and its depth is the nesting of the Pmf.
void flag(Pmf* pmf) {
    if (pmf == nullptr) return;
    _flag(pmf);
    switch (pmf->pmfType) {
        case JOINT: {
            Pmf* marginal = pmf->joint.marginal;
            if (marginal == nullptr) return;
            flag(marginal);
            // The conditionals are counted by the marginal, not by a field of
            // their own.
            for (int i = 0; i < marginal->simple.length; ++i) flag(pmf->joint.elements[i]);
            return;
        }
        case COMPOUND:
            for (int i = 0; i < pmf->compound.length; ++i) flag(pmf->compound.elements[i]);
            return;
        default:
            return;
    }
}

// A missing Pmf (a null element of an array) fails every shape check rather
// than being read.
Pmf* confirmSimplePmf(Pmf* pmf) {
    if (pmf == nullptr || pmf->pmfType != SIMPLE) abortImport();
    return pmf;
}

Pmf* confirmJointPmf(Pmf* pmf, int depth) {
    if (pmf == nullptr || pmf->pmfType != JOINT || pmf->joint.depth != depth) abortImport();
    return pmf;
}

Pmf* vconfirmCompoundPmf(Pmf* pmf, int length, va_list depths) {
    if (pmf == nullptr || pmf->pmfType != COMPOUND || pmf->compound.length != length) abortImport();
    va_list each;
    va_copy(each, depths);
    try {
        for (int i = 0; i < length; ++i) {
            int depth = va_arg(each, int);
            Pmf* component = pmf->compound.elements[i];
            if (depth == 1) {
                confirmSimplePmf(component);
            } else {
                confirmJointPmf(component, depth);
            }
        }
    } catch (...) {
        va_end(each);
        throw;
    }
    va_end(each);
    return pmf;
}

Pmf* confirmCompoundPmf(Pmf* pmf, int length, ...) {
    va_list depths;
    va_start(depths, length);
    try {
        vconfirmCompoundPmf(pmf, length, depths);
    } catch (...) {
        va_end(depths);
        throw;
    }
    va_end(depths);
    return pmf;
}
