#include "bridge/scalars.hpp"

#include <cstdint>
#include <limits>

#include "bridge/pyref.hpp"
#include "runtime/errors.hpp"

PyObject* checkedNew(PyObject* created) {
    if (created == nullptr) {
        PyErr_Clear();
        abortOutOfMemory();
    }
    return created;
}

PyObject* Int_toPy(NObject*, Int i) { return checkedNew(PyLong_FromLong(i)); }

namespace {
// The value of an int, refused rather than truncated when it does not fit a
// 32-bit count.
Int inIntRange(PyObject* integer) {
    int overflow = 0;
    long long value = PyLong_AsLongLongAndOverflow(integer, &overflow);
    if (value == -1 && PyErr_Occurred()) {
        PyErr_Clear();
        abortImport();
    }
    if (overflow != 0 || value < std::numeric_limits<Int>::min() ||
        value > std::numeric_limits<Int>::max())
        abortImport();
    return static_cast<Int>(value);
}
}  // namespace

Int Int_fromPy(NObject*, PyObject* pyObj) {
    if (!PyLong_Check(pyObj)) abortImport();
    return inIntRange(pyObj);
}

Int Int_fromPyIndex(NObject*, PyObject* pyObj) {
    if (PyLong_Check(pyObj)) return inIntRange(pyObj);
    PyRef integer(PyNumber_Index(pyObj));
    if (integer == nullptr) {
        // The interpreter's TypeError says that the object has no integer
        // value; anything else came from the object's own __index__.
        if (!PyErr_ExceptionMatches(PyExc_TypeError)) throw InterpreterError{};
        PyErr_Clear();
        abortImport();
    }
    return inIntRange(integer.get());
}

Int Int_fromPyMember(NObject*, PyObject* pyObj) {
    if (PyLong_Check(pyObj)) return inIntRange(pyObj);
    PyRef integer(PyNumber_Index(pyObj));
    if (integer == nullptr) throw InterpreterError{};
    return inIntRange(integer.get());
}

PyObject* Real_toPy(NObject*, Real x) { return checkedNew(PyFloat_FromDouble(x)); }

Real Real_fromPy(NObject*, PyObject* pyObj) {
    if (PyFloat_Check(pyObj)) return PyFloat_AS_DOUBLE(pyObj);
    if (!PyLong_Check(pyObj)) abortImport();
    double value = PyLong_AsDouble(pyObj);
    if (value == -1.0 && PyErr_Occurred()) {  // too large for a double
        PyErr_Clear();
        abortImport();
    }
    return value;
}

PyObject* Boolean_toPy(NObject*, Boolean b) { return PyBool_FromLong(b ? 1 : 0); }

Boolean Boolean_fromPy(NObject*, PyObject* pyObj) {
    int overflow = 0;
    long long value = PyLong_AsLongLongAndOverflow(pyObj, &overflow);
    if (value == -1 && PyErr_Occurred()) {  // no integer value at all
        PyErr_Clear();
        abortImport();
    }
    // An integer too large for a machine word is still nonzero.
    return overflow != 0 || value != 0;
}
