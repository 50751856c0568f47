// The Python face of StandardMultiserver: creation, the construction
// wrapper, the method, member and attribute tables, and the type object.
#include <cstddef>

#include <Python.h>
#include <structmember.h>

#include "bridge/pickling.hpp"
#include "bridge/recording_conversion.hpp"
#include "bridge/wrappers.hpp"
#include "models/standard_multiserver.hpp"
#include "models/trajectory.hpp"

namespace {

using Object = _StandardMultiserver_object;
using Entry = Entries<Object, _StandardMultiserver_memRelease>;

// Neither model names functions for the interface conversions.
void** _StandardMultiserver_functionPointers = nullptr;
const char** _StandardMultiserver_functionNames = nullptr;
int* _StandardMultiserver_functionSignatureIndexes = nullptr;

void setDefaults(PyObject* self) { _StandardMultiserver_setDefaults(reinterpret_cast<Object*>(self)); }

PyObject* _StandardMultiserver_init_Py(PyObject* self, PyObject* args) {
    return Entry::procedure<_StandardMultiserver_init>(self, args);
}

PyObject* _StandardMultiserver_new(PyTypeObject* type, PyObject* args, PyObject*) {
    return newModelObject(type, args, setDefaults, _StandardMultiserver_init_Py,
                          _StandardMultiserver_functionPointers,
                          _StandardMultiserver_functionNames,
                          _StandardMultiserver_functionSignatureIndexes);
}

// The pickled state: every field, with the rule its setter applies.
struct Layout {
    template <typename Codec>
    static void fields(Codec& c, Object* o) {
        c.pmf("number_of_arrivals_pmf", o->_numberOfArrivalsPmf, confirmSimplePmf);
        c.pmf("service_duration_pmf", o->_serviceDurationPmf, confirmSimplePmf);
        c.integer("number_of_servers", o->_numberOfServers);
        c.pmf("internal_state", o->_internalState, confirmStatePmf);
        c.integer("time", o->_time);
        c.pmf("mark_number_of_arrivals_pmf", o->_markNumberOfArrivalsPmf, confirmSimplePmf);
        c.pmf("mark_service_duration_pmf", o->_markServiceDurationPmf, confirmSimplePmf);
        c.integer("mark_number_of_servers", o->_markNumberOfServers);
        c.pmf("mark_internal_state", o->_markInternalState, confirmStatePmf);
        c.integer("mark_time", o->_markTime);
    }
    static PyObject* constructorArguments(Object*) { return checkedNew(PyTuple_New(0)); }
};
using Pickle = Pickling<Object, _StandardMultiserver_memRelease, Layout>;

PyMethodDef _StandardMultiserver_methods[] = {
    {"step", Entry::procedure<_StandardMultiserver_step>, METH_VARARGS, nullptr},
    {"apply_observation_range",
     Entry::procedure<_StandardMultiserver_applyObservationRange, IntArgument, IntArgument>,
     METH_VARARGS, nullptr},
    {"apply_observation_value",
     Entry::procedure<_StandardMultiserver_applyObservationValue, IntArgument>, METH_VARARGS,
     nullptr},
    {"mark", Entry::procedure<_StandardMultiserver_mark>, METH_VARARGS, nullptr},
    {"restore", Entry::procedure<_StandardMultiserver_restore>, METH_VARARGS, nullptr},
    {"get_number_of_entities_in_system_pmf",
     Entry::query<_StandardMultiserver_getNumberOfEntitiesInSystemPmf, PmfResult>, METH_VARARGS,
     nullptr},
    {"reset_with_number_of_entities_in_system",
     Entry::procedure<_StandardMultiserver_resetWithNumberOfEntitiesInSystem, IntArgument>,
     METH_VARARGS, nullptr},
    {"_record",
     Entry::longQuery<_StandardMultiserver_record, RecordingResult, IntArgument, IntArgument,
                      IntArgument>,
     METH_VARARGS,
     "_record($self, steps, every, start, /)\n--\n\n"
     "The engine of navro.trajectory: takes `steps` steps and returns the\n"
     "recorded rows as one block."},
    {"__reduce__", Pickle::reduce, METH_NOARGS, nullptr},
    {"__setstate__", Pickle::setState, METH_O, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyMemberDef _StandardMultiserver_members[] = {
    {"number_of_servers", T_INT, offsetof(Object, _numberOfServers), 0, nullptr},
    {"time", T_INT, offsetof(Object, _time), 0, nullptr},
    {"current_memory_use", T_ULONGLONG, offsetof(Object, header.currentMemoryUse), READONLY,
     nullptr},
    {"peak_memory_use", T_ULONGLONG, offsetof(Object, header.peakMemoryUse), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyGetSetDef _StandardMultiserver_getset[] = {
    {"number_of_arrivals_pmf", Entry::get<&Object::_numberOfArrivalsPmf, SimplePmfAttribute>,
     Entry::set<&Object::_numberOfArrivalsPmf, SimplePmfAttribute>, nullptr,
     const_cast<char*>("number_of_arrivals_pmf")},
    {"service_duration_pmf", Entry::get<&Object::_serviceDurationPmf, SimplePmfAttribute>,
     Entry::set<&Object::_serviceDurationPmf, SimplePmfAttribute>, nullptr,
     const_cast<char*>("service_duration_pmf")},
    {"internal_state", Entry::get<&Object::_internalState, StatePmfAttribute>,
     Entry::set<&Object::_internalState, StatePmfAttribute>, nullptr,
     const_cast<char*>("internal_state")},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

}  // namespace

PyTypeObject _StandardMultiserver_Type =
    modelType("navro.StandardMultiserver", sizeof(Object), _StandardMultiserver_methods, _StandardMultiserver_members,
              _StandardMultiserver_getset, _StandardMultiserver_new,
              deallocModel<Object, _StandardMultiserver_releaseWorkspace>);
