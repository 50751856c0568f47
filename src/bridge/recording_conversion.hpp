#pragma once

#include <Python.h>

#include "models/trajectory.hpp"

// A recorded run as one tuple per call, never an object per step:
// (rows, nodes, window width, first counts, windows, completions, arrivals,
// tail, dropped, limits, limits tail), the last eight as bytes of native
// int32 and doubles, rows first, then nodes, then the cells of a window or
// of the arrivals' sums (WaitLayout) or of the limits (LimitLayout); the
// tails hold, per node, the sums of the steps after the last row; dropped,
// the mass an exact chain dropped up to each row (none from the maps);
// limits and their tail are empty from an engine that records none.
PyObject* Recording_toPy(NObject* obj, const Recording& recording);

struct RecordingResult {
    static PyObject* toPy(NObject* obj, const Recording& r) { return Recording_toPy(obj, r); }
};
