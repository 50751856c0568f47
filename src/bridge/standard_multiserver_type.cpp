// The Python face of StandardMultiserver: creation, the construction
// wrapper, the method and attribute tables with their help texts, the repr,
// and the type object.
//
// A help text starts with the signature that inspect.signature reads
// ("name($self, ...)" and a "--" line), then says what the entry does, what
// it takes and what it raises, briefly.
#include <Python.h>

#include "bridge/exact_chain_type.hpp"
#include "bridge/keywords.hpp"
#include "bridge/model_types.hpp"
#include "bridge/pickling.hpp"
#include "bridge/recording_conversion.hpp"
#include "bridge/repr_text.hpp"
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

void setDefaults(PyObject* self) {
    _StandardMultiserver_setDefaults(reinterpret_cast<Object*>(self));
}

PyObject* _StandardMultiserver_init_Py(PyObject* self, PyObject* args) {
    return Entry::procedure<_StandardMultiserver_init>(self, args);
}

PyObject* _StandardMultiserver_new(PyTypeObject* type, PyObject* args, PyObject*) {
    return newModelObject(type, args, setDefaults, _StandardMultiserver_init_Py,
                          _StandardMultiserver_functionPointers, _StandardMultiserver_functionNames,
                          _StandardMultiserver_functionSignatureIndexes);
}

// What pickles need besides the fields: a station has no per-node arrays,
// and its constructor takes nothing.
struct Layout {
    static int arrayLength(Object*) { return 0; }
    static PyObject* constructorArguments(int) { return checkedNew(PyTuple_New(0)); }
};
using Pickle = Pickling<Object, _StandardMultiserver_memRelease, Layout>;
using Construct = Construction<Object, _StandardMultiserver_memRelease, Layout>;

// <navro.StandardMultiserver servers=2 time=14 mean_present=3.207>, with
// abandonment=0.05 and capacity=20 before the time when they are set.
PyObject* describe(Object* self) {
    ReprText text;
    text.add("<%s servers=%d", Py_TYPE(self)->tp_name, self->_numberOfServers);
    if (self->_abandonmentProbability != 0) {
        text.add(" abandonment=%.4g", self->_abandonmentProbability);
    }
    if (self->_capacity != noCapacity) text.add(" capacity=%d", self->_capacity);
    text.add(" time=%d mean_present=%.4g>", self->_time,
             meanOf(lookupMarginalPmf(self->_internalState)));
    return text.toPy();
}

