#pragma once

#include <Python.h>

// The Python types of the two models, which the module adds at its import.
// Each is defined beside its tables, in the model's *_type.cpp.
extern PyTypeObject _StandardMultiserver_Type;
extern PyTypeObject _StandardNetworkMultiserver_Type;
