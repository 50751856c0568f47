#pragma once

#include <Python.h>

#include <cxxabi.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <iterator>
#include <tuple>
#include <utility>

#include "bridge/containers.hpp"
#include "bridge/fork_recovery.hpp"
#include "bridge/long_operation.hpp"
#include "bridge/pmf_conversion.hpp"
#include "bridge/pyref.hpp"
#include "bridge/scalars.hpp"
#include "models/model_object.hpp"
#include "runtime/errors.hpp"
#include "runtime/forks.hpp"
#include "runtime/memory.hpp"

// The module's exception class, "navro.error".
extern PyObject* PException;

// Argument converters of the method tables: each names the C++ type it
// yields and how it is read from one positional argument.
struct IntArgument {
    using type = Int;
    static Int fromPy(NObject* obj, PyObject* o) { return Int_fromPyIndex(obj, o); }
};
struct RealArgument {
    using type = Real;
    static Real fromPy(NObject* obj, PyObject* o) { return Real_fromPy(obj, o); }
};
// A dict that must describe a distribution over single integers.
struct SimplePmfArgument {
    using type = Pmf*;
    static Pmf* fromPy(NObject* obj, PyObject* o) { return confirmSimplePmf(Pmf_fromPy(obj, o)); }
};

// A list or tuple of any number of values, none included.
struct IntListArgument {
    using type = HeapVector<Int>;
    static type fromPy(NObject* obj, PyObject* o) { return IntValues_fromPy(obj, o); }
};
struct RealListArgument {
    using type = HeapVector<Real>;
    static type fromPy(NObject* obj, PyObject* o) { return RealValues_fromPy(obj, o); }
};

// Result converters of queries.
struct IntResult {
    static PyObject* toPy(NObject* obj, Int i) { return Int_toPy(obj, i); }
};
struct RealResult {
    static PyObject* toPy(NObject* obj, Real x) { return Real_toPy(obj, x); }
};
struct PmfResult {
    static PyObject* toPy(NObject* obj, Pmf* p) { return Pmf_toPy(obj, p); }
};
struct RoutesResult {
    static PyObject* toPy(NObject* obj, RoutingTable* t) { return RoutingTable_toPy(obj, t); }
};

// Attribute converters: a field's Python form both ways, with the check that
// a new value must pass before it is stored.
struct SimplePmfAttribute {
    static PyObject* toPy(NObject* obj, Pmf* p) { return Pmf_toPy(obj, p); }
    static Pmf* fromPy(NObject* obj, PyObject* o) { return confirmSimplePmf(Pmf_fromPy(obj, o)); }
};
struct StatePmfAttribute {
    static PyObject* toPy(NObject* obj, Pmf* p) { return Pmf_toPy(obj, p); }
    static Pmf* fromPy(NObject* obj, PyObject* o) { return confirmJointPmf(Pmf_fromPy(obj, o), 2); }
};
// A count or a clock, in the 32-bit range, set as an integer member of the
// interpreter's is.
struct IntAttribute {
    static PyObject* toPy(NObject* obj, Int i) { return Int_toPy(obj, i); }
    static Int fromPy(NObject* obj, PyObject* o) { return Int_fromPyMember(obj, o); }
};
// A capacity: None for no limit (stored as noCapacity), or a count of 0 or
// more; a negative count raises "Invalid value". As an attribute it takes
// what the integer attributes take; as an argument, what they take.
struct CapacityAttribute {
    static PyObject* toPy(NObject* obj, Int capacity) {
        if (capacity == noCapacity) Py_RETURN_NONE;
        return Int_toPy(obj, capacity);
    }
    static Int fromPy(NObject* obj, PyObject* o) {
        if (o == Py_None) return noCapacity;
        return positive(Int_fromPyMember(obj, o));
    }
    static Int positive(Int capacity) {
        if (capacity < 0) navro::abort(messages::invalidValue);
        return capacity;
    }
};
struct CapacityArgument {
    using type = Int;
    static Int fromPy(NObject* obj, PyObject* o) {
        if (o == Py_None) return noCapacity;
        return CapacityAttribute::positive(Int_fromPyIndex(obj, o));
    }
};
struct CapacityResult {
    static PyObject* toPy(NObject* obj, Int capacity) {
        return CapacityAttribute::toPy(obj, capacity);
    }
};
// A probability, a float or an int.
struct RealAttribute {
    static PyObject* toPy(NObject* obj, Real x) { return Real_toPy(obj, x); }
    static Real fromPy(NObject* obj, PyObject* o) { return Real_fromPy(obj, o); }
};
struct AbandonmentAttribute {
    static Real fromPy(NObject* obj, PyObject* o) {
        return confirmAbandonmentProbability(Real_fromPy(obj, o));
    }
};
// The memory-use counters, read only.
struct CounterAttribute {
    static PyObject* toPy(NObject*, std::uint64_t n) {
        return checkedNew(PyLong_FromUnsignedLongLong(n));
    }
};
struct StatePmfArrayAttribute {
    static PyObject* toPy(NObject* obj, PmfArray* a) { return PmfArray_toPy(obj, a); }
    static PmfArray* fromPy(NObject* obj, PyObject* o) {
        return confirmJointPmfArray(PmfArray_fromPy(obj, o), 2);
    }
};

