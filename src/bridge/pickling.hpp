#pragma once

// Copies and pickles of the models. A model reduces to
// copyreg.__newobj__(type, *constructor arguments) and a state of plain
// numbers and bytes holding every field as it is stored: Pmf records travel
// as their own elements, bit for bit, not through the dict form, which would
// renormalise them. Records that fields share (a snapshot and the live state)
// stay shared, so a copy holds the same blocks as its original.
//
// The state is a dict: "format" (1), "pmfs" (the distinct records, each after
// the records it refers to), and one key per field, named as in Python (with
// "mark_" before the snapshot's). A Pmf field holds the index of its record;
// arrays are bytes of little-endian int32 (counts, record indexes) or float64
// (the routing table, row by row). A SIMPLE record is (0, offset, bytes of its
// elements), a JOINT one (1, depth, marginal index, bytes of child indexes,
// -1 where there is none).
//
// Loading checks every length, range, index and sum, and every rule the
// setters apply, before it stores anything: a state that fails leaves the
// model as it was.

#include <Python.h>

#include <cstdint>
#include <functional>
#include <unordered_map>

#include "bridge/pyref.hpp"
#include "bridge/wrappers.hpp"
#include "pmf/arrays.hpp"
#include "runtime/heap.hpp"

// A state that is not one a model could have written, raised as ValueError
// with the key it was found under (null when it concerns the whole state).
struct InvalidState {
    const char* message;
    const char* key;
};

// The field rules of the layouts: each returns its argument or raises.
using PmfRule = Pmf* (*)(Pmf*);
using IntRule = Int (*)(Int);
using RealRule = Real (*)(Real);
inline Pmf* confirmStatePmf(Pmf* pmf) { return confirmJointPmf(pmf, 2); }
// Any length, for an array that Python may replace by one of another length.
inline constexpr int anyLength = -1;

// Turns the fields of a model into its state. Each method reads one field;
// the rules and lengths are those of StateReader, and are not needed here.
class StateWriter {
public:
    StateWriter();
    void integer(const char* key, const Int& field);
    void pmf(const char* key, Pmf* const& field, PmfRule rule);
    void pmfArray(const char* key, PmfArray* const& field, PmfRule rule, int length);
    void intArray(const char* key, IntArray* const& field, IntRule rule, int length);
    void realMatrix(const char* key, RealMatrix* const& field, RealRule rule, int order);
    // The finished state, a new reference.
    PyObject* state();

private:
    void put(const char* key, PyObject* value);  // takes the reference
    int indexOf(Pmf* pmf);

    PyRef dict;
    PyRef pmfs;
    std::unordered_map<const Pmf*, int, std::hash<const Pmf*>, std::equal_to<const Pmf*>,
                       HeapAllocator<std::pair<const Pmf* const, int>>>
        indexes;
};

// Rebuilds fields from a state, in the object's memory context. Each method
// decodes and checks one field and keeps the value; `commit` stores them all
// once every field has passed.
class StateReader {
public:
    StateReader(NObject* obj, PyObject* state);
    void integer(const char* key, Int& field);
    void pmf(const char* key, Pmf*& field, PmfRule rule);
    // `length` entries, or any number of at least one with anyLength.
    void pmfArray(const char* key, PmfArray*& field, PmfRule rule, int length);
    void intArray(const char* key, IntArray*& field, IntRule rule, int length);
    // `order` rows of `order` entries; `rule` applies to each entry.
    void realMatrix(const char* key, RealMatrix*& field, RealRule rule, int order);
    // Refuses keys that no field read, then stores every field.
    void commit();

private:
    PyObject* item(const char* key);
    Pmf* record(const char* key, long long index);
    void readRecords(PyObject* list);
    Pmf* simpleRecord(PyObject* entry);
    Pmf* jointRecord(PyObject* entry);
    // Stores `value` in `field` at the commit.
    template <typename T>
    void keep(T& field, T value);

    NObject* obj;
    PyRef dict;
    Py_ssize_t keysRead = 0;
    HeapVector<Pmf*> records;
    // Each store captures a reference and a value, which std::function holds
    // in place: no storage beyond the vector's.
    HeapVector<std::function<void()>> stores;
};

// The tuple that __reduce__ returns, a new reference:
// (copyreg.__newobj__, (type, *arguments), state), where the state also
// carries the instance dict of a Python subclass's instance, when it has one.
PyObject* reduction(PyObject* self, PyObject* arguments, PyObject* state);

// The model's own part of a state given to __setstate__ (borrowed), and in
// `instanceDict` the instance dict that goes with it, or null.
PyObject* splitState(PyObject* self, PyObject* state, PyObject** instanceDict);
void restoreInstanceDict(PyObject* self, PyObject* instanceDict);

// Raises the Python error for a refused state of `self`.
void raiseInvalidState(PyObject* self, const InvalidState& invalid);

// __reduce__ and __setstate__ of a model type. `Layout` names the fields in
// the order they are written and read (`fields(codec, object)`, a template
// over StateWriter and StateReader) and the constructor's arguments
// (`constructorArguments(object)`, a new tuple).
template <typename Object, void (*collect)(Object*), typename Layout>
struct Pickling {
    using Entry = Entries<Object, collect>;

    static PyObject* reduce(PyObject* o, PyObject*) {
        Object* obj = Entry::self(o);
        return Entry::runReturning(obj, [&] {
            StateWriter writer;
            Layout::fields(writer, obj);
            PyRef state(writer.state());
            PyRef arguments(Layout::constructorArguments(obj));
            return reduction(o, arguments.get(), state.get());
        });
    }

    static PyObject* setState(PyObject* o, PyObject* state) {
        Object* obj = Entry::self(o);
        InvalidState invalid{nullptr, nullptr};
        bool succeeded = Entry::run(obj, [&] {
            try {
                PyObject* instanceDict = nullptr;
                StateReader reader(&obj->header, splitState(o, state, &instanceDict));
                Layout::fields(reader, obj);
                reader.commit();
                restoreInstanceDict(o, instanceDict);
            } catch (const InvalidState& e) {
                invalid = e;
            }
        });
        if (!succeeded) return nullptr;
        if (invalid.message != nullptr) {
            raiseInvalidState(o, invalid);
            return nullptr;
        }
        Py_RETURN_NONE;
    }

    // The rows of the models' method tables.
    static constexpr PyMethodDef reduceMethod = {
        "__reduce__", reduce, METH_NOARGS,
        "__reduce__($self, /)\n--\n\n"
        "How copy and pickle rebuild the model: every field as it is stored."};
    static constexpr PyMethodDef setStateMethod = {
        "__setstate__", setState, METH_O,
        "__setstate__($self, state, /)\n--\n\n"
        "Load a state that __reduce__ made. One that is not raises ValueError and\n"
        "changes nothing."};
};
