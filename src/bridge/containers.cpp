#include "bridge/containers.hpp"

#include <climits>
#include <cstring>
#include <type_traits>

#include "bridge/pmf_conversion.hpp"
#include "bridge/pyref.hpp"
#include "bridge/scalars.hpp"
#include "runtime/errors.hpp"
#include "runtime/heap.hpp"

namespace {

// One kind per record type: how its record is made for n elements and how
// one element crosses to and from Python. A matrix is an array of rows, so
// its kind converts each element with the row kind's list conversion; the
// same two functions below then serve all ten types.
//
//   using Record = ...;
//   static Record* create(NObject*, int n);
//   static PyObject* toPy(NObject*, element);
//   static element fromPy(NObject*, PyObject*, context...);

template <typename Kind>
PyObject* listToPy(NObject* obj, typename Kind::Record* record) {
    // Rows are set when a matrix is built; a missing one is a broken record.
    if (record == nullptr) abortInternal();
    // The entries are read before any Python object is made. Making one may
    // run Python code that calls the model again and replaces entries of this
    // very record (a step does, in place); the list shows the record as it
    // was when the conversion began, and the entries stay until it ends.
    using Entry = std::remove_reference_t<decltype(record->elements[0])>;
    const HeapVector<Entry> entries(record->elements, record->elements + record->length);
    PyRef list(checkedNew(PyList_New(static_cast<Py_ssize_t>(entries.size()))));
    for (std::size_t i = 0; i < entries.size(); ++i) {
        // A new list takes over the item's reference; slots not yet filled
        // are null, which the list's release skips if a later item fails.
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), Kind::toPy(obj, entries[i]));
    }
    return list.release();
}

template <typename Kind, typename... Context>
typename Kind::Record* listFromPy(NObject* obj, PyObject* pyObj, Context... context) {
    if (!PyList_Check(pyObj)) abortImport();
    Py_ssize_t size = PyList_GET_SIZE(pyObj);
    if (size < 1 || size > INT_MAX) abortImport();
    auto* record = Kind::create(obj, static_cast<int>(size));
    // Items are read from the list's own storage. An item's conversion may
    // run Python code (an object's own integer conversion, for a Boolean),
    // which could shrink the list or drop an item: the list and the item in
    // hand are held, and the size is read again before every item.
    PyRef list(Py_NewRef(pyObj));
    for (int i = 0; i < record->length; ++i) {
        if (i >= PyList_GET_SIZE(list.get())) abortImport();
        PyRef item(Py_NewRef(PyList_GET_ITEM(list.get(), i)));
        record->elements[i] = Kind::fromPy(obj, item.get(), context...);
    }
    return record;
}

struct IntKind {
    using Record = IntArray;
    static IntArray* create(NObject* obj, int n) { return createIntArray(obj, n); }
    static PyObject* toPy(NObject* obj, Int x) { return Int_toPy(obj, x); }
    static Int fromPy(NObject* obj, PyObject* o) { return Int_fromPy(obj, o); }
};

struct RealKind {
    using Record = RealArray;
    static RealArray* create(NObject* obj, int n) { return createRealArray(obj, n); }
    static PyObject* toPy(NObject* obj, Real x) { return Real_toPy(obj, x); }
    static Real fromPy(NObject* obj, PyObject* o) { return Real_fromPy(obj, o); }
};

struct BooleanKind {
    using Record = BooleanArray;
    static BooleanArray* create(NObject* obj, int n) { return createBooleanArray(obj, n); }
    static PyObject* toPy(NObject* obj, Boolean x) { return Boolean_toPy(obj, x); }
    static Boolean fromPy(NObject* obj, PyObject* o) { return Boolean_fromPy(obj, o); }
};

struct PmfKind {
    using Record = PmfArray;
    static PmfArray* create(NObject* obj, int n) { return allocatePmfArray(obj, n); }
    static PyObject* toPy(NObject* obj, Pmf* p) { return Pmf_toPy(obj, p); }
    static Pmf* fromPy(NObject* obj, PyObject* o) { return Pmf_fromPy(obj, o); }
};

struct InterfaceKind {
    using Record = InterfaceArray;
    static InterfaceArray* create(NObject* obj, int n) { return allocateInterfaceArray(obj, n); }
    static PyObject* toPy(NObject* obj, void* f) { return Interface_toPy(obj, f); }
    // The name is validated first and then looked up again for its pointer.
    static void* fromPy(NObject* obj, PyObject* o, int signatureIndex) {
        return functionPointerFromName(obj, signatureIndex,
                                       Interface_fromPy(obj, o, signatureIndex));
    }
};

template <typename RowKind, typename Matrix, auto createMatrix>
struct MatrixKind {
    using Record = Matrix;
    using Row = typename RowKind::Record;
    // The rows start null and are filled from the items.
    static Matrix* create(NObject* obj, int n) { return createMatrix(obj, n, 0); }
    static PyObject* toPy(NObject* obj, Row* row) { return listToPy<RowKind>(obj, row); }
    template <typename... Context>
    static Row* fromPy(NObject* obj, PyObject* o, Context... context) {
        return listFromPy<RowKind>(obj, o, context...);
    }
};