// Not a message: what runCatching reports when the interpreter already
// holds the error to raise.
inline constexpr const char* interpreterErrorStands = "";

// Runs `body` and reports its failure, null if there was none. Every failure
// of the module, a heap that runs out included, is a CException with its
// message; anything else is a fault of the module's, which must not cross
// into the interpreter either. Only the unwinding that ends a thread (the
// interpreter ends those that take its lock back while it shuts down) goes
// on its way.
template <typename Body>
const char* runCatching(Body&& body) {
    try {
        body();
        return nullptr;
    } catch (const CException& e) {
        return e.message;
    } catch (const InterpreterError&) {
        return interpreterErrorStands;
#ifdef __GLIBCXX__
    } catch (abi::__forced_unwind&) {
        throw;
#endif
    } catch (...) {
        return messages::internalError;
    }
}

// Raises what runCatching reported, a message as "navro.error"; returns
// whether there was nothing to raise.
inline bool succeededOrRaise(const char* failure) {
    if (failure == nullptr) return true;
    if (failure != interpreterErrorStands) PyErr_SetString(PException, failure);
    return false;
}

// Every call from Python into a model object runs inside one ObjectEntry.
// Python code can run in the middle of a call: building a result allocates
// dicts and tuples, any of which may start a collection of the interpreter's
// that runs finalisers and callbacks, and that code may call the same object
// again. A nested call on the same thread works as a call of its own, but
// only the entry that ends last runs the collector, so nothing that a call
// still under way walks, its unfinished result included, is freed.
// A call from another thread, which can run while this one makes Python
// objects or works without the interpreter lock, is refused instead: two
// threads never share an object's fields, its scratch storage or its
// context, and no collector runs while another thread may touch them.
class ObjectEntry {
public:
    // Null when a call may enter the object now, else the refusal's message.
    static const char* refusal(const NObject* obj) {
        if (obj->entryDepth == 0) return nullptr;
        if (obj->working || obj->enteringThread != PyThread_get_thread_ident())
            return messages::modelInUse;
        return nullptr;
    }

    explicit ObjectEntry(NObject* _obj) : obj(_obj) {
        prepareThread();
        if (obj->entryDepth == 0) obj->entryForks = forksSoFar;
        obj->enteringThread = PyThread_get_thread_ident();
        ++obj->entryDepth;
    }
    ~ObjectEntry() { --obj->entryDepth; }
    ObjectEntry(const ObjectEntry&) = delete;
    ObjectEntry& operator=(const ObjectEntry&) = delete;

private:
    NObject* obj;
};

// The entry points of one model type. `Object` starts with its NObject
// header, named `header`; `collect` is the type's collector.
template <typename Object, void (*collect)(Object*)>
struct Entries {
    static Object* self(PyObject* o) { return reinterpret_cast<Object*>(o); }

    // Runs the collector if anything was allocated and no other call on the
    // object is under way: one that is may still walk what it would free.
    static void collectIfOnlyEntry(Object* obj) {
        if (obj->header.entryDepth == 1 && obj->header.isMemModified) collect(obj);
    }

    // Handed to a long operation, which calls it between its steps; the
    // collection is the one every entry ends with, so the same rules apply.
    // It may run without the interpreter lock: a fork waits for it to end, as
    // for an update of the fields, so that no child holds a context half
    // marked or half swept.
    static void checkpoint(NObject* header) {
        updateFields([&] { collectIfOnlyEntry(reinterpret_cast<Object*>(header)); });
    }

