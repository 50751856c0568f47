#pragma once

// Copies and pickles of the models. A model reduces to
// copyreg.__newobj__(type, *constructor arguments) and a state of plain
// numbers and bytes holding every field as it is stored: Pmf records travel
// as their own elements, bit for bit, not through the dict form, which would
// renormalise them. Records that fields share (a snapshot and the live state)
// stay shared, so a copy holds the same blocks as its original.
//
// The state is a dict: "format" (2), "pmfs" (the distinct records, each after
// the records it refers to), and one key per field, named as in Python (with
// "mark_" before the snapshot's). A Pmf field holds the index of its record;
// arrays are bytes of little-endian int32 (counts, record indexes) or float64
// (probabilities); a probability alone is a float, a capacity an int (-1 for
// none). Format 1, which had no abandonment and no capacity, loads as a
// model without either. A SIMPLE
// record is (0, offset, bytes of its elements), a JOINT one (1, depth,
// marginal index, bytes of child indexes, -1 where there is none). The
// routing table travels as its routes, in increasing order of source and
// then destination: (bytes of int32 sources, bytes of int32 destinations,
// bytes of float64 probabilities), so that its size follows the routes, not
// the square of the nodes; loading also takes the whole table, row by row,
// as bytes of float64, the form that earlier versions wrote. An instance of
// a Python subclass adds what it holds of its own: (state, instance dict)
// or, when it has slots with values, (state, instance dict or None, {slot
// name: value}).
//
// Loading checks every length, range, index and sum, and every rule the
// setters apply, before it stores anything: a state that fails leaves the
// model as it was. Python code may run in the middle of a load (a
// collection's callbacks, the methods of a subclass of dict or list given as
// the state), and may change the state or drop parts of it: every object the
// load takes from the state is held by a reference of its own until the end.

#include <Python.h>

#include <cstdint>
#include <functional>
#include <unordered_map>

#include "bridge/pyref.hpp"
#include "bridge/wrappers.hpp"
#include "models/routing.hpp"
#include "pmf/arrays.hpp"
#include "runtime/heap.hpp"

// A key of the state, held by value so that it can travel out of the walk
// that made it inside an error: a field's name, with "mark_" before it for
// the snapshot's; empty for the state as a whole.
class StateKey {
public:
    StateKey(const char* name = nullptr, const char* prefix = "");
    const char* text() const { return buffer; }
    bool empty() const { return buffer[0] == '\0'; }

private:
    char buffer[48] = {};
};

// A state that is not one a model could have written, raised as ValueError
// with the key it was found under.
struct InvalidState {
    const char* message;
    StateKey key;
};

// The field rules: each returns its argument or raises; null for none.
using PmfRule = Pmf* (*)(Pmf*);
using IntRule = Int (*)(Int);
using RealRule = Real (*)(Real);
using CapacityRule = Capacity (*)(Capacity);
// Any length, for an array that Python may replace by one of another length.
inline constexpr int anyLength = -1;

// Hands every field of one record of a model (the live fields, or the
// snapshot's with `prefix` "mark_") to `codec`, under its key, with its rule
// and the length its arrays must have: `length`, or any for a live field
// that Python may give another length.
template <typename Codec, typename Fields>
void walkFields(Codec& codec, Fields& fields, const char* prefix, bool live, int length) {
    forEachField(
        [&](const auto& info, auto& field) {
            const StateKey key(info.name, prefix);
            codec.field(key.text(), field, info.rule, live && info.anyLength ? anyLength : length);
        },
        fields);
}

// Turns the fields of a model into its state, in two passes. The fields are
// first read into storage of the writer's own, and only then are Python
// objects made: making one may run Python code that calls the model again and
// changes it (a collection's callback, a finaliser), and the state must be
// the model as it was when the writer read it. The records read stay: a
// record never changes once built, and no collector runs until the call ends.
class StateWriter {
public:
    void field(const char* key, Int value, IntRule, int);
    void field(const char* key, Pmf* value, PmfRule, int);
    void field(const char* key, const PmfArray* value, PmfRule, int);
    void field(const char* key, const IntArray* value, IntRule, int);
    void field(const char* key, const RoutingTable* value, RealRule, int);
    void field(const char* key, Real value, RealRule, int);
    void field(const char* key, const RealArray* value, RealRule, int);
    void field(const char* key, Int value, CapacityRule, int);
    void field(const char* key, const IntArray* value, CapacityRule, int);
    // The state of what was read, a new reference.
    PyObject* state() const;

private:
    // One field as the state holds it: an int (a value, or a record's index),
    // bytes of int32 values, or routes (sources in `int32s`).
    struct Item {
        StateKey key;
        enum class Form { number, int32s, routes, real, float64s } form;
        long long number = 0;
        HeapVector<std::int32_t> int32s;
        HeapVector<std::int32_t> destinations;
        HeapVector<Real> probabilities;
    };

    int indexOf(Pmf* pmf);
    int knownIndex(const Pmf* pmf) const;
    PyObject* recordToPy(const Pmf* pmf) const;

    HeapVector<Item> items;
    HeapVector<const Pmf*> records;  // in the order of their indexes
    std::unordered_map<const Pmf*, int, std::hash<const Pmf*>, std::equal_to<const Pmf*>,
                       HeapAllocator<std::pair<const Pmf* const, int>>>
        indexes;
};

