#pragma once

#include <Python.h>

// navro._core._simulate(model, steps, servers, arrivals, durations, routing,
// every, horizon, runs, key, threads): the engine of navro.simulate. It
// enters the model through the one entry path (so another thread's call on
// the model is refused), reads its state, and makes the runs without the
// interpreter lock, stopping at Ctrl-C. The settings of the periods come as
// plain buffers, checked here:
//   steps     int32 per period
//   servers   int32 per period and node
//   arrivals, durations
//             a tuple with, per period and node, a pair (values as int32,
//             weights as float64)
//   routing   float64 per period, source and destination; empty for a
//             station
// It returns (rows, nodes, lowest count, count span, probabilities,
// completions) as a recorded run does, and a dict of the sums over runs that
// the standard errors and the arrival measures need, each as float64 bytes
// divided by the number of runs.
PyObject* simulate_Py(PyObject* module, PyObject* args);

extern const char* const simulateHelp;
