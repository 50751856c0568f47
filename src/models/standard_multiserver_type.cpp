// The Python face of StandardMultiserver: creation, the construction
// wrapper, the method and attribute tables, and the type object.
#include <Python.h>

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
        c.pmf("mark_number_of_arrivals_pmf", o->_mark._numberOfArrivalsPmf, confirmSimplePmf);
        c.pmf("mark_service_duration_pmf", o->_mark._serviceDurationPmf, confirmSimplePmf);
        c.integer("mark_number_of_servers", o->_mark._numberOfServers);
        c.pmf("mark_internal_state", o->_mark._internalState, confirmStatePmf);
        c.integer("mark_time", o->_mark._time);
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
    {"number_of_servers", Entry::get<&Object::_numberOfServers, IntAttribute>,
     Entry::set<&Object::_numberOfServers, IntAttribute>, nullptr,
     const_cast<char*>("number_of_servers")},
    {"time", Entry::get<&Object::_time, IntAttribute>, Entry::set<&Object::_time, IntAttribute>,
     nullptr, const_cast<char*>("time")},
    {"current_memory_use", Entry::get<Entry::currentMemoryUse, CounterAttribute>, nullptr, nullptr,
     nullptr},
    {"peak_memory_use", Entry::get<Entry::peakMemoryUse, CounterAttribute>, nullptr, nullptr,
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

}  // namespace

PyTypeObject _StandardMultiserver_Type =
    modelType("navro.StandardMultiserver", sizeof(Object), _StandardMultiserver_methods,
              _StandardMultiserver_getset, _StandardMultiserver_new,
              deallocModel<Object, _StandardMultiserver_releaseWorkspace>);