// Rebuilds fields from a state, in the object's memory context. Each call of
// `field` decodes and checks one field and keeps the value;
// `confirmEveryKeyRead` refuses a state with keys that no field read, and
// `commit` then stores them all, which cannot fail.
class StateReader {
public:
    StateReader(NObject* obj, PyObject* state);
    void field(const char* key, Int& field, IntRule rule, int);
    void field(const char* key, Pmf*& field, PmfRule rule, int);
    // `length` entries, or any number of at least one with anyLength.
    void field(const char* key, PmfArray*& field, PmfRule rule, int length);
    void field(const char* key, IntArray*& field, IntRule rule, int length);
    // A table of `length` rows; `rule` applies to each entry. A routing
    // table read right after another one shares the rows equal to that one's,
    // as the snapshot shares them with the live table.
    void field(const char* key, RoutingTable*& field, RealRule rule, int length);
    // The fields that format 2 brought: a state of format 1 leaves them at
    // their defaults (no abandonment, no limit).
    void field(const char* key, Real& field, RealRule rule, int);
    void field(const char* key, RealArray*& field, RealRule rule, int length);
    void field(const char* key, Int& field, CapacityRule rule, int);
    void field(const char* key, IntArray*& field, CapacityRule rule, int length);
    void confirmEveryKeyRead() const;
    void commit();

private:
    // The value under `key`, held by the reader until the load ends.
    PyObject* item(const char* key);
    // Whether the state is of a format before the fields of format 2.
    bool beforeFormat2() const { return format < 2; }
    Pmf* record(const char* key, long long index);
    void readRecords(PyObject* list);
    Pmf* simpleRecord(PyObject* entry);
    Pmf* jointRecord(PyObject* entry);
    HeapVector<RoutingChange> routesOfTable(PyObject* table, RealRule rule, int length,
                                            const char* key);
    HeapVector<RoutingChange> routesOfList(PyObject* routes, RealRule rule, int length,
                                           const char* key);
    // Stores `value` in `field` at the commit.
    template <typename T>
    void keep(T& field, T value);

    NObject* obj;
    PyRef dict;
    long long format = 0;
    Py_ssize_t keysRead = 0;
    HeapVector<PyRef> held;
    HeapVector<Pmf*> records;
    RoutingTable* lastTable = nullptr;
    // Each store captures a reference and a value, which std::function holds
    // in place: no storage beyond the vector's.
    HeapVector<std::function<void()>> stores;
};

// The tuple that __reduce__ returns, a new reference:
// (copyreg.__newobj__, (type, *arguments), state), where the state also
// carries the instance dict and the slots of a Python subclass's instance,
// when it has them.
PyObject* reduction(PyObject* self, PyObject* arguments, PyObject* state);

// The parts of a state given to __setstate__, borrowed from it: the model's
// fields, and the instance dict and the slot values that go with them (null
// where there are none).
struct StateParts {
    PyObject* fields;
    PyObject* instanceDict;
    PyObject* slots;
};
StateParts splitState(PyObject* self, PyObject* state);

// What a state brings of an instance of a Python subclass: its instance
// dict and the values of its slots. The constructor checks them and builds
// the new dict, running whatever Python code that takes, and changes
// nothing: a failure raises InvalidState, or InterpreterError with the
// interpreter's own error (a key whose comparison raises). `commit` then
// stores them; it cannot fail, and what it replaces is released only when
// this object ends, so it runs no Python code either.
class InstanceParts {
public:
    InstanceParts(PyObject* self, const StateParts& parts);
    void commit();

private:
    struct Slot {
        PyRef descriptor;
        PyRef value;
        PyRef previous;
    };

    PyObject* self;
    PyRef previousDict;
    PyRef dict;
    HeapVector<Slot> slots;
};

// Raises the Python error for a refused state of `self`.
void raiseInvalidState(PyObject* self, const InvalidState& invalid);

// __reduce__ and __setstate__ of a model type. The fields come from the
// model's own walk (forEachField), the live ones first, then the snapshot's;
// `Layout` gives the length of the model's per-node arrays
// (`arrayLength(object)`), which is what its constructor takes, and the
// constructor's arguments for it (`constructorArguments(length)`, a new tuple).
template <typename Object, void (*collect)(Object*), typename Layout>
struct Pickling {
    using Entry = Entries<Object, collect>;

    template <typename Codec>
    static void walk(Codec& codec, Object* obj, int length) {
        walkFields(codec, obj->live(), "", true, length);
        walkFields(codec, obj->_mark, "mark_", false, length);
    }

    static PyObject* reduce(PyObject* o, PyObject*) {
        Object* obj = Entry::self(o);
        return Entry::runReturning(obj, [&] {
            // Everything is read before the first Python object is made.
            const int length = Layout::arrayLength(obj);
            StateWriter writer;
            walk(writer, obj, length);
            PyRef state(writer.state());
            PyRef arguments(Layout::constructorArguments(length));
            return reduction(o, arguments.get(), state.get());
        });
    }

    static PyObject* setState(PyObject* o, PyObject* state) {
        Object* obj = Entry::self(o);
        InvalidState invalid{nullptr, nullptr};
        bool succeeded = Entry::run(obj, [&] {
            try {
                const StateParts parts = splitState(o, state);
                StateReader reader(&obj->header, parts.fields);
                walk(reader, obj, Layout::arrayLength(obj));
                reader.confirmEveryKeyRead();
                InstanceParts instance(o, parts);
                // Nothing below can fail: the load is whole or not at all.
                instance.commit();
                reader.commit();
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
