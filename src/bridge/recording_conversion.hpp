#pragma once

#include <Python.h>

#include "models/trajectory.hpp"

// A recorded run as one tuple per call, never an object per step:
// (rows, nodes, window width, first counts, windows, completions, arrivals,
// tail, dropped, blocked, abandonments, abandoned, limits tail), the last
// ten as bytes of native int32 and doubles, rows first, then nodes, then
// the cells of a window or of the arrivals' sums (WaitLayout); the tails
// hold, per node, the sums of the steps after the last row (of the limits:
// LimitLayout cells); dropped, the mass an exact chain dropped up to each
// row (none from the maps); blocked, abandonments and abandoned are per
// entry, each empty from an engine that does not give it, and the limits'
// tail only comes with `abandoned` (or alone, from a call of no rows).
PyObject* Recording_toPy(NObject* obj, const Recording& recording);

struct RecordingResult {
    static PyObject* toPy(NObject* obj, const Recording& r) { return Recording_toPy(obj, r); }
};
