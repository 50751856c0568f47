#include "pmf/accumulator.hpp"

#include <algorithm>
#include <climits>
#include <cstdarg>
#include <memory>

thread_local Real Accumulator::sum = 0.0;

static_assert(maximumWindowLength <= INT_MAX, "a window length must fit the int fields");

namespace {

// Makes the window described by `elements`, `offset` and `length` cover
// `value` and returns the cell of `value`. The new window is computed in
// 64 bits: near 2^30 the doubled span no longer fits an int. A window
// longer than maximumWindowLength, or a heap that cannot supply it, raises
// "Out of memory"; the old window is then left exactly as it was.
template <typename Cell>
long long coverValue(Cell*& elements, Int& offset, Int& length, Int value,
                     const char* negativeMessage) {
    long long newOffset;
    long long newLength;
    if (elements == nullptr) {
        if (value < 0) navro::abort(negativeMessage);
        newOffset = value;
        newLength = 1;
    } else if (value < offset) {
        if (value < 0) navro::abort(negativeMessage);
        // Growing more than doubles the window, so n puts cost O(n) copies.
        long long end = static_cast<long long>(offset) + length;
        newLength = 2 * (end - value);
        newOffset = std::max(0LL, 2LL * value - end);
    } else {
        newOffset = offset;
        newLength = 2 * (static_cast<long long>(value) - offset + 1);
    }
    if (newLength > maximumWindowLength) abortOutOfMemory();
    HeapArray<Cell> cells = allocateHeapArray<Cell>(static_cast<std::size_t>(newLength));
    if (elements != nullptr) {
        std::copy(elements, elements + length, cells.get() + (offset - newOffset));
    }
    heapFree(elements);
    elements = cells.release();
    offset = static_cast<Int>(newOffset);
    length = static_cast<Int>(newLength);
    return value - newOffset;
}

// A depth of 1 takes single values; any other depth takes tuples.
Accumulator* newAccumulator(NObject* obj, int depth) {
    if (depth == 1) return new SimpleAccumulator(obj);
    return new JointAccumulator(obj, depth);
}

// Accumulator of the variables after the first of a `depth`-variable tuple.
Accumulator* newChild(NObject* obj, int depth) {
    return newAccumulator(obj, depth <= 2 ? 1 : depth - 1);
}

// Normalises a Pmf's elements; the total is left in Accumulator::sum for the
// enclosing level.
void normalise(Pmf* pmf) {
    Real* elements = pmf->simple.elements;
    Accumulator::sum = normaliseCells(elements, elements, pmf->simple.length);
}

}  // namespace

Real normaliseCells(const Real* cells, Real* normalised, int length) {
    Real total = 0.0;
    for (int k = 0; k < length; ++k) total += cells[k];
    for (int k = 0; k < length; ++k) normalised[k] = cells[k] / total;
    return total;
}

Pmf* normalisedSimplePmf(NObject* obj, long long offset, const Real* cells, int length,
                         Real& total) {
    const CellRange kept = nonZeroRange(cells, length);
    if (kept.low > kept.high) {
        total = 0.0;
        return nullptr;
    }
    Pmf* pmf =
        allocateSimplePmf(obj, static_cast<int>(offset + kept.low), kept.high - kept.low + 1);
    total = normaliseCells(cells + kept.low, pmf->simple.elements, pmf->simple.length);
    return pmf;
}

Accumulator* Accumulator::putSingle(Real, Int) { abortInternal(); }

Accumulator* Accumulator::putDouble(Real, Int, Int) { abortInternal(); }

Accumulator* Accumulator::put(Real probability, ...) {
    if (probability <= 0) return this;
    if (probability > 1) probability = 1;
    va_list values;
    va_start(values, probability);
    try {
        vput(probability, values);
    } catch (...) {
        va_end(values);
        throw;
    }
    va_end(values);
    return this;
}

Pmf* Accumulator::toPmfAndDelete() {
    std::unique_ptr<Accumulator> owner(this);
    return toPmf();
}

// ---------------------------------------------------------------- simple

SimpleAccumulator::~SimpleAccumulator() { heapFree(elements); }

long long SimpleAccumulator::makeRoomFor(Int value) {
    return coverValue(elements, offset, length, value, messages::negativeIntegerInSupport);
}

Accumulator* SimpleAccumulator::vput(Real probability, va_list& valist) {
    Int value = va_arg(valist, Int);
    return putSingle(probability, value);
}

Pmf* SimpleAccumulator::toPmf() {
    if (length == 0) navro::abort(messages::emptyPmf);
    Real total = 0.0;
    Pmf* pmf = normalisedSimplePmf(obj, offset, elements, length, total);
    if (pmf == nullptr) return allocateSimplePmf(obj, 0, 0);  // `sum` stays as it was
    sum = total;
    return pmf;
}

