// The Python face of StandardNetworkMultiserver: creation, the construction
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

// The other keywords are the initialisation's (Construct::init).
PyObject* _StandardNetworkMultiserver_new(PyTypeObject* type, PyObject* args, PyObject* keywords) {
    if (refusedPositionalOnlyKeyword(type, keywords, "number_of_nodes")) return nullptr;
    return newModelObject(type, args, setDefaults, _StandardNetworkMultiserver_init_Py,
                          _StandardNetworkMultiserver_functionPointers,
                          _StandardNetworkMultiserver_functionNames,
                          _StandardNetworkMultiserver_functionSignatureIndexes);
}

// What pickles need besides the fields: the per-node arrays have one entry
// per node, the number that the constructor takes.
struct Layout {
    static int arrayLength(Object* o) { return _StandardNetworkMultiserver_getNumberOfNodes(o); }
    static PyObject* constructorArguments(int nodes) {
        return checkedNew(Py_BuildValue("(i)", nodes));
    }
};
using Pickle = Pickling<Object, _StandardNetworkMultiserver_memRelease, Layout>;
using Construct = Construction<Object, _StandardNetworkMultiserver_memRelease, Layout>;

// <navro.StandardNetworkMultiserver nodes=3 time=120 servers=[2, 4, 1]
//  mean_present=[0.5312, 3.207, 0.4011]>, on one line. The state may have
// been written with another length than the number of nodes: each list shows
// its own entries.
PyObject* describe(Object* self) {
    ReprText text;
    IntArray* servers = self->_numberOfServers;
    PmfArray* state = self->_internalState;
    text.add("<%s nodes=%d time=%d servers=", Py_TYPE(self)->tp_name, servers->length, self->_time);
    text.addList(servers->length, [&](int i) { text.add("%d", servers->elements[i]); });
    // The per-node limits only where a node has one.
    RealArray* abandonment = self->_abandonmentProbabilities;
    IntArray* capacities = self->_capacities;
    bool anyAbandonment = false;
    bool anyCapacity = false;
    for (int i = 0; i < abandonment->length; ++i) anyAbandonment |= abandonment->elements[i] != 0;
    for (int i = 0; i < capacities->length; ++i)
        anyCapacity |= capacities->elements[i] != noCapacity;
    if (anyAbandonment) {
        text.add(" abandonment=");
        text.addList(abandonment->length,
                     [&](int i) { text.add("%.4g", abandonment->elements[i]); });
    }
    if (anyCapacity) {
        text.add(" capacity=");
        text.addList(capacities->length, [&](int i) {
            if (capacities->elements[i] == noCapacity) {
                text.add("None");
            } else {
                text.add("%d", capacities->elements[i]);
            }
        });
    }
    text.add(" mean_present=");
    text.addList(state->length,
                 [&](int i) { text.add("%.4g", meanOf(lookupMarginalPmf(state->elements[i]))); });
    text.add(">");
    return text.toPy();
}

