#pragma once

#include <Python.h>

#include "bridge/recording_conversion.hpp"
#include "bridge/wrappers.hpp"
#include "exact/chain.hpp"
#include "exact/model_chain.hpp"

// The private type navro._core._ExactChain: an exact chain that the layer
// carries from one period of a run to the next. Its header serves the entry
// path only (its memory context stays empty); the chain itself lives on the
// process heap.
struct ExactChainObject {
    NObject header;
    ExactChain* chain;
};

extern PyTypeObject ExactChain_Type;

// A positional argument that must be an _ExactChain ("Invalid value" if not).
struct ExactChainArgument {
    using type = ExactChainObject*;
    static ExactChainObject* fromPy(NObject*, PyObject* o) {
        if (!PyObject_TypeCheck(o, &ExactChain_Type)) navro::abort(messages::invalidValue);
        return reinterpret_cast<ExactChainObject*>(o);
    }
};

// A run holds its chain as a step holds its model: no other call, of any
// thread, may use the chain until the run ends. Made and ended with the
// interpreter lock held, outside the run's own span.
class ChainInUse {
public:
    explicit ChainInUse(ExactChainObject* chain) : header(&chain->header) {
        if (header->entryDepth > 0) navro::abort(messages::modelInUse);
        header->entryForks = forksSoFar;
        header->enteringThread = PyThread_get_thread_ident();
        ++header->entryDepth;
        header->working = true;
    }
    ~ChainInUse() {
        header->working = false;
        --header->entryDepth;
    }
    ChainInUse(const ChainInUse&) = delete;
    ChainInUse& operator=(const ChainInUse&) = delete;

private:
    NObject* header;
};

// The `_record_exact(chain, steps, every, start)` entry of a model type:
// `record` runs as a long operation on the model, with the chain held.
template <typename Object, void (*collect)(Object*), auto record>
struct ExactRecordEntry {
    using Entry = Entries<Object, collect>;

    static Recording withChain(Object* self, Checkpoint checkpoint, ExactChain* chain, Int steps,
                               Int every, Int start, Int horizon) {
        return record(self, checkpoint, *chain, steps, every, start, horizon);
    }

    static Recording held(Object* self, ExactChainObject* chain, Int steps, Int every, Int start,
                          Int horizon) {
        ChainInUse use(chain);
        return Entry::template asLongOperation<
            Entry::template withCheckpoint<withChain, ExactChain*, Int, Int, Int, Int>, ExactChain*,
            Int, Int, Int, Int>(self, chain->chain, steps, every, start, horizon);
    }

    static PyObject* call(PyObject* self, PyObject* args) {
        return Entry::template query<held, RecordingResult, ExactChainArgument, IntArgument,
                                     IntArgument, IntArgument, IntArgument>(self, args);
    }
};

// The help text of the entry, the same on both model types.
inline constexpr const char* recordExactHelp =
    "_record_exact($self, chain, steps, every, start, horizon, /)\n--\n\n"
    "The engine of navro.trajectory(method=\"exact\"): moves the exact chain\n"
    "`steps` steps under the model's settings, starting it from the model's\n"
    "state at its first use, and returns the recorded rows as one block, the\n"
    "arrivals' waits NaN in the layout of `horizon`.";
