#include <Python.h>

#include "bridge/exact_chain_type.hpp"
#include "bridge/model_types.hpp"
#include "bridge/simulation_entry.hpp"
#include "bridge/wrappers.hpp"
#include "runtime/heap.hpp"

PyObject* PException = nullptr;

void dealloc(PyObject* self) {
    // Nothing is marked outside a collector run, so the sweep frees every
    // block of the context.
    release(reinterpret_cast<NObject*>(self));
    Py_TYPE(self)->tp_free(self);
}

PyObject* newModelObject(PyTypeObject* type, PyObject* args, void (*setDefaults)(PyObject*),
                         PyObject* (*init)(PyObject*, PyObject*), void** functionPointers,
                         const char** functionNames, int* functionSignatureIndexes) {
    PyObject* self = type->tp_alloc(type, 0);
    if (self == nullptr) return nullptr;
    auto* obj = reinterpret_cast<NObject*>(self);
    initializeMemoryContext(obj, functionPointers, functionNames, functionSignatureIndexes);
    if (!succeededOrRaise(runCatching([&] { setDefaults(self); }))) {
        Py_DECREF(self);
        return nullptr;
    }
    PyObject* none = init(self, args);
    if (none == nullptr) {
        Py_DECREF(self);
        return nullptr;
    }
    Py_DECREF(none);
    return self;
}

PyTypeObject modelType(const char* name, const char* doc, Py_ssize_t basicSize,
                       PyMethodDef* methods, PyGetSetDef* getset, newfunc create, initproc init,
                       destructor destroy, reprfunc repr) {
    PyTypeObject type{};
    // A static type object holds one reference to itself for life.
    Py_SET_REFCNT(reinterpret_cast<PyObject*>(&type), 1);
    type.tp_name = name;
    type.tp_basicsize = basicSize;
    type.tp_itemsize = 0;
    type.tp_dealloc = destroy;
    type.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE;
    type.tp_doc = doc;
    type.tp_methods = methods;
    type.tp_getset = getset;
    type.tp_new = create;
    type.tp_init = init;
    type.tp_repr = repr;
    return type;
}

namespace {
// Private test hooks of the module's heap (see runtime/heap.hpp): the tests
// make each request of an operation fail in turn and check that nothing of
// the call is left behind.
PyObject* setAllocationFailureCountdown_Py(PyObject*, PyObject* n) {
    const long countdown = PyLong_AsLong(n);
    if (countdown == -1 && PyErr_Occurred()) return nullptr;
    setAllocationFailureCountdown(countdown);
    Py_RETURN_NONE;
}

PyObject* heapBlocksInUse_Py(PyObject*, PyObject*) { return PyLong_FromLong(heapBlocksInUse()); }

PyMethodDef moduleFunctions[] = {
    {"_simulate", simulate_Py, METH_VARARGS, simulateHelp},
    {"_set_allocation_failure_countdown", setAllocationFailureCountdown_Py, METH_O,
     "_set_allocation_failure_countdown(n, /)\n--\n\n"
     "Test hook: make the n-th following heap request of the module fail; 0 turns it off."},
    {"_heap_blocks_in_use", heapBlocksInUse_Py, METH_NOARGS,
     "_heap_blocks_in_use()\n--\n\n"
     "Test hook: the number of heap blocks of the module not yet freed."},
    {nullptr, nullptr, 0, nullptr},
};
}  // namespace

static PyModuleDef moduleDef = {
    PyModuleDef_HEAD_INIT,
    "navro._core",
    "The compiled core of navro: the two model types and navro.error, which the\n"
    "package navro re-exports. Import them from navro.",
    -1,
    moduleFunctions,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

PyMODINIT_FUNC PyInit__core() {
    prepareThread();
    if (PyType_Ready(&_StandardNetworkMultiserver_Type) < 0) return nullptr;
    if (PyType_Ready(&_StandardMultiserver_Type) < 0) return nullptr;
    if (PyType_Ready(&ExactChain_Type) < 0) return nullptr;
    PyObject* module = PyModule_Create2(&moduleDef, 1013);
    if (module == nullptr) return nullptr;

    Py_INCREF(&_StandardNetworkMultiserver_Type);
    if (PyModule_AddObject(module, "StandardNetworkMultiserver",
                           reinterpret_cast<PyObject*>(&_StandardNetworkMultiserver_Type)) < 0) {
        Py_DECREF(&_StandardNetworkMultiserver_Type);
        Py_DECREF(module);
        return nullptr;
    }
    Py_INCREF(&_StandardMultiserver_Type);
    if (PyModule_AddObject(module, "StandardMultiserver",
                           reinterpret_cast<PyObject*>(&_StandardMultiserver_Type)) < 0) {
        Py_DECREF(&_StandardMultiserver_Type);
        Py_DECREF(module);
        return nullptr;
    }

    Py_INCREF(&ExactChain_Type);
    if (PyModule_AddObject(module, "_ExactChain", reinterpret_cast<PyObject*>(&ExactChain_Type)) <
        0) {
        Py_DECREF(&ExactChain_Type);
        Py_DECREF(module);
        return nullptr;
    }

    PException = PyErr_NewException("navro.error", nullptr, nullptr);
    Py_XINCREF(PException);
    if (PyModule_AddObject(module, "error", PException) < 0) {
        Py_XDECREF(PException);
        Py_CLEAR(PException);
        Py_DECREF(module);
        return nullptr;
    }
    return module;
}
