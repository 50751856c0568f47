#pragma once

#include <Python.h>

#include "pmf/enumerator.hpp"
#include "pmf/pmf.hpp"

// Dict form of a SIMPLE or JOINT Pmf ({value: p} or {(v1, .., vd): p}),
// tuple of such forms for a COMPOUND one. Output lists only positive
// outcomes, in lexicographic order.
PyObject* Pmf_toPy(NObject* obj, Pmf* pmf);
// Builds a normalised Pmf in the object's context; raises CException on bad
// input (see the message set of the conversions).
Pmf* Pmf_fromPy(NObject* obj, PyObject* pyObj);

class SampleEnumeratorFor_toPy final : public SampleEnumerator {
public:
    SampleEnumeratorFor_toPy(NObject* _obj, Pmf* pmf, PyObject* _pyDict)
        : SampleEnumerator(pmf), obj(_obj), pyDict(_pyDict) {}
    void recordSample() override;

    NObject* obj;
    PyObject* pyDict;  // borrowed
};
