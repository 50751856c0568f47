#pragma once

#include <Python.h>

#include <memory>

// Owner of one strong reference, released on every path out of a scope.
struct PyRefRelease {
    void operator()(PyObject* o) const { Py_XDECREF(o); }
};
using PyRef = std::unique_ptr<PyObject, PyRefRelease>;

// Thrown where the interpreter already holds the error to raise, such as the
// KeyboardInterrupt of a signal handler: the entry raises that one.
struct InterpreterError {};