// ----------------------------------------------------------------- joint

JointAccumulator::JointAccumulator(NObject* obj, int _depth) : Accumulator(obj), depth(_depth) {
    // Bounds the tree of children and every recursion over it.
    if (depth < 1 || depth > maximumPmfDepth) abortInternal();
}

JointAccumulator::~JointAccumulator() {
    for (int k = 0; k < length; ++k) delete elements[k];
    heapFree(elements);
}

bool JointAccumulator::isEmpty() {
    for (int k = 0; k < length; ++k) {
        if (elements[k] != nullptr && !elements[k]->isEmpty()) return false;
    }
    return true;
}

void JointAccumulator::include(Int value) {
    long long k = static_cast<long long>(value) - offset;
    if (elements == nullptr || k < 0 || k >= length) {
        k = coverValue(elements, offset, length, value, messages::samplesMustBeNonnegative);
    }
    if (elements[k] == nullptr) elements[k] = newChild(obj, depth);
}

Accumulator* JointAccumulator::putDouble(Real probability, Int value1, Int value2) {
    if (probability <= 0) return this;
    if (probability > 1) probability = 1;
    // Only a depth-2 accumulator has SIMPLE children to take the second value.
    if (depth != 2) abortInternal();
    // The transition maps pour through here: a value already seen costs a
    // bound test and no call.
    long long k = static_cast<long long>(value1) - offset;
    if (elements == nullptr || k < 0 || k >= length || elements[k] == nullptr) include(value1);
    static_cast<SimpleAccumulator*>(childFor(value1))->putSingle(probability, value2);
    return this;
}

Accumulator* JointAccumulator::vput(Real probability, va_list& valist) {
    if (depth < 2) abortInternal();
    JointAccumulator* level = this;
    for (int i = 2; i < depth; ++i) {
        Int value = va_arg(valist, Int);
        level->include(value);
        level = static_cast<JointAccumulator*>(level->childFor(value));
    }
    Int value1 = va_arg(valist, Int);
    Int value2 = va_arg(valist, Int);
    level->putDouble(probability, value1, value2);
    return this;
}

Pmf* JointAccumulator::toPmf() {
    if (length == 0) navro::abort(messages::emptyPmf);
    auto holdsWeight = [this](int k) { return elements[k] != nullptr && !elements[k]->isEmpty(); };
    int low = 0;
    while (low < length && !holdsWeight(low)) ++low;
    if (low == length) return allocateEmptyJointPmf(obj, depth);
    int high = length - 1;
    while (!holdsWeight(high)) --high;

    Pmf* marginal = allocateSimplePmf(obj, static_cast<int>(static_cast<long long>(offset) + low),
                                      high - low + 1);
    Pmf* joint = allocateJointPmf(obj, marginal, depth);
    for (int k = low; k <= high; ++k) {
        if (!holdsWeight(k)) continue;
        joint->joint.elements[k - low] = elements[k]->toPmf();
        // The child's total, which its toPmf has just left in sum.
        marginal->simple.elements[k - low] = sum;
    }
    normalise(marginal);
    return joint;
}

// -------------------------------------------------------------- compound

CompoundAccumulator::CompoundAccumulator(NObject* obj, PmfConfig* _pmfConfig)
    : Accumulator(obj), pmfConfig(_pmfConfig) {
    if (pmfConfig == nullptr || pmfConfig->pmfType != COMPOUND || pmfConfig->compound.length < 0) {
        abortInternal();
    }
    int count = pmfConfig->compound.length;
    HeapArray<Accumulator*> parts =
        allocateHeapArray<Accumulator*>(static_cast<std::size_t>(count));
    // The destructor does not run for a constructor that throws, so the
    // components made so far are deleted here.
    try {
        for (int i = 0; i < count; ++i) {
            parts[i] = newAccumulator(obj, pmfConfig->compound.depths[i]);
        }
    } catch (...) {
        for (int i = 0; i < count; ++i) delete parts[i];
        throw;
    }
    elements = parts.release();
    length = count;
}

CompoundAccumulator::~CompoundAccumulator() {
    for (int i = 0; i < length; ++i) delete elements[i];
    heapFree(elements);
}

// With no components nothing can ever be poured in.
bool CompoundAccumulator::isEmpty() { return length == 0 || elements[0]->isEmpty(); }

Accumulator* CompoundAccumulator::vput(Real probability, va_list& valist) {
    // Each component takes its own values from the same list in turn.
    for (int i = 0; i < length; ++i) elements[i]->vput(probability, valist);
    return this;
}

Pmf* CompoundAccumulator::toPmf() {
    if (isEmpty()) navro::abort(messages::emptyPmf);
    Pmf* pmf = allocateCompoundPmf(obj, length);
    for (int i = 0; i < length; ++i) pmf->compound.elements[i] = elements[i]->toPmf();
    return pmf;
}