    // In the child of a fork, the entries of a thread that the fork left
    // behind never end. A model's operations replace its fields only in
    // whole updates (FieldsUpdate), so the model is at its last whole state
    // and takes calls again. The scratch storage of a step under way may be
    // half changed: it is left unfreed and made anew at the next step. An
    // object that keeps what it works on elsewhere (an exact chain, on the
    // heap) cannot be vouched for, and stays refused.
    static void forgetLostEntries(Object* obj) {
        if constexpr (requires { obj->workspace; }) {
            if (!enteredByLostThread(&obj->header)) return;
            obj->header.entryDepth = 0;
            obj->header.working = false;
            obj->workspace = nullptr;
        }
    }

    // The one path of every entry: unless the object refuses the call, runs
    // `body` on the entered object and the collector, then raises the
    // failure, if there was one. Returns whether the call succeeded.
    template <typename Body>
    static bool run(Object* obj, Body&& body) {
        forgetLostEntries(obj);
        const char* failure = ObjectEntry::refusal(&obj->header);
        if (failure == nullptr) {
            ObjectEntry entry(&obj->header);
            failure = runCatching(body);
            collectIfOnlyEntry(obj);
        }
        return succeededOrRaise(failure);
    }

    // run() for an entry whose result is the new object that `make` returns.
    template <typename Make>
    static PyObject* runReturning(Object* obj, Make&& make) {
        PyRef result;
        bool succeeded = run(obj, [&] { result.reset(make()); });
        return succeeded ? result.release() : nullptr;
    }

    template <auto operation, typename... Args, std::size_t... I>
    static auto call(Object* obj, [[maybe_unused]] PyObject* args, std::index_sequence<I...>) {
        // Braced initialisation converts the arguments first to last.
        std::tuple<typename Args::type...> values{
            Args::fromPy(&obj->header, PyTuple_GET_ITEM(args, I))...};
        // Passed by reference: a list's values are not copied again.
        return std::apply([obj](auto&... v) { return operation(obj, v...); }, values);
    }

    // An operation that returns nothing: "Expected N parameters".
    template <auto operation, typename... Args>
    static PyObject* procedure(PyObject* o, PyObject* args) {
        static_assert(sizeof...(Args) < std::size(messages::expectedParameters));
        Object* obj = self(o);
        bool succeeded = run(obj, [&] {
            if (PyTuple_GET_SIZE(args) != static_cast<Py_ssize_t>(sizeof...(Args)))
                navro::abort(messages::expectedParameters[sizeof...(Args)]);
            call<operation, Args...>(obj, args, std::index_sequence_for<Args...>{});
        });
        if (!succeeded) return nullptr;
        Py_RETURN_NONE;
    }

    // An operation with a result, converted before the collector runs since
    // the result may live in blocks no field reaches: "Expected N parameter(s)".
    template <auto operation, typename Result, typename... Args>
    static PyObject* query(PyObject* o, PyObject* args) {
        static_assert(sizeof...(Args) < std::size(messages::expectedQueryParameters));
        Object* obj = self(o);
        return runReturning(obj, [&] {
            if (PyTuple_GET_SIZE(args) != static_cast<Py_ssize_t>(sizeof...(Args)))
                navro::abort(messages::expectedQueryParameters[sizeof...(Args)]);
            return Result::toPy(&obj->header, call<operation, Args...>(
                                                  obj, args, std::index_sequence_for<Args...>{}));
        });
    }

    // A procedure that may take long, a step: it runs as a LongOperation,
    // between its argument conversions and the return.
    template <auto operation, typename... Args>
    static PyObject* longProcedure(PyObject* o, PyObject* args) {
        return procedure<asLongProcedure<operation, typename Args::type...>, Args...>(o, args);
    }

    // A query that takes many steps, as a LongOperation: the operation gets
    // `checkpoint` before its converted arguments and calls it after every
    // step, so a long run holds one step's intermediates at a time. It must
    // keep what it needs across steps in the fields or on the process heap.
    // Its result is converted once the operation has ended.
    template <auto operation, typename Result, typename... Args>
    static PyObject* longQuery(PyObject* o, PyObject* args) {
        return query<asLongOperation<withCheckpoint<operation, typename Args::type...>,
                                     typename Args::type...>,
                     Result, Args...>(o, args);
    }