using IntMatrixKind = MatrixKind<IntKind, IntMatrix, createIntMatrix>;
using RealMatrixKind = MatrixKind<RealKind, RealMatrix, createRealMatrix>;
using BooleanMatrixKind = MatrixKind<BooleanKind, BooleanMatrix, createBooleanMatrix>;
using PmfMatrixKind = MatrixKind<PmfKind, PmfMatrix, allocatePmfMatrix>;
using InterfaceMatrixKind = MatrixKind<InterfaceKind, InterfaceMatrix, allocateInterfaceMatrix>;

}  // namespace

PyObject* IntArray_toPy(NObject* obj, IntArray* a) { return listToPy<IntKind>(obj, a); }
IntArray* IntArray_fromPy(NObject* obj, PyObject* pyObj) { return listFromPy<IntKind>(obj, pyObj); }
PyObject* RealArray_toPy(NObject* obj, RealArray* a) { return listToPy<RealKind>(obj, a); }
RealArray* RealArray_fromPy(NObject* obj, PyObject* pyObj) {
    return listFromPy<RealKind>(obj, pyObj);
}
PyObject* BooleanArray_toPy(NObject* obj, BooleanArray* a) { return listToPy<BooleanKind>(obj, a); }
BooleanArray* BooleanArray_fromPy(NObject* obj, PyObject* pyObj) {
    return listFromPy<BooleanKind>(obj, pyObj);
}
PyObject* PmfArray_toPy(NObject* obj, PmfArray* a) { return listToPy<PmfKind>(obj, a); }
PmfArray* PmfArray_fromPy(NObject* obj, PyObject* pyObj) { return listFromPy<PmfKind>(obj, pyObj); }

PyObject* IntMatrix_toPy(NObject* obj, IntMatrix* m) { return listToPy<IntMatrixKind>(obj, m); }
IntMatrix* IntMatrix_fromPy(NObject* obj, PyObject* pyObj) {
    return listFromPy<IntMatrixKind>(obj, pyObj);
}
PyObject* RealMatrix_toPy(NObject* obj, RealMatrix* m) { return listToPy<RealMatrixKind>(obj, m); }
RealMatrix* RealMatrix_fromPy(NObject* obj, PyObject* pyObj) {
    return listFromPy<RealMatrixKind>(obj, pyObj);
}
PyObject* BooleanMatrix_toPy(NObject* obj, BooleanMatrix* m) {
    return listToPy<BooleanMatrixKind>(obj, m);
}
BooleanMatrix* BooleanMatrix_fromPy(NObject* obj, PyObject* pyObj) {
    return listFromPy<BooleanMatrixKind>(obj, pyObj);
}
PyObject* PmfMatrix_toPy(NObject* obj, PmfMatrix* m) { return listToPy<PmfMatrixKind>(obj, m); }
PmfMatrix* PmfMatrix_fromPy(NObject* obj, PyObject* pyObj) {
    return listFromPy<PmfMatrixKind>(obj, pyObj);
}

const char* functionNameFromPointer(NObject* obj, void* fp) {
    for (int i = 0; i < obj->functionCount; ++i) {
        if (obj->functionPointers[i] == fp) return obj->functionNames[i];
    }
    return "0";
}

void* functionPointerFromName(NObject* obj, int signatureIndex, const char* name) {
    for (int i = 0; i < obj->functionCount; ++i) {
        if (obj->functionSignatureIndexes[i] == signatureIndex &&
            std::strcmp(obj->functionNames[i], name) == 0)
            return obj->functionPointers[i];
    }
    return nullptr;
}

PyObject* Interface_toPy(NObject* obj, void* functionPtr) {
    return checkedNew(PyUnicode_FromString(functionNameFromPointer(obj, functionPtr)));
}

const char* Interface_fromPy(NObject* obj, PyObject* pyObj, int signatureIndex) {
    if (!PyUnicode_Check(pyObj)) abortImport();
    Py_ssize_t size = 0;
    const char* text = PyUnicode_AsUTF8AndSize(pyObj, &size);
    if (text == nullptr) {  // not encodable, e.g. a lone surrogate
        PyErr_Clear();
        abortImport();
    }
    // A name with a NUL inside would match the table entry of its prefix.
    if (std::strlen(text) != static_cast<std::size_t>(size)) abortImport();
    if (functionPointerFromName(obj, signatureIndex, text) == nullptr) abortImport();
    return text;  // owned by the str, which the caller holds
}

PyObject* InterfaceArray_toPy(NObject* obj, InterfaceArray* a) {
    return listToPy<InterfaceKind>(obj, a);
}
InterfaceArray* InterfaceArray_fromPy(NObject* obj, PyObject* pyObj, int signatureIndex) {
    return listFromPy<InterfaceKind>(obj, pyObj, signatureIndex);
}
PyObject* InterfaceMatrix_toPy(NObject* obj, InterfaceMatrix* m) {
    return listToPy<InterfaceMatrixKind>(obj, m);
}
InterfaceMatrix* InterfaceMatrix_fromPy(NObject* obj, PyObject* pyObj, int signatureIndex) {
    return listFromPy<InterfaceMatrixKind>(obj, pyObj, signatureIndex);
}
