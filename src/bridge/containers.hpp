#pragma once

#include <Python.h>

#include "models/routing.hpp"
#include "pmf/arrays.hpp"
#include "runtime/heap.hpp"

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

// Any number of values, none included, from a list or a tuple, each
// converted as a single argument is.
HeapVector<Int> IntValues_fromPy(NObject* obj, PyObject* pyObj);
HeapVector<Real> RealValues_fromPy(NObject* obj, PyObject* pyObj);

// A routing table as its routes: a tuple of three lists (sources,
// destinations, probabilities) in increasing order of source and then
// destination, each route of positive probability.
PyObject* RoutingTable_toPy(NObject* obj, RoutingTable* table);

// Function tables: the three parallel arrays of the object header.
const char* functionNameFromPointer(NObject* obj, void* fp);
void* functionPointerFromName(NObject* obj, int signatureIndex, const char* name);

PyObject* Interface_toPy(NObject* obj, void* functionPtr);
const char* Interface_fromPy(NObject* obj, PyObject* pyObj, int signatureIndex);
PyObject* InterfaceArray_toPy(NObject* obj, InterfaceArray* a);
InterfaceArray* InterfaceArray_fromPy(NObject* obj, PyObject* pyObj, int signatureIndex);
PyObject* InterfaceMatrix_toPy(NObject* obj, InterfaceMatrix* m);
InterfaceMatrix* InterfaceMatrix_fromPy(NObject* obj, PyObject* pyObj, int signatureIndex);
