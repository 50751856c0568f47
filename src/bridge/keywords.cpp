#include "bridge/keywords.hpp"

#include <cstring>

#include "bridge/containers.hpp"
#include "bridge/pmf_conversion.hpp"
#include "bridge/scalars.hpp"
#include "runtime/errors.hpp"

namespace {

// The name of a type as its calls are written: StandardMultiserver, or a
// subclass's own name.
const char* callName(PyTypeObject* type) {
    const char* dot = std::strrchr(type->tp_name, '.');
    return dot == nullptr ? type->tp_name : dot + 1;
}

// A value that passes the field's rule, if it has one.
template <typename T>
T obeying(T (*rule)(T), T value) {
    return rule == nullptr ? value : rule(value);
}

// The items of a sequence in a new list. Those of a list or a tuple are read
// from its storage, as every conversion reads them, so that no method of a
// subclass runs; any other sequence (a NumPy array) is read as it reads
// itself, and one that cannot be raises its own error. That one must say
// first that it has `length` items, so that one without end is not read.
PyRef listOf(PyObject* sequence, int length) {
    if (PyList_Check(sequence)) {
        return PyRef(checkedNew(PyList_GetSlice(sequence, 0, PyList_GET_SIZE(sequence))));
    }
    if (PyTuple_Check(sequence)) {
        const Py_ssize_t size = PyTuple_GET_SIZE(sequence);
        PyRef list(checkedNew(PyList_New(size)));
        for (Py_ssize_t i = 0; i < size; ++i) {
            PyList_SET_ITEM(list.get(), i, Py_NewRef(PyTuple_GET_ITEM(sequence, i)));
        }
        return list;
    }
    const Py_ssize_t size = PySequence_Size(sequence);
    if (size < 0) {
        PyErr_Clear();  // no length: not a sequence of entries
        abortImport();
    }
    if (size != length) abortImport();
    PyRef list(PySequence_List(sequence));
    if (list == nullptr) throw InterpreterError{};
    return list;
}

// The items of a per-node value, in a list of the call's own, which nothing
// that a conversion runs can change: any sequence (a list, a tuple, a NumPy
// array) with exactly `length` items. A str or a dict is not a sequence of
// entries.
PyRef itemsOf(PyObject* sequence, int length) {
    if (!PySequence_Check(sequence) || PyUnicode_Check(sequence) || PyBytes_Check(sequence) ||
        PyByteArray_Check(sequence))
        abortImport();
    PyRef items = listOf(sequence, length);
    if (PyList_GET_SIZE(items.get()) != length) abortImport();
    return items;
}

}  // namespace

void FieldNames::refuseOthers(PyObject* self, PyObject* keywords) const {
    PyObject* key;
    PyObject* value;
    Py_ssize_t position = 0;
    while (PyDict_Next(keywords, &position, &key, &value)) {
        if (!PyUnicode_Check(key)) {
            PyErr_SetString(PyExc_TypeError, "keywords must be strings");
            throw InterpreterError{};
        }
        bool known = false;
        for (const StateKey& name : names) {
            known = known || PyUnicode_CompareWithASCIIString(key, name.text()) == 0;
        }
        if (!known) {
            PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'",
                         callName(Py_TYPE(self)), key);
            throw InterpreterError{};
        }
    }
}

KeywordReader::KeywordReader(NObject* _obj, PyObject* given)
    // A dict of the call's own: nothing that a conversion runs can change it.
    : obj(_obj), keywords(checkedNew(PyDict_Copy(given))) {}

PyObject* KeywordReader::value(const char* name) const {
    // The keys are str, whose lookup runs no Python code and cannot fail.
    return PyDict_GetItemString(keywords.get(), name);
}

template <typename T>
void KeywordReader::keep(T& field, T value) {
    stores.push_back([&field, value] { field = value; });
}

void KeywordReader::field(const char* name, Int& field, IntRule rule, int) {
    if (PyObject* given = value(name)) keep(field, obeying(rule, Int_fromPyMember(obj, given)));
}

void KeywordReader::field(const char* name, Pmf*& field, PmfRule rule, int) {
    if (PyObject* given = value(name)) keep(field, obeying(rule, Pmf_fromPy(obj, given)));
}

void KeywordReader::field(const char* name, PmfArray*& field, PmfRule rule, int length) {
    PyObject* given = value(name);
    if (given == nullptr) return;
    if (length == anyLength) {
        PmfArray* array = PmfArray_fromPy(obj, given);
        for (int i = 0; i < array->length; ++i) obeying(rule, array->elements[i]);
        keep(field, array);
        return;
    }
    PyRef items = itemsOf(given, length);
    PmfArray* array = allocatePmfArray(obj, length);
    for (int i = 0; i < length; ++i) {
        array->elements[i] = obeying(rule, Pmf_fromPy(obj, PyList_GET_ITEM(items.get(), i)));
    }
    keep(field, array);
}

template <typename Array, typename Convert>
void KeywordReader::perNode(const char* name, Array*& field, int length,
                            Array* (*create)(NObject*, int), Convert convert) {
    PyObject* given = value(name);
    if (given == nullptr) return;
    PyRef items = itemsOf(given, length);
    Array* array = create(obj, length);
    for (int i = 0; i < length; ++i) array->elements[i] = convert(PyList_GET_ITEM(items.get(), i));
    keep(field, array);
}

void KeywordReader::field(const char* name, IntArray*& field, IntRule rule, int length) {
    perNode(name, field, length, createIntArray,
            [&](PyObject* item) { return obeying(rule, Int_fromPyIndex(obj, item)); });
}

void KeywordReader::field(const char* name, RoutingTable*& field, RealRule rule, int length) {
    PyObject* given = value(name);
    if (given == nullptr) return;
    PyRef rows = itemsOf(given, length);
    HeapVector<RoutingChange> routes;
    for (int i = 0; i < length; ++i) {
        PyRef row = itemsOf(PyList_GET_ITEM(rows.get(), i), length);
        for (int j = 0; j < length; ++j) {
            const Real p = obeying(rule, Real_fromPy(obj, PyList_GET_ITEM(row.get(), j)));
            if (p > 0) routes.push_back({i, j, p});
        }
    }
    RoutingTable* table = createRoutingTable(obj, length);
    writeRoutes(obj, table, routes, rule);
    keep(field, table);
}

void KeywordReader::field(const char* name, Real& field, RealRule rule, int) {
    if (PyObject* given = value(name)) keep(field, obeying(rule, Real_fromPy(obj, given)));
}

void KeywordReader::field(const char* name, RealArray*& field, RealRule rule, int length) {
    perNode(name, field, length, createRealArray,
            [&](PyObject* item) { return obeying(rule, Real_fromPy(obj, item)); });
}

void KeywordReader::field(const char* name, Int& field, CapacityRule, int) {
    if (PyObject* given = value(name)) keep(field, CapacityAttribute::fromPy(obj, given));
}

void KeywordReader::field(const char* name, IntArray*& field, CapacityRule, int length) {
    perNode(name, field, length, createIntArray,
            [&](PyObject* item) { return CapacityArgument::fromPy(obj, item); });
}

void KeywordReader::commit() {
    for (auto& store : stores) store();
}

bool refusedPositionalOnlyKeyword(PyTypeObject* type, PyObject* keywords, const char* name) {
    if (keywords == nullptr || PyDict_GetItemString(keywords, name) == nullptr) return false;
    PyErr_Format(PyExc_TypeError,
                 "%s() got some positional-only arguments passed as keyword arguments: '%s'",
                 callName(type), name);
    return true;
}
