#pragma once

#include <Python.h>

#include "models/trajectory.hpp"

// A recorded run as one tuple per call, never an object per step:
// (rows, nodes, lowest count, count span, probabilities, completions,
// dropped), the last three as bytes of native doubles, rows first, then
// nodes, then counts; dropped has one per row, or none from the maps.
PyObject* Recording_toPy(NObject* obj, const Recording& recording);

struct RecordingResult {
    static PyObject* toPy(NObject* obj, const Recording& r) { return Recording_toPy(obj, r); }
};
