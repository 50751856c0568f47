#pragma once

#include "pmf/pmf.hpp"
#include "runtime/heap.hpp"

struct SampleEnumeratorRecord {
    Int value;
    Real probability;
    Pmf* pmf;
};

// Depth-first walk of the positive-probability outcomes of a SIMPLE or JOINT
// Pmf in lexicographic order; each outcome is handed to recordSample.
class SampleEnumerator {
public:
    explicit SampleEnumerator(Pmf* pmf);
    virtual ~SampleEnumerator() = default;
    SampleEnumerator(const SampleEnumerator&) = delete;
    SampleEnumerator& operator=(const SampleEnumerator&) = delete;

    void run();
    // Called with `level` == `depth`; the outcome is records[1..depth].
    virtual void recordSample() = 0;

    bool isPrevious = false;
    int depth;
    int level = 0;
    HeapArray<SampleEnumeratorRecord> records;
};