PyMethodDef _StandardMultiserver_methods[] = {
    {"step", Entry::longProcedure<_StandardMultiserver_step>, METH_VARARGS,
     "step($self, /)\n--\n\n"
     "Move the state one time unit forward and add 1 to time. Other threads run\n"
     "meanwhile.\n\n"
     "Raises navro.error if number_of_servers is negative or service_duration_pmf\n"
     "gives probability to 0; Ctrl-C raises KeyboardInterrupt. The station is\n"
     "then left as it was."},
    {"apply_observation_range",
     Entry::procedure<_StandardMultiserver_applyObservationRange, IntArgument, IntArgument>,
     METH_VARARGS,
     "apply_observation_range($self, start, end, /)\n--\n\n"
     "Condition the state on start <= number present < end.\n\n"
     "Raises navro.error(\"Empty pmf\") if the state gives that range no probability."},
    {"apply_observation_value",
     Entry::procedure<_StandardMultiserver_applyObservationValue, IntArgument>, METH_VARARGS,
     "apply_observation_value($self, value, /)\n--\n\n"
     "Condition the state on exactly value present.\n\n"
     "Raises navro.error(\"Empty pmf\") if the state gives value no probability."},
    {"mark", Entry::procedure<_StandardMultiserver_mark>, METH_VARARGS,
     "mark($self, /)\n--\n\n"
     "Take the one snapshot of the station: state, time, servers and both\n"
     "distributions. It replaces the previous snapshot."},
    {"restore", Entry::procedure<_StandardMultiserver_restore>, METH_VARARGS,
     "restore($self, /)\n--\n\n"
     "Go back to the snapshot of the last mark(). Before any mark() that is the\n"
     "station as created, with service durations of 0 (so step() then raises)."},
    {"get_number_of_entities_in_system_pmf",
     Entry::query<_StandardMultiserver_getNumberOfEntitiesInSystemPmf, PmfResult>, METH_VARARGS,
     "get_number_of_entities_in_system_pmf($self, /)\n--\n\n"
     "Return the distribution of the number present, {count: probability}."},
    {"reset_with_number_of_entities_in_system",
     Entry::procedure<_StandardMultiserver_resetWithNumberOfEntitiesInSystem, IntArgument>,
     METH_VARARGS,
     "reset_with_number_of_entities_in_system($self, number_of_entities, /)\n--\n\n"
     "Set the state to exactly number_of_entities present, each service just\n"
     "starting. Time and configuration stay.\n\n"
     "Raises navro.error if number_of_entities is negative or service_duration_pmf\n"
     "gives probability to 0."},
    {"_record",
     Entry::longQuery<_StandardMultiserver_record, RecordingResult, IntArgument, IntArgument,
                      IntArgument, IntArgument>,
     METH_VARARGS,
     "_record($self, steps, every, start, horizon, /)\n--\n\n"
     "The engine of navro.trajectory: takes `steps` steps and returns the\n"
     "recorded rows as one block, with the waits of the arrivals up to\n"
     "`horizon` steps (none when it is below 0)."},
    {"_record_exact",
     ExactRecordEntry<Object, _StandardMultiserver_memRelease,
                      _StandardMultiserver_recordExact>::call,
     METH_VARARGS, recordExactHelp},
    Pickle::reduceMethod,
    Pickle::setStateMethod,
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef _StandardMultiserver_getset[] = {
    {"number_of_arrivals_pmf", Entry::get<&Object::_numberOfArrivalsPmf, SimplePmfAttribute>,
     Entry::set<&Object::_numberOfArrivalsPmf, SimplePmfAttribute>,
     "Distribution of the number of arrivals per time unit, {count: probability}.\n"
     "Weights set need not sum to 1: they are normalised, a weight above 1\n"
     "counts as 1 and one of 0 or less is dropped. A malformed dict raises\n"
     "navro.error.",
     const_cast<char*>("number_of_arrivals_pmf")},
    {"service_duration_pmf", Entry::get<&Object::_serviceDurationPmf, SimplePmfAttribute>,
     Entry::set<&Object::_serviceDurationPmf, SimplePmfAttribute>,
     "Distribution of the time units one service takes, {duration: probability};\n"
     "every duration must be at least 1 when stepping or resetting. Weights set\n"
     "need not sum to 1: they are normalised, a weight above 1 counts as 1 and\n"
     "one of 0 or less is dropped. A malformed dict raises navro.error.",
     const_cast<char*>("service_duration_pmf")},
    {"internal_state", Entry::get<&Object::_internalState, StatePmfAttribute>,
     Entry::set<&Object::_internalState, StatePmfAttribute>,
     "The state, {(number present, remaining service time): probability}.\n"
     "Weights set need not sum to 1: they are normalised, a weight above 1\n"
     "counts as 1 and one of 0 or less is dropped. A malformed dict raises\n"
     "navro.error.",
     const_cast<char*>("internal_state")},
    {"number_of_servers", Entry::get<&Object::_numberOfServers, IntAttribute>,
     Entry::set<&Object::_numberOfServers, IntAttribute>,
     "Number of identical servers; must be at least 0 when stepping.\n"
     "Takes an int or an object with __index__ (a NumPy integer); another type\n"
     "raises TypeError, a value outside 32 bits navro.error(\"Invalid value\").",
     const_cast<char*>("number_of_servers")},
    {"abandonment_probability", Entry::get<&Object::_abandonmentProbability, RealAttribute>,
     Entry::set<&Object::_abandonmentProbability, AbandonmentAttribute>,
     "The chance, in [0, 1], that each waiting entity (one present and not in\n"
     "service when the step began) gives up in a step and leaves; 0 (the\n"
     "default): none does. Another value raises navro.error(\"Invalid value\").",
     const_cast<char*>("abandonment_probability")},
    {"capacity", Entry::get<&Object::_capacity, CapacityAttribute>,
     Entry::set<&Object::_capacity, CapacityAttribute>,
     "The most entities present, or None (the default) for no limit. Arrivals\n"
     "that find no room are blocked and lost. Takes None, an int or an object\n"
     "with __index__; another type raises TypeError, a negative value or one\n"
     "outside 32 bits navro.error(\"Invalid value\").",
     const_cast<char*>("capacity")},
    Entry::timeAttribute,
    Entry::currentMemoryUseAttribute,
    Entry::peakMemoryUseAttribute,
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

}  // namespace

PyTypeObject _StandardMultiserver_Type =
    modelType("navro.StandardMultiserver",
              // The signature stays on one line: documentation tools read each line
              // of it as a signature of its own.
              "StandardMultiserver(*, number_of_servers=0, number_of_arrivals_pmf={0: 1.0}, "
              "service_duration_pmf={1: 1.0}, internal_state={(0, 0): 1.0}, time=0, "
              "abandonment_probability=0.0, capacity=None)\n--\n\n"
              "One queueing station in discrete time: identical servers, batch arrivals\n"
              "and service durations of whole time units.\n\n"
              "The state is the exact joint distribution of (number present, remaining\n"
              "service time of an entity in service); step() maps it one time unit\n"
              "forward. A new station has no servers, no arrivals, services of one time\n"
              "unit, an empty system, time 0, no abandonment and no capacity limit. The\n"
              "keywords set the attributes of the same names at once, by their rules;\n"
              "any other keyword raises TypeError.\n\n"
              "Counts and times are ints of 32 bits, or objects with __index__ (NumPy\n"
              "integers). A value out of that range, or a method's argument of another\n"
              "type, raises navro.error(\"Invalid value\"); number_of_servers and time\n"
              "raise TypeError for another type, as the interpreter's int attributes do.\n"
              "Every refused call raises navro.error with a fixed message and leaves the\n"
              "station as it was.\n\n"
              "One thread at a time: a call made while another thread's call on the\n"
              "station is under way raises navro.error(\"Model in use by another call\").",
              sizeof(Object), _StandardMultiserver_methods, _StandardMultiserver_getset,
              _StandardMultiserver_new, Construct::init,
              deallocModel<Object, _StandardMultiserver_releaseWorkspace>, Entry::repr<describe>);
