#pragma once

#include <Python.h>

#include "pmf/arrays.hpp"

// Arrays and matrices as Python lists (a matrix is a list of row lists).
// From Python only a list (or subclass) with at least one item is accepted.
PyObject* IntArray_toPy(NObject* obj, IntArray* a);
IntArray* IntArray_fromPy(NObject* obj, PyObject* pyObj);
PyObject* RealArray_toPy(NObject* obj, RealArray* a);
RealArray* RealArray_fromPy(NObject* obj, PyObject* pyObj);
PyObject* BooleanArray_toPy(NObject* obj, BooleanArray* a);
BooleanArray* BooleanArray_fromPy(NObject* obj, PyObject* pyObj);
PyObject* PmfArray_toPy(NObject* obj, PmfArray* a);
PmfArray* PmfArray_fromPy(NObject* obj, PyObject* pyObj);

PyObject* IntMatrix_toPy(NObject* obj, IntMatrix* m);
IntMatrix* IntMatrix_fromPy(NObject* obj, PyObject* pyObj);
PyObject* RealMatrix_toPy(NObject* obj, RealMatrix* m);
RealMatrix* RealMatrix_fromPy(NObject* obj, PyObject* pyObj);
PyObject* BooleanMatrix_toPy(NObject* obj, BooleanMatrix* m);
BooleanMatrix* BooleanMatrix_fromPy(NObject* obj, PyObject* pyObj);
PyObject* PmfMatrix_toPy(NObject* obj, PmfMatrix* m);
PmfMatrix* PmfMatrix_fromPy(NObject* obj, PyObject* pyObj);

// Function tables: the three parallel arrays of the object header.
const char* functionNameFromPointer(NObject* obj, void* fp);
void* functionPointerFromName(NObject* obj, int signatureIndex, const char* name);

PyObject* Interface_toPy(NObject* obj, void* functionPtr);
const char* Interface_fromPy(NObject* obj, PyObject* pyObj, int signatureIndex);
PyObject* InterfaceArray_toPy(NObject* obj, InterfaceArray* a);
InterfaceArray* InterfaceArray_fromPy(NObject* obj, PyObject* pyObj, int signatureIndex);
PyObject* InterfaceMatrix_toPy(NObject* obj, InterfaceMatrix* m);
InterfaceMatrix* InterfaceMatrix_fromPy(NObject* obj, PyObject* pyObj, int signatureIndex);
