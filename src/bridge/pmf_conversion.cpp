#include "bridge/pmf_conversion.hpp"

#include <climits>
#include <cmath>

#include "bridge/pyref.hpp"
#include "bridge/scalars.hpp"
#include "pmf/accumulator.hpp"
#include "runtime/errors.hpp"

namespace {

// A probability of a dict item. NaN would pass the accumulators' admission
// (it is neither <= 0 nor > 1) and poison every element of the result, so
// it is refused here; an infinity is an ordinary weight above 1.
Real probabilityFromPy(NObject* obj, PyObject* pyValue) {
    Real p = Real_fromPy(obj, pyValue);
    if (std::isnan(p)) abortImport();
    return p;
}

// Walks the items of a dict in iteration order. The dict and each item are
// held by strong references, so nothing that a conversion does can free
// them under the walk.
class DictItems {
public:
    explicit DictItems(PyObject* dict) : dict(Py_NewRef(dict)) {}

    bool next() {
        PyObject* k;
        PyObject* v;
        if (!PyDict_Next(dict.get(), &position, &k, &v)) return false;
        key.reset(Py_NewRef(k));
        value.reset(Py_NewRef(v));
        return true;
    }

    PyRef key;
    PyRef value;

private:
    PyRef dict;
    Py_ssize_t position = 0;
};

Pmf* simplePmfFromDict(NObject* obj, PyObject* dict) {
    SimpleAccumulator accumulator(obj);
    for (DictItems item(dict); item.next();) {
        Int value = Int_fromPy(obj, item.key.get());
        accumulator.putSingle(probabilityFromPy(obj, item.value.get()), value);
    }
    return accumulator.toPmf();
}

// Pours one item of the joint dict form into `accumulator`.
void JointAccumulator_put_fromPy(JointAccumulator& accumulator, Real probability,
                                 PyObject* pyValues) {
    if (probability <= 0) return;  // the key of a dropped item is not examined
    if (probability > 1) probability = 1;
    const int depth = accumulator.depth;
    if (!PyTuple_Check(pyValues) || PyTuple_GET_SIZE(pyValues) != depth) abortImport();
    // Every level above the last is a joint accumulator one variable
    // shorter; the last value goes to the simple accumulator reached. With
    // depth 1 that is the accumulator itself, which refuses a single value.
    Accumulator* current = &accumulator;
    for (int i = 0; i < depth - 1; ++i) {
        Int value = Int_fromPy(accumulator.obj, PyTuple_GET_ITEM(pyValues, i));
        auto* level = static_cast<JointAccumulator*>(current);
        level->include(value);
        current = level->childFor(value);
    }
    Int last = Int_fromPy(accumulator.obj, PyTuple_GET_ITEM(pyValues, depth - 1));
    current->putSingle(probability, last);
}

Pmf* jointPmfFromDict(NObject* obj, PyObject* dict, int depth) {
    JointAccumulator accumulator(obj, depth);
    for (DictItems item(dict); item.next();) {
        JointAccumulator_put_fromPy(accumulator, probabilityFromPy(obj, item.value.get()),
                                    item.key.get());
    }
    return accumulator.toPmf();
}

Pmf* dictToPmf(NObject* obj, PyObject* dict) {
    DictItems first(dict);
    if (!first.next()) navro::abort(messages::emptyDictionary);
    PyObject* key = first.key.get();
    if (PyLong_Check(key)) return simplePmfFromDict(obj, dict);
    if (!PyTuple_Check(key)) abortImport();
    // The first key fixes the depth. A joint needs at least one variable,
    // and its depth bounds every recursion over the Pmf that it becomes.
    Py_ssize_t depth = PyTuple_GET_SIZE(key);
    if (depth < 1 || depth > maximumPmfDepth) abortImport();
    return jointPmfFromDict(obj, dict, static_cast<int>(depth));
}

// `nesting` counts the tuples around `pyObj`; tuples inside tuples are
// accepted only down to the Pmf nesting bound, so hostile input cannot
// exhaust the C stack.
Pmf* pmfFromPy(NObject* obj, PyObject* pyObj, int nesting) {
    if (PyTuple_Check(pyObj)) {
        if (nesting >= maximumPmfDepth) abortImport();
        Py_ssize_t length = PyTuple_GET_SIZE(pyObj);
        if (length > INT_MAX) abortImport();
        Pmf* pmf = allocateCompoundPmf(obj, static_cast<int>(length));
        // A tuple cannot change, and it outlives the call: its items stay.
        for (Py_ssize_t i = 0; i < length; ++i) {
            pmf->compound.elements[i] = pmfFromPy(obj, PyTuple_GET_ITEM(pyObj, i), nesting + 1);
        }
        return pmf;
    }
    if (PyDict_Check(pyObj)) return dictToPmf(obj, pyObj);
    abortImport();
}

}  // namespace

PyObject* Pmf_toPy(NObject* obj, Pmf* pmf) {
    if (pmf == nullptr) abortInternal();
    if (pmf->pmfType > JOINT) {
        int length = pmf->compound.length;
        PyRef tuple(checkedNew(PyTuple_New(length)));
        for (int i = 0; i < length; ++i) {
            PyTuple_SET_ITEM(tuple.get(), i, Pmf_toPy(obj, pmf->compound.elements[i]));
        }
        return tuple.release();
    }
    PyRef dict(checkedNew(PyDict_New()));
    SampleEnumeratorFor_toPy enumerator(obj, pmf, dict.get());
    enumerator.run();
    return dict.release();
}

Pmf* Pmf_fromPy(NObject* obj, PyObject* pyObj) { return pmfFromPy(obj, pyObj, 0); }

void SampleEnumeratorFor_toPy::recordSample() {
    PyRef key;
    if (depth == 1) {
        key.reset(Int_toPy(obj, records[1].value));
    } else {
        key.reset(checkedNew(PyTuple_New(depth)));
        for (int i = 0; i < depth; ++i) {
            PyTuple_SET_ITEM(key.get(), i, Int_toPy(obj, records[i + 1].value));
        }
    }
    PyRef value(Real_toPy(obj, records[depth].probability));
    // Keys are exact ints and tuples of them, so storing runs no Python
    // code; it fails only when the dict cannot grow.
    if (PyDict_SetItem(pyDict, key.get(), value.get()) < 0) {
        PyErr_Clear();
        abortOutOfMemory();
    }
}
