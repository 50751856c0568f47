#pragma once

#include <cstddef>

#include "models/standard_multiserver.hpp"
#include "models/standard_network_multiserver.hpp"
#include "pmf/pmf.hpp"
#include "runtime/heap.hpp"
#include "runtime/memory.hpp"

// Recording a run of steps: the distribution of the number present at every
// node after each chosen step, and the expected number of services that
// ended in that step, kept on the process heap so that nothing per step
// reaches the interpreter.

// Called by a long operation after each whole step, when the model's fields
// hold everything that must survive: collects what the step left behind, so
// that a run of many steps holds one step's intermediates at a time.
using Checkpoint = void (*)(NObject*);

// The rows of one run. A row holds, per node, the marginal of the number
// present (its window of positive probability) and the expected completions
// of the step that ended at the row; NaN in a row that no step ended at.
class Recording {
public:
    explicit Recording(Int _nodes) : nodes(_nodes) {}

    void addEntry(const Pmf* marginal, Real completions);
    // The same from a window of probabilities of the counts offset ..
    // offset + length - 1 that no Pmf holds (a simulation's frequencies).
    void addEntry(Int offset, int length, const Real* elements, Real completions);

    std::size_t rowCount() const { return completions.size() / static_cast<std::size_t>(nodes); }
    // The counts that some row gives positive probability lie in
    // [lowestCount, lowestCount + countSpan); an empty recording spans none.
    Int lowestCount() const;
    long long countSpan() const;
    // Writes every row as a dense block of `countSpan()` probabilities per
    // node, from `lowestCount()` up, rows first, then nodes.
    void copyProbabilities(Real* out) const;

    const Int nodes;
    // Per entry, in row order and node order within a row.
    HeapVector<Real> completions;

private:
    HeapVector<Int> offsets;
    HeapVector<Int> lengths;
    HeapVector<Real> values;
};

// E[number of services that end in the next step]: of the min(z, c) busy
// servers each ends with P(ell = 1 | z), exactly as the step draws them.
Real expectedCompletions(Pmf* state, Int servers);

// Takes `steps` steps and records the state at every global step index g
// (counted from the start of the whole run, of which `start` steps were
// taken by earlier calls) that is a multiple of `every`; g = 0, the state
// before any step, is recorded when `start` is 0. A step that fails or is
// interrupted raises and leaves the model after its last whole step.
Recording _StandardMultiserver_record(_StandardMultiserver_object* self, Checkpoint checkpoint,
                                      Int steps, Int every, Int start);
Recording _StandardNetworkMultiserver_record(_StandardNetworkMultiserver_object* self,
                                             Checkpoint checkpoint, Int steps, Int every,
                                             Int start);
