#pragma once

#include <cstdarg>

#include "pmf/pmf.hpp"
#include "runtime/heap.hpp"

// Dense weights to distributions, shared by the accumulators and by the maps
// that pour into windows of their own.

// The cells from `low` to `high` are those between the first and the last
// that are not exactly 0.0 (a NaN counts as not zero); low > high when every
// cell is 0.0.
struct CellRange {
    int low;
    int high;
};
inline CellRange nonZeroRange(const Real* cells, int length) {
    int low = 0;
    while (low < length && cells[low] == 0.0) ++low;
    int high = length - 1;
    while (high >= low && cells[high] == 0.0) --high;
    return {low, high};
}

// Writes every cell divided by the total of all of them, summed in
// increasing order, to `normalised` (which may be `cells` itself); returns
// the total.
Real normaliseCells(const Real* cells, Real* normalised, int length);

// The normalised SIMPLE Pmf of the weights `cells` of the values `offset`,
// `offset` + 1, ...: trimmed of its zero ends, with the total before
// normalisation left in `total`. All-zero cells give no Pmf (null) and a
// total of 0. The caller makes sure the kept values fit an Int.
Pmf* normalisedSimplePmf(NObject* obj, long long offset, const Real* cells, int length,
                         Real& total);

// Builders of normalised Pmfs: outcomes are poured in with weights in any
// order; toPmf trims the empty ends, divides by the total and allocates the
// result in the object's memory context. Accumulators and their cells live on
// the process heap and are released by the destructor on every path.
class Accumulator : public OnHeap {
public:
    explicit Accumulator(NObject* _obj) : obj(_obj) {}
    virtual ~Accumulator() = default;
    Accumulator(const Accumulator&) = delete;
    Accumulator& operator=(const Accumulator&) = delete;

    virtual bool isEmpty() = 0;
    virtual Accumulator* putSingle(Real probability, Int value);
    virtual Accumulator* putDouble(Real probability, Int value1, Int value2);
    Accumulator* put(Real probability, ...);
    virtual Accumulator* vput(Real probability, va_list& valist) = 0;
    virtual Pmf* toPmf() = 0;

    Pmf* toPmfAndDelete();

    // Total weight before normalisation, left by the last toPmf of a simple
    // or joint accumulator that produced a non-empty Pmf on this thread:
    // accumulators of models on other threads leave theirs apart.
    static thread_local Real sum;

    NObject* obj;
};

class SimpleAccumulator final : public Accumulator {
public:
    explicit SimpleAccumulator(NObject* obj) : Accumulator(obj) {}
    ~SimpleAccumulator() override;

    bool isEmpty() override { return elements == nullptr; }
    // Inside the window a put is a bound test and an add; growth is out of
    // line.
    SimpleAccumulator* putSingle(Real probability, Int value) override {
        if (probability <= 0) return this;  // a NaN weight is neither <= 0 nor > 1
        if (probability > 1) probability = 1;
        long long k = static_cast<long long>(value) - offset;
        if (elements == nullptr || k < 0 || k >= length) k = makeRoomFor(value);
        elements[k] += probability;
        return this;
    }
    Accumulator* vput(Real probability, va_list& valist) override;
    Pmf* toPmf() override;

    Int offset = 0;
    Int length = 0;
    Real* elements = nullptr;

private:
    // Starts or grows the window so that it covers `value`; returns its cell.
    long long makeRoomFor(Int value);
};

// Longest window an accumulator grows to. Far-apart outcomes would
// otherwise ask for arrays of gigabytes from a two-item input; such a window
// is refused with "Out of memory".
inline constexpr long long maximumWindowLength = 1LL << 26;

class JointAccumulator final : public Accumulator {
public:
    // Refuses a depth outside 1 .. maximumPmfDepth ("NAVRO internal error").
    JointAccumulator(NObject* obj, int _depth);
    ~JointAccumulator() override;

    // True while no cell below holds any weight, also when a window exists
    // (an outcome that failed half way leaves empty children behind).
    bool isEmpty() override;
    Accumulator* putDouble(Real probability, Int value1, Int value2) override;
    Accumulator* vput(Real probability, va_list& valist) override;
    Pmf* toPmf() override;

    // Makes the window cover `value` and gives the cell of `value` a child.
    // Only cells that an outcome reached get one: a child in every cell of a
    // window stretched by two far-apart values would cost gigabytes.
    void include(Int value);
    // The child that accumulates the remaining variables for `value`, which
    // must have been included.
    Accumulator* childFor(Int value) { return elements[value - offset]; }

    int depth;
    int offset = 0;
    int length = 0;
    Accumulator** elements = nullptr;
};

class CompoundAccumulator final : public Accumulator {
public:
    CompoundAccumulator(NObject* obj, PmfConfig* _pmfConfig);
    ~CompoundAccumulator() override;

    bool isEmpty() override;
    Accumulator* vput(Real probability, va_list& valist) override;
    Pmf* toPmf() override;

    PmfConfig* pmfConfig;
    Accumulator** elements = nullptr;
    // Number of components, kept here so that the destructor does not read
    // a configuration that a sweep may already have freed.
    int length = 0;
};
