#pragma once

// The keyword arguments of the models' constructors. Each names a field of
// the model as its attribute and its pickles name it, and sets the field as
// the attribute or the per-node setters would: with their conversion, their
// rule and their message. A per-node field takes a sequence with one entry
// per node (the routing table, one row per node). Every value is converted
// and checked before any is stored, so a refused call changes nothing. A
// name that no field has raises TypeError, as the interpreter's own
// functions do: a keyword is never ignored.
//
// They are taken by the types' initialisation slot, not by their creation
// function: copies and pickles create a model without it, and a Python
// subclass with an __init__ of its own gets its own keywords.

#include <Python.h>

#include <functional>

#include "bridge/pickling.hpp"
#include "bridge/wrappers.hpp"
#include "runtime/heap.hpp"

// The names of a model's fields, gathered by a walk of them.
class FieldNames {
public:
    template <typename Field, typename Rule>
    void field(const char* name, Field&, Rule, int) {
        names.push_back(StateKey(name));
    }
    // Raises TypeError, as InterpreterError, for the first keyword that is
    // not the name of a field of `self`'s.
    void refuseOthers(PyObject* self, PyObject* keywords) const;

private:
    HeapVector<StateKey> names;
};

// Converts and checks the value of every field named in the keywords; then
// `commit` stores them all.
class KeywordReader {
public:
    KeywordReader(NObject* obj, PyObject* keywords);
    void field(const char* name, Int& field, IntRule rule, int length);
    void field(const char* name, Pmf*& field, PmfRule rule, int length);
    // A per-node array of `length` entries; with anyLength, the list that
    // the attribute takes.
    void field(const char* name, PmfArray*& field, PmfRule rule, int length);
    void field(const char* name, IntArray*& field, IntRule rule, int length);
    // The whole table: `length` rows of `length` entries.
    void field(const char* name, RoutingTable*& field, RealRule rule, int length);
    void field(const char* name, Real& field, RealRule rule, int);
    void field(const char* name, RealArray*& field, RealRule rule, int length);
    // None for no limit, as the attribute and the per-node setter take it.
    void field(const char* name, Int& field, CapacityRule rule, int);
    void field(const char* name, IntArray*& field, CapacityRule rule, int length);
    void commit();

private:
    // The value given for `name`, or null.
    PyObject* value(const char* name) const;
    template <typename T>
    void keep(T& field, T value);
    // A per-node list of `length` values, each converted and checked by
    // `convert`, into an array that `create` makes.
    template <typename Array, typename Convert>
    void perNode(const char* name, Array*& field, int length, Array* (*create)(NObject*, int),
                 Convert convert);

    NObject* obj;
    PyRef keywords;
    HeapVector<std::function<void()>> stores;
};

// The initialisation slot of a model type. The positional arguments were
// checked by the creation function, which took them.
template <typename Object, void (*collect)(Object*), typename Layout>
struct Construction {
    using Entry = Entries<Object, collect>;

    static int init(PyObject* o, PyObject*, PyObject* keywords) {
        if (keywords == nullptr || PyDict_GET_SIZE(keywords) == 0) return 0;
        Object* obj = Entry::self(o);
        bool succeeded = Entry::run(obj, [&] {
            FieldNames names;
            walkFields(names, obj->live(), "", true, 0);
            names.refuseOthers(o, keywords);
            KeywordReader reader(&obj->header, keywords);
            walkFields(reader, obj->live(), "", true, Layout::arrayLength(obj));
            reader.commit();
        });
        return succeeded ? 0 : -1;
    }
};

// Whether `keywords` gives `name`, a parameter that the constructor of
// `type` takes by position only; if so, TypeError is set, as the
// interpreter's own functions raise it.
bool refusedPositionalOnlyKeyword(PyTypeObject* type, PyObject* keywords, const char* name);
