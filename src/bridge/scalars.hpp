#pragma once

#include <Python.h>

#include "runtime/memory.hpp"
#include "runtime/types.hpp"

// Conversions of the scalar types. The *_toPy functions return a new
// reference; the *_fromPy functions raise "Invalid value" for anything of
// the wrong type or out of range, and never leave an interpreter error set.
PyObject* Int_toPy(NObject* obj, Int i);
Int Int_fromPy(NObject* obj, PyObject* pyObj);
PyObject* Real_toPy(NObject* obj, Real x);
Real Real_fromPy(NObject* obj, PyObject* pyObj);
PyObject* Boolean_toPy(NObject* obj, Boolean b);
Boolean Boolean_fromPy(NObject* obj, PyObject* pyObj);

// Takes ownership of a new reference from the interpreter; a null result
// means the interpreter ran out of memory, which is reported as such.
PyObject* checkedNew(PyObject* created);
