#pragma once

#include <cstddef>

#include "models/arrival_waits.hpp"
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
// present as its own window (its first count and the probabilities from
// there), the expected completions of the step that ended at the row (NaN
// in a row that no step ended at), and what the arrivals of the steps since
// the row before add up to (WaitLayout; none in the first row of a run).
// Windows are kept apart rather than in one rectangle from the lowest to the
// highest count of the whole run: a queue that grows through a long run would
// make that rectangle many times larger than the windows themselves.
class Recording {
public:
    // Storage for `rows` rows is taken here, before any step, so that a run
    // whose rows cannot be held is refused ("Out of memory") before it
    // starts rather than after its last step. `width` is the window length
    // expected per entry; longer windows grow the storage as they come.
    Recording(Int nodes, long long rows, long long width, Int horizon);

    void addEntry(const Pmf* marginal, Real completions, const Real* arrivals);
    // The same from P(count = offset + k) = probabilities[k], zero ends
    // included.
    void addEntry(Int offset, const Real* probabilities, int length, Real completions,
                  const Real* arrivals);

    std::size_t rowCount() const { return completions.size() / static_cast<std::size_t>(nodes); }
    // The longest window of any entry; 0 when there is none.
    long long windowWidth() const { return widest; }
    // Writes every entry's first count to `offsets` and its window, padded
    // with zeros to `windowWidth()` cells, to `cells`: rows first, then nodes.
    void copyWindows(Int* offsets, Real* cells) const;

    const Int nodes;
    const Int horizon;             // of the waits; below 0 when only the arrivals are kept
    const long long arrivalCells;  // WaitLayout::length(horizon)
    // Per entry, in row order and node order within a row.
    HeapVector<Real> completions;
    HeapVector<Real> arrivals;  // arrivalCells per entry
    // Per node, the arrivals of the steps after the last row: the first row
    // of the next call of the same run stands for them too.
    HeapVector<Real> tail;
    // Per row, the probability that an exact chain has dropped up to the
    // row; empty for an engine that drops none it does not renormalise.
    HeapVector<Real> dropped;
    // Per entry, like `completions`: E[arrivals blocked] and E[entities
    // that gave up] in the steps that the row stands for (0 in a run's
    // first row); empty for an engine that does not give them.
    HeapVector<Real> blocked;
    HeapVector<Real> abandonments;
    // Per entry, E[number of the row's arrivals that give up before
    // service] (NaN where unknown); empty for an engine that does not give it.
    HeapVector<Real> abandoned;
    // Per node, LimitLayout cells of the steps after the last row, for the
    // next call of the same run; with `abandoned` only.
    HeapVector<Real> limitsTail;

    // Adds the limits (LimitLayout) of the entry added last.
    void addLimits(const Real* cells) {
        blocked.push_back(cells[LimitLayout::blocked]);
        abandonments.push_back(cells[LimitLayout::abandonments]);
        abandoned.push_back(cells[LimitLayout::abandoned]);
    }

private:
    HeapVector<Int> offsets;
    HeapVector<Int> lengths;
    HeapVector<Real> values;
    long long widest = 0;
};

// E[number of the waiting that give up in the next step]: each of the
// z - min(z, c) waiting, with chance `abandonment`.
Real expectedAbandonments(Pmf* state, Int servers, Real abandonment);

// E[number of services that end in the next step]: of the min(z, c) busy
// servers each ends with P(ell = 1 | z), exactly as the step draws them.
Real expectedCompletions(Pmf* state, Int servers);

// The number of rows that a call with these arguments records.
long long recordedRows(Int steps, Int every, Int start);

// Takes `steps` steps and records the state at every global step index g
// (counted from the start of the whole run, of which `start` steps were
// taken by earlier calls) that is a multiple of `every`; g = 0, the state
// before any step, is recorded when `start` is 0. The arrivals of every step
// are summed into the next row, with their waits up to `horizon` steps (none
// when it is below 0). A step that fails or is interrupted raises and leaves
// the model after its last whole step.
Recording _StandardMultiserver_record(_StandardMultiserver_object* self, Checkpoint checkpoint,
                                      Int steps, Int every, Int start, Int horizon);
Recording _StandardNetworkMultiserver_record(_StandardNetworkMultiserver_object* self,
                                             Checkpoint checkpoint, Int steps, Int every, Int start,
                                             Int horizon);