    template <auto operation, typename... Values>
    static auto withCheckpoint(Object* obj, Values... values) {
        return operation(obj, checkpoint, values...);
    }

    template <auto operation, typename... Values>
    static auto asLongOperation(Object* obj, Values... values) {
        LongOperation span(&obj->header);
        return span.run([&] { return operation(obj, values...); });
    }

    // A procedure leaves nothing that its fields do not reach but garbage,
    // so it is collected before the lock is taken back: other threads run
    // meanwhile, however large the model.
    template <auto operation, typename... Values>
    static void asLongProcedure(Object* obj, Values... values) {
        LongOperation span(&obj->header);
        span.run([&] {
            operation(obj, values...);
            checkpoint(&obj->header);
        });
    }

    // Attribute getter: a fresh Python value of what `read` gives, a field
    // (a pointer to member) or a function of the object.
    template <auto read, typename Converter>
    static PyObject* get(PyObject* o, void*) {
        Object* obj = self(o);
        return runReturning(obj,
                            [&] { return Converter::toPy(&obj->header, std::invoke(read, obj)); });
    }

    // The repr slot: the str that `describe` makes of the object.
    template <PyObject* (*describe)(Object*)>
    static PyObject* repr(PyObject* o) {
        Object* obj = self(o);
        return runReturning(obj, [&] { return describe(obj); });
    }

    static std::uint64_t currentMemoryUse(Object* obj) { return obj->header.currentMemoryUse; }
    static std::uint64_t peakMemoryUse(Object* obj) { return obj->header.peakMemoryUse; }

    // Attribute setter: convert, check, store; the field keeps its value on
    // any failure. Deletion is refused since a model cannot lack its input.
    template <auto field, typename Converter>
    static int set(PyObject* o, PyObject* value, void* closure) {
        if (value == nullptr) {
            PyErr_Format(PyExc_AttributeError, "cannot delete attribute '%s'",
                         static_cast<const char*>(closure));
            return -1;
        }
        Object* obj = self(o);
        bool succeeded = run(obj, [&] { obj->*field = Converter::fromPy(&obj->header, value); });
        return succeeded ? 0 : -1;
    }

    // The rows that every model's attribute table ends with.
    static constexpr PyGetSetDef timeAttribute = {
        "time", get<&Object::_time, IntAttribute>, set<&Object::_time, IntAttribute>,
        "The clock: step() adds 1, wrapping from 2**31 - 1 to -2**31.\n"
        "Takes an int or an object with __index__ (a NumPy integer); another type\n"
        "raises TypeError, a value outside 32 bits navro.error(\"Invalid value\").",
        const_cast<char*>("time")};
    static constexpr PyGetSetDef currentMemoryUseAttribute = {
        "current_memory_use", get<currentMemoryUse, CounterAttribute>, nullptr,
        "Bytes that the model holds now (read only).", nullptr};
    static constexpr PyGetSetDef peakMemoryUseAttribute = {
        "peak_memory_use", get<peakMemoryUse, CounterAttribute>, nullptr,
        "Most bytes that the model has held at once (read only).", nullptr};
};

// Creation of a model object: an empty context, the defaults of every field
// (`setDefaults`), then the construction wrapper `init` with the positional
// arguments. A failed construction frees the half-built object.
PyObject* newModelObject(PyTypeObject* type, PyObject* args, void (*setDefaults)(PyObject*),
                         PyObject* (*init)(PyObject*, PyObject*), void** functionPointers,
                         const char** functionNames, int* functionSignatureIndexes);

// The type object of a model: subclassable, no collector support of the
// interpreter's (the objects refer to no Python objects), everything not
// named here left to the interpreter's defaults.
PyTypeObject modelType(const char* name, const char* doc, Py_ssize_t basicSize,
                       PyMethodDef* methods, PyGetSetDef* getset, newfunc create, initproc init,
                       destructor destroy, reprfunc repr);

// Frees the whole context, then the object.
void dealloc(PyObject* self);

// Destructor slot of a model type: its scratch storage, which lies outside
// the context, goes first, unless a step that a fork left behind may have
// been changing it.
template <typename Object, void (*releaseWorkspace)(Object*)>
void deallocModel(PyObject* self) {
    auto* obj = reinterpret_cast<Object*>(self);
    if (enteredByLostThread(&obj->header)) obj->workspace = nullptr;
    releaseWorkspace(obj);
    dealloc(self);
}
