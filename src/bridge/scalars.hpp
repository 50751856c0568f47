#pragma once

#include <Python.h>

#include "runtime/memory.hpp"
#include "runtime/types.hpp"

// Conversions of the scalar types. The *_toPy functions return a new
// reference; the *_fromPy functions raise "Invalid value" for anything of
// the wrong type or out of range, and never leave an interpreter error set.
PyObject* Int_toPy(NObject* obj, Int i);
// An int (or a subclass of int, bool included): the keys of pmf dicts.
Int Int_fromPy(NObject* obj, PyObject* pyObj);
// An int or any object with an integer value (__index__, as a NumPy integer
// has), as the interpreter's own integer arguments take them: the int
// arguments of the methods. A value out of the 32-bit range raises "Invalid
// value"; so does an object without an integer value, while any other error
// of its __index__ is raised as it is (InterpreterError).
Int Int_fromPyIndex(NObject* obj, PyObject* pyObj);
// The same for the integer attributes, which behave like the interpreter's
// own integer members: an object without an integer value raises the
// interpreter's TypeError (InterpreterError); a value out of the 32-bit range
// raises "Invalid value".
Int Int_fromPyMember(NObject* obj, PyObject* pyObj);
PyObject* Real_toPy(NObject* obj, Real x);
Real Real_fromPy(NObject* obj, PyObject* pyObj);
PyObject* Boolean_toPy(NObject* obj, Boolean b);
Boolean Boolean_fromPy(NObject* obj, PyObject* pyObj);

// Takes ownership of a new reference from the interpreter; a null result
// means the interpreter ran out of memory, which is reported as such.
PyObject* checkedNew(PyObject* created);
