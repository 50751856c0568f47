// The Python face of StandardNetworkMultiserver: creation, the construction
// wrapper, the method and attribute tables, and the type object.
#include <Python.h>

#include "bridge/pickling.hpp"
#include "bridge/recording_conversion.hpp"
#include "bridge/wrappers.hpp"
#include "models/standard_network_multiserver.hpp"
#include "models/trajectory.hpp"

namespace {

using Object = _StandardNetworkMultiserver_object;
using Entry = Entries<Object, _StandardNetworkMultiserver_memRelease>;

// Neither model names functions for the interface conversions.
void** _StandardNetworkMultiserver_functionPointers = nullptr;
const char** _StandardNetworkMultiserver_functionNames = nullptr;
int* _StandardNetworkMultiserver_functionSignatureIndexes = nullptr;

void setDefaults(PyObject* self) {
    _StandardNetworkMultiserver_setDefaults(reinterpret_cast<Object*>(self));
}

PyObject* _StandardNetworkMultiserver_init_Py(PyObject* self, PyObject* args) {
    return Entry::procedure<_StandardNetworkMultiserver_init, IntArgument>(self, args);
}

PyObject* _StandardNetworkMultiserver_new(PyTypeObject* type, PyObject* args, PyObject*) {
    return newModelObject(type, args, setDefaults, _StandardNetworkMultiserver_init_Py,
                          _StandardNetworkMultiserver_functionPointers,
                          _StandardNetworkMultiserver_functionNames,
                          _StandardNetworkMultiserver_functionSignatureIndexes);
}

// The pickled state: every field, with the rule its setter applies. The
// arrays have one entry per node, but for the live state, which Python may
// replace by a list of another length.
struct Layout {
    template <typename Codec>
    static void fields(Codec& c, Object* o) {
        const Int n = _StandardNetworkMultiserver_getNumberOfNodes(o);
        c.pmfArray("internal_state", o->_internalState, confirmStatePmf, anyLength);
        c.integer("time", o->_time);
        c.intArray("number_of_servers", o->_numberOfServers, confirmNumberOfServers, n);
        c.pmfArray("number_of_external_arrivals_pmfs", o->_numberOfExternalArrivalsPmfs,
                   confirmSimplePmf, n);
        c.pmfArray("service_duration_pmfs", o->_serviceDurationPmfs, confirmServiceDurationPmf, n);
        c.realMatrix("routing_probabilities", o->_routingProbabilities, confirmRoutingProbability,
                     n);
        c.pmfArray("mark_internal_state", o->_mark._internalState, confirmStatePmf, n);
        c.integer("mark_time", o->_mark._time);
        c.intArray("mark_number_of_servers", o->_mark._numberOfServers, confirmNumberOfServers,
                   n);
        c.pmfArray("mark_number_of_external_arrivals_pmfs",
                   o->_mark._numberOfExternalArrivalsPmfs, confirmSimplePmf, n);
        c.pmfArray("mark_service_duration_pmfs", o->_mark._serviceDurationPmfs,
                   confirmServiceDurationPmf, n);
        c.realMatrix("mark_routing_probabilities", o->_mark._routingProbabilities,
                     confirmRoutingProbability, n);
    }
    static PyObject* constructorArguments(Object* o) {
        return checkedNew(Py_BuildValue("(i)", _StandardNetworkMultiserver_getNumberOfNodes(o)));
    }
};
using Pickle = Pickling<Object, _StandardNetworkMultiserver_memRelease, Layout>;

PyMethodDef _StandardNetworkMultiserver_methods[] = {
    {"step", Entry::procedure<_StandardNetworkMultiserver_step>, METH_VARARGS, nullptr},
    {"apply_observation_range_at_node",
     Entry::procedure<_StandardNetworkMultiserver_applyObservationRangeAtNode, IntArgument,
                      IntArgument, IntArgument>,
     METH_VARARGS, nullptr},
    {"apply_observation_value_at_node",
     Entry::procedure<_StandardNetworkMultiserver_applyObservationValueAtNode, IntArgument,
                      IntArgument>,
     METH_VARARGS, nullptr},
    {"mark", Entry::procedure<_StandardNetworkMultiserver_mark>, METH_VARARGS, nullptr},
    {"restore", Entry::procedure<_StandardNetworkMultiserver_restore>, METH_VARARGS, nullptr},
    {"get_number_of_entities_at_node_pmf",
     Entry::query<_StandardNetworkMultiserver_getNumberOfEntitiesAtNodePmf, PmfResult,
                  IntArgument>,
     METH_VARARGS, nullptr},
    {"get_number_of_external_arrivals_at_node_pmf",
     Entry::query<_StandardNetworkMultiserver_getNumberOfExternalArrivalsAtNodePmf, PmfResult,
                  IntArgument>,
     METH_VARARGS, nullptr},
    {"get_number_of_nodes", Entry::query<_StandardNetworkMultiserver_getNumberOfNodes, IntResult>,
     METH_VARARGS, nullptr},
    {"get_number_of_servers_at_node",
     Entry::query<_StandardNetworkMultiserver_getNumberOfServersAtNode, IntResult, IntArgument>,
     METH_VARARGS, nullptr},
    {"get_routing_probability",
     Entry::query<_StandardNetworkMultiserver_getRoutingProbability, RealResult, IntArgument,
                  IntArgument>,
     METH_VARARGS, nullptr},
    {"get_service_duration_at_node_pmf",
     Entry::query<_StandardNetworkMultiserver_getServiceDurationAtNodePmf, PmfResult,
                  IntArgument>,
     METH_VARARGS, nullptr},
    {"set_number_of_external_arrivals_at_node_pmf",
     Entry::procedure<_StandardNetworkMultiserver_setNumberOfExternalArrivalsAtNodePmf,
                      IntArgument, SimplePmfArgument>,
     METH_VARARGS, nullptr},
    {"set_number_of_servers_at_node",
     Entry::procedure<_StandardNetworkMultiserver_setNumberOfServersAtNode, IntArgument,
                      IntArgument>,
     METH_VARARGS, nullptr},
    {"set_routing_probability",
     Entry::procedure<_StandardNetworkMultiserver_setRoutingProbability, IntArgument, IntArgument,
                      RealArgument>,
     METH_VARARGS, nullptr},
    {"set_service_duration_at_node_pmf",
     Entry::procedure<_StandardNetworkMultiserver_setServiceDurationAtNodePmf, IntArgument,
                      SimplePmfArgument>,
     METH_VARARGS, nullptr},
    {"reset_node_with_number_of_entities",
     Entry::procedure<_StandardNetworkMultiserver_resetNodeWithNumberOfEntities, IntArgument,
                      IntArgument>,
     METH_VARARGS, nullptr},
    {"_record",
     Entry::longQuery<_StandardNetworkMultiserver_record, RecordingResult, IntArgument, IntArgument,
                      IntArgument>,
     METH_VARARGS,
     "_record($self, steps, every, start, /)\n--\n\n"
     "The engine of navro.trajectory: takes `steps` steps and returns the\n"
     "recorded rows as one block."},
    {"__reduce__", Pickle::reduce, METH_NOARGS, nullptr},
    {"__setstate__", Pickle::setState, METH_O, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef _StandardNetworkMultiserver_getset[] = {
    {"internal_state", Entry::get<&Object::_internalState, StatePmfArrayAttribute>,
     Entry::set<&Object::_internalState, StatePmfArrayAttribute>, nullptr,
     const_cast<char*>("internal_state")},
    {"time", Entry::get<&Object::_time, IntAttribute>, Entry::set<&Object::_time, IntAttribute>,
     nullptr, const_cast<char*>("time")},
    {"current_memory_use", Entry::get<Entry::currentMemoryUse, CounterAttribute>, nullptr, nullptr,
     nullptr},
    {"peak_memory_use", Entry::get<Entry::peakMemoryUse, CounterAttribute>, nullptr, nullptr,
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

}  // namespace

PyTypeObject _StandardNetworkMultiserver_Type =
    modelType("navro.StandardNetworkMultiserver", sizeof(Object),
              _StandardNetworkMultiserver_methods, _StandardNetworkMultiserver_getset,
              _StandardNetworkMultiserver_new,
              deallocModel<Object, _StandardNetworkMultiserver_releaseWorkspace>);