PyMethodDef _StandardNetworkMultiserver_methods[] = {
    {"step", Entry::longProcedure<_StandardNetworkMultiserver_step>, METH_VARARGS,
     "step($self, /)\n--\n\n"
     "Move every node one time unit forward, all from the network's state before\n"
     "the step, and add 1 to time. Other threads run meanwhile.\n\n"
     "Raises navro.error if a routing row sums to more than 1, or a node's state\n"
     "cannot step; Ctrl-C raises KeyboardInterrupt. No node moves unless every\n"
     "node can."},
    {"apply_observation_range_at_node",
     Entry::procedure<_StandardNetworkMultiserver_applyObservationRangeAtNode, IntArgument,
                      IntArgument, IntArgument>,
     METH_VARARGS,
     "apply_observation_range_at_node($self, node, start, end, /)\n--\n\n"
     "Condition the state of one node on start <= number present < end.\n\n"
     "Raises navro.error(\"Empty pmf\") if the node's state gives that range no\n"
     "probability, or \"Lookup index out of range\" for a node outside the network."},
    {"apply_observation_value_at_node",
     Entry::procedure<_StandardNetworkMultiserver_applyObservationValueAtNode, IntArgument,
                      IntArgument>,
     METH_VARARGS,
     "apply_observation_value_at_node($self, node, value, /)\n--\n\n"
     "Condition the state of one node on exactly value present.\n\n"
     "Raises navro.error(\"Empty pmf\") if the node's state gives value no\n"
     "probability, or \"Lookup index out of range\" for a node outside the network."},
    {"mark", Entry::procedure<_StandardNetworkMultiserver_mark>, METH_VARARGS,
     "mark($self, /)\n--\n\n"
     "Take the one snapshot of the whole network, configuration included. It\n"
     "replaces the previous snapshot.\n\n"
     "Raises navro.error if internal_state was written with fewer nodes."},
    {"restore", Entry::procedure<_StandardNetworkMultiserver_restore>, METH_VARARGS,
     "restore($self, /)\n--\n\n"
     "Go back to the snapshot of the last mark(); before any mark(), to the\n"
     "network as created.\n\n"
     "Raises navro.error if internal_state was written with fewer nodes."},
    {"get_number_of_entities_at_node_pmf",
     Entry::query<_StandardNetworkMultiserver_getNumberOfEntitiesAtNodePmf, PmfResult, IntArgument>,
     METH_VARARGS,
     "get_number_of_entities_at_node_pmf($self, node, /)\n--\n\n"
     "Return the distribution of the number present at a node,\n"
     "{count: probability}."},
    {"get_number_of_external_arrivals_at_node_pmf",
     Entry::query<_StandardNetworkMultiserver_getNumberOfExternalArrivalsAtNodePmf, PmfResult,
                  IntArgument>,
     METH_VARARGS,
     "get_number_of_external_arrivals_at_node_pmf($self, node, /)\n--\n\n"
     "Return the distribution of the arrivals from outside at a node per time\n"
     "unit, {count: probability}."},
    {"get_abandonment_probability_at_node",
     Entry::query<_StandardNetworkMultiserver_getAbandonmentProbabilityAtNode, RealResult,
                  IntArgument>,
     METH_VARARGS,
     "get_abandonment_probability_at_node($self, node, /)\n--\n\n"
     "Return the chance that each waiting entity at a node gives up in a step."},
    {"set_abandonment_probability_at_node",
     Entry::procedure<_StandardNetworkMultiserver_setAbandonmentProbabilityAtNode, IntArgument,
                      RealArgument>,
     METH_VARARGS,
     "set_abandonment_probability_at_node($self, node, probability, /)\n--\n\n"
     "Set the chance that each waiting entity at a node (present and not in\n"
     "service when the step began) gives up in a step and leaves the network.\n\n"
     "Raises navro.error(\"Invalid value\") if probability is not in [0, 1], or\n"
     "\"Lookup index out of range\" for a node outside the network."},
    {"get_capacity_at_node",
     Entry::query<_StandardNetworkMultiserver_getCapacityAtNode, CapacityResult, IntArgument>,
     METH_VARARGS,
     "get_capacity_at_node($self, node, /)\n--\n\n"
     "Return the most entities present at a node, or None for no limit."},
    {"set_capacity_at_node",
     Entry::procedure<_StandardNetworkMultiserver_setCapacityAtNode, IntArgument, CapacityArgument>,
     METH_VARARGS,
     "set_capacity_at_node($self, node, capacity, /)\n--\n\n"
     "Set the most entities present at a node, or None for no limit. Arrivals\n"
     "from outside and entities routed to the node that find no room are\n"
     "blocked and lost.\n\n"
     "Raises navro.error(\"Invalid value\") for a negative capacity, or\n"
     "\"Lookup index out of range\" for a node outside the network."},
    {"get_number_of_nodes", Entry::query<_StandardNetworkMultiserver_getNumberOfNodes, IntResult>,
     METH_VARARGS,
     "get_number_of_nodes($self, /)\n--\n\n"
     "Return the number of nodes, fixed when the network was made."},
    {"get_number_of_servers_at_node",
     Entry::query<_StandardNetworkMultiserver_getNumberOfServersAtNode, IntResult, IntArgument>,
     METH_VARARGS,
     "get_number_of_servers_at_node($self, node, /)\n--\n\n"
     "Return the number of servers at a node."},
    {"get_routing_probability",
     Entry::query<_StandardNetworkMultiserver_getRoutingProbability, RealResult, IntArgument,
                  IntArgument>,
     METH_VARARGS,
     "get_routing_probability($self, source, destination, /)\n--\n\n"
     "Return the probability that an entity whose service at source ends goes to\n"
     "destination next."},
    {"get_routing_probabilities",
     Entry::query<_StandardNetworkMultiserver_getRoutingProbabilities, RoutesResult>, METH_VARARGS,
     "get_routing_probabilities($self, /)\n--\n\n"
     "Return every route of positive probability as three lists of one length,\n"
     "(sources, destinations, probabilities), by source and then destination.\n"
     "Every entry not listed is 0."},
    {"get_service_duration_at_node_pmf",
     Entry::query<_StandardNetworkMultiserver_getServiceDurationAtNodePmf, PmfResult, IntArgument>,
     METH_VARARGS,
     "get_service_duration_at_node_pmf($self, node, /)\n--\n\n"
     "Return the distribution of the time units one service at a node takes,\n"
     "{duration: probability}."},
    {"set_number_of_external_arrivals_at_node_pmf",
     Entry::procedure<_StandardNetworkMultiserver_setNumberOfExternalArrivalsAtNodePmf, IntArgument,
                      SimplePmfArgument>,
     METH_VARARGS,
     "set_number_of_external_arrivals_at_node_pmf($self, node, pmf, /)\n--\n\n"
     "Set the distribution of the arrivals from outside at a node per time unit,\n"
     "{count: probability}. Weights need not sum to 1: they are normalised, a\n"
     "weight above 1 counts as 1 and one of 0 or less is dropped.\n\n"
     "Raises navro.error on a malformed dict or a node outside the network."},
    {"set_number_of_servers_at_node",
     Entry::procedure<_StandardNetworkMultiserver_setNumberOfServersAtNode, IntArgument,
                      IntArgument>,
     METH_VARARGS,
     "set_number_of_servers_at_node($self, node, number_of_servers, /)\n--\n\n"
     "Set the number of identical servers at a node.\n\n"
     "Raises navro.error if number_of_servers is negative or the node is outside\n"
     "the network."},
    {"set_routing_probability",
     Entry::procedure<_StandardNetworkMultiserver_setRoutingProbability, IntArgument, IntArgument,
                      RealArgument>,
     METH_VARARGS,
     "set_routing_probability($self, source, destination, probability, /)\n--\n\n"
     "Set the probability that an entity whose service at source ends goes to\n"
     "destination next. What a row leaves over is the chance of leaving.\n\n"
     "Raises navro.error if probability is not in [0, 1] or a node is outside the\n"
     "network. A row that sums to more than 1 is refused by the next step(); the\n"
     "sum is taken in column order with no tolerance, so rounding can refuse a\n"
     "row meant to sum to exactly 1."},
    {"set_routing_probabilities",
     Entry::procedure<_StandardNetworkMultiserver_setRoutingProbabilities, IntListArgument,
                      IntListArgument, RealListArgument>,
     METH_VARARGS,
     "set_routing_probabilities($self, sources, destinations, probabilities, /)\n--\n\n"
     "Set many routing probabilities at once, as set_routing_probability sets one:\n"
     "entry k of the three lists (or tuples) of one length names an entry of the\n"
     "table, and a later one wins. The entries not named keep their values.\n\n"
     "Raises navro.error, and sets nothing, if the lists differ in length, a\n"
     "probability is not in [0, 1] or a node is outside the network."},
    {"set_service_duration_at_node_pmf",
     Entry::procedure<_StandardNetworkMultiserver_setServiceDurationAtNodePmf, IntArgument,
                      SimplePmfArgument>,
     METH_VARARGS,
     "set_service_duration_at_node_pmf($self, node, pmf, /)\n--\n\n"
     "Set the distribution of the time units one service at a node takes,\n"
     "{duration: probability}. Weights need not sum to 1: they are normalised, a\n"
     "weight above 1 counts as 1 and one of 0 or less is dropped.\n\n"
     "Raises navro.error if a duration of 0 has probability, on a malformed dict,\n"
     "or for a node outside the network."},
    {"reset_node_with_number_of_entities",
     Entry::procedure<_StandardNetworkMultiserver_resetNodeWithNumberOfEntities, IntArgument,
                      IntArgument>,
     METH_VARARGS,
     "reset_node_with_number_of_entities($self, node, number_of_entities, /)\n--\n\n"
     "Set the state of one node to exactly number_of_entities present, each\n"
     "service just starting.\n\n"
     "Raises navro.error if number_of_entities is negative or the node is outside\n"
     "the network."},
    {"_record",
     Entry::longQuery<_StandardNetworkMultiserver_record, RecordingResult, IntArgument, IntArgument,
                      IntArgument, IntArgument>,
     METH_VARARGS,
     "_record($self, steps, every, start, horizon, /)\n--\n\n"
     "The engine of navro.trajectory: takes `steps` steps and returns the\n"
     "recorded rows as one block, with the waits of the arrivals up to\n"
     "`horizon` steps (none when it is below 0)."},
    {"_record_exact",
     ExactRecordEntry<Object, _StandardNetworkMultiserver_memRelease,
                      _StandardNetworkMultiserver_recordExact>::call,
     METH_VARARGS, recordExactHelp},
    Pickle::reduceMethod,
    Pickle::setStateMethod,
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef _StandardNetworkMultiserver_getset[] = {
    {"internal_state", Entry::get<&Object::_internalState, StatePmfArrayAttribute>,
     Entry::set<&Object::_internalState, StatePmfArrayAttribute>,
     "The state, one dict per node, {(number present, remaining service time):\n"
     "probability}. Weights set need not sum to 1: they are normalised, a weight\n"
     "above 1 counts as 1 and one of 0 or less is dropped. A malformed list\n"
     "raises navro.error.",
     const_cast<char*>("internal_state")},
    Entry::timeAttribute,
    Entry::currentMemoryUseAttribute,
    Entry::peakMemoryUseAttribute,
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

}  // namespace

PyTypeObject _StandardNetworkMultiserver_Type = modelType(
    "navro.StandardNetworkMultiserver",
    "StandardNetworkMultiserver(number_of_nodes, /, **configuration)\n--\n\n"
    "A network of number_of_nodes queueing stations (1 to 1048576), numbered from\n"
    "0, in discrete time. Each node has identical servers, its own arrivals from\n"
    "outside and its own service durations. An entity whose service at node s\n"
    "ends goes to node d with the routing probability of row s, column d, or\n"
    "leaves with what the row leaves over.\n\n"
    "The state of each node is the exact joint distribution of (number present,\n"
    "remaining service time of an entity in service); step() maps all nodes one\n"
    "time unit forward. A new network has no servers, no arrivals, services of\n"
    "one time unit, no routing, no abandonment, no capacity limits, every node\n"
    "empty and time 0.\n\n"
    "The keywords set any of these at once, by the rules of the setters:\n"
    "number_of_servers, number_of_external_arrivals_pmfs and\n"
    "service_duration_pmfs with one entry per node, routing_probabilities with\n"
    "one row of number_of_nodes entries per node (each a list, a tuple or a\n"
    "NumPy array), abandonment_probabilities and capacities with one entry per\n"
    "node (None: no limit), time and internal_state as the attributes. Any other\n"
    "keyword raises TypeError, a sequence of another length\n"
    "navro.error(\"Invalid value\").\n\n"
    "Nodes, counts and times are ints of 32 bits, or objects with __index__\n"
    "(NumPy integers), and probabilities floats (or ints). A value out of that\n"
    "range, or a method's argument of another type, raises\n"
    "navro.error(\"Invalid value\"); time raises TypeError for another type, as\n"
    "the interpreter's int attributes do. Every refused call raises navro.error\n"
    "with a fixed message and leaves the network as it was.\n\n"
    "One thread at a time: a call made while another thread's call on the\n"
    "network is under way raises navro.error(\"Model in use by another call\").",
    sizeof(Object), _StandardNetworkMultiserver_methods, _StandardNetworkMultiserver_getset,
    _StandardNetworkMultiserver_new, Construct::init,
    deallocModel<Object, _StandardNetworkMultiserver_releaseWorkspace>, Entry::repr<describe>);
