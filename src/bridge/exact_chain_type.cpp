// The Python face of the exact chain: creation, the snapshot, the counts a
// caller reports, and the type object.
#include "bridge/exact_chain_type.hpp"

#include "runtime/errors.hpp"

namespace {

using Object = ExactChainObject;

// Nothing of the chain lives in the context.
void collect(Object* self) { release(&self->header); }

using Entry = Entries<Object, collect>;

void setDefaults(PyObject* self) { reinterpret_cast<Object*>(self)->chain = nullptr; }

void init(Object* self, Int maxStates, Real dropBelow) {
    self->chain = new ExactChain(maxStates, dropBelow);
}

PyObject* init_Py(PyObject* self, PyObject* args) {
    return Entry::procedure<init, IntArgument, RealArgument>(self, args);
}

PyObject* create(PyTypeObject* type, PyObject* args, PyObject*) {
    return newModelObject(type, args, setDefaults, init_Py, nullptr, nullptr, nullptr);
}

// A chain that a run of a thread lost in a fork was moving may be half
// changed: it is left unfreed.
void destroy(PyObject* self) {
    auto* obj = reinterpret_cast<Object*>(self);
    if (!enteredByLostThread(&obj->header)) delete obj->chain;
    dealloc(self);
}

void mark(Object* self) { self->chain->mark(); }
void restore(Object* self) { self->chain->restore(); }

std::uint64_t states(Object* self) { return self->chain->stateCount(); }
std::uint64_t activeStates(Object* self) { return self->chain->activeCount(); }
std::uint64_t transitions(Object* self) { return self->chain->transitionCount(); }
Real dropped(Object* self) { return self->chain->dropped(); }

PyMethodDef methods[] = {
    {"mark", Entry::procedure<mark>, METH_VARARGS,
     "mark($self, /)\n--\n\n"
     "Take the one snapshot of the chain's distribution (or of its not being\n"
     "started yet)."},
    {"restore", Entry::procedure<restore>, METH_VARARGS,
     "restore($self, /)\n--\n\n"
     "Go back to the snapshot of the last mark(). The states found since stay\n"
     "known; their rows are kept while the settings stay the same."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef getset[] = {
    {"states", Entry::get<states, CounterAttribute>, nullptr,
     "States the chain holds: every state it has reached and not yet forgotten.", nullptr},
    {"active_states", Entry::get<activeStates, CounterAttribute>, nullptr,
     "States of positive probability now.", nullptr},
    {"transitions", Entry::get<transitions, CounterAttribute>, nullptr,
     "Transitions stored for the current settings.", nullptr},
    {"dropped_mass", Entry::get<dropped, RealResult>, nullptr,
     "Probability dropped so far (states below the threshold).", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

}  // namespace

PyTypeObject ExactChain_Type =
    modelType("navro._core._ExactChain",
              "_ExactChain(max_states, drop_below, /)\n--\n\n"
              "The joint distribution of a station's or network's real state, carried by\n"
              "navro.trajectory(method=\"exact\") from one period to the next. It holds at\n"
              "most max_states states and drops, after every step, the states of\n"
              "probability below drop_below. Private: use navro.trajectory.",
              sizeof(Object), methods, getset, create, nullptr, destroy, nullptr);
