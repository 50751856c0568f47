#include "bridge/pickling.hpp"

#include <structmember.h>

#include <algorithm>
#include <bit>
#include <cfloat>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "bridge/scalars.hpp"
#include "runtime/errors.hpp"
#include "runtime/heap.hpp"

namespace {

constexpr long long stateFormat = 2;
// The formats that load: 1 lacks the fields of abandonment and capacity.
constexpr long long oldestFormat = 1;
constexpr int noChild = -1;
constexpr const char* recordsKey = "pmfs";

namespace refused {
constexpr const char* notADict = "the state is not a dict";
constexpr const char* format = "unknown format";
constexpr const char* missing = "missing";
constexpr const char* unknownKeys = "keys that no field has";
constexpr const char* notAnInteger = "not an integer in range";
constexpr const char* notBytes = "not bytes";
constexpr const char* wrongLength = "wrong length";
constexpr const char* notAList = "not a list";
constexpr const char* badRecord = "a record is not one of a simple or joint pmf";
constexpr const char* badWindow = "a simple pmf's values leave the range of counts";
constexpr const char* badProbability = "a probability is not in [0, 1]";
constexpr const char* notNormalised = "a pmf's probabilities do not sum to 1";
constexpr const char* badReference = "an index refers to no earlier record";
constexpr const char* badChild = "a joint pmf's conditional has the wrong shape";
constexpr const char* missingChild = "a joint pmf lacks the conditional of a value it gives weight";
constexpr const char* instanceDict = "the instance dict is not a dict of this object";
constexpr const char* slots = "the slots are not a dict of this object's slots";
constexpr const char* notRouting = "neither bytes of the whole table nor three bytes of routes";
constexpr const char* badRoutes = "a route names no node, or is out of order, or repeats one";
constexpr const char* noRoute = "a route has no probability";
constexpr const char* notAFloat = "not a float";
}  // namespace refused

// A count of values for valuesOf: any number, none included.
constexpr long long anyCount = -2;

// Fixed-width values in bytes are little-endian whatever the machine, so a
// pickle made on one host loads on any other.
template <typename T>
T littleEndian(T value) {
    if constexpr (std::endian::native == std::endian::little) {
        return value;
    } else {
        unsigned char bytes[sizeof(T)];
        std::memcpy(bytes, &value, sizeof(T));
        std::reverse(bytes, bytes + sizeof(T));
        std::memcpy(&value, bytes, sizeof(T));
        return value;
    }
}

template <typename T>
PyObject* bytesOf(const T* values, std::size_t count) {
    const auto size = static_cast<Py_ssize_t>(count * sizeof(T));
    PyRef bytes(checkedNew(PyBytes_FromStringAndSize(nullptr, size)));
    char* out = PyBytes_AS_STRING(bytes.get());
    for (std::size_t i = 0; i < count; ++i) {
        T value = littleEndian(values[i]);
        std::memcpy(out + i * sizeof(T), &value, sizeof(T));
    }
    return bytes.release();
}

// The values of `bytes`, which must hold exactly `count` of them; with
// anyLength, as many as it holds (at least one), with anyCount, any number.
template <typename T>
HeapVector<T> valuesOf(PyObject* bytes, long long count, const char* key) {
    if (!PyBytes_Check(bytes)) throw InvalidState{refused::notBytes, key};
    const auto size = static_cast<std::size_t>(PyBytes_GET_SIZE(bytes));
    if (size % sizeof(T) != 0) throw InvalidState{refused::wrongLength, key};
    const std::size_t held = size / sizeof(T);
    const bool fits = count == anyCount    ? held <= INT_MAX
                      : count == anyLength ? held > 0 && held <= INT_MAX
                                           : held == static_cast<std::size_t>(count);
    if (!fits) throw InvalidState{refused::wrongLength, key};
    HeapVector<T> values(held);
    const char* in = PyBytes_AS_STRING(bytes);
    for (std::size_t i = 0; i < held; ++i) {
        T value;
        std::memcpy(&value, in + i * sizeof(T), sizeof(T));
        values[i] = littleEndian(value);
    }
    return values;
}

long long integerIn(PyObject* value, long long low, long long high, const char* key) {
    if (!PyLong_Check(value)) throw InvalidState{refused::notAnInteger, key};
    int overflow = 0;
    long long n = PyLong_AsLongLongAndOverflow(value, &overflow);
    if (n == -1 && PyErr_Occurred()) {
        PyErr_Clear();
        throw InvalidState{refused::notAnInteger, key};
    }
    if (overflow != 0 || n < low || n > high) throw InvalidState{refused::notAnInteger, key};
    return n;
}

// A value that passes the field's rule, if it has one.
template <typename T>
T obeying(T (*rule)(T), T value) {
    return rule == nullptr ? value : rule(value);
}

// The accumulators divide by a total summed in increasing order of value,
// which leaves the sum within a few rounding errors per element of 1; far
// more than that is a damaged or forged record.
//
// A record with one value of positive probability holds exactly 1 there, as
// a weight divided by itself is: anything less would tell a step that
// another value may follow when none can (a service that goes on without a
// remaining time to go on with), which no model could step.
void confirmNormalised(const Pmf* pmf, const char* key) {
    const int length = pmf->simple.length;
    Real total = 0.0;
    int positives = 0;
    for (int k = 0; k < length; ++k) {
        const Real p = pmf->simple.elements[k];
        if (!(p >= 0.0 && p <= 1.0)) throw InvalidState{refused::badProbability, key};
        total += p;
        positives += p > 0.0 ? 1 : 0;
    }
    const bool normalised =
        positives == 1 ? total == 1.0 : std::fabs(total - 1.0) <= 1e-9 + 4.0 * DBL_EPSILON * length;
    if (!normalised) throw InvalidState{refused::notNormalised, key};
}

}  // namespace

// -------------------------------------------------------------------- keys

StateKey::StateKey(const char* name, const char* prefix) {
    if (name == nullptr) return;
    // The names are the models' own constants, all far shorter.
    const int written = std::snprintf(buffer, sizeof buffer, "%s%s", prefix, name);
    if (written < 0 || static_cast<std::size_t>(written) >= sizeof buffer) abortInternal();
}

// ------------------------------------------------------------------ writer

// A record's index, given it (after the records it refers to) the first time
// it is met, so shared records are written once.
int StateWriter::indexOf(Pmf* pmf) {
    if (auto found = indexes.find(pmf); found != indexes.end()) return found->second;
    if (pmf->pmfType == JOINT) {
        indexOf(pmf->joint.marginal);
        for (int k = 0; k < pmf->joint.marginal->simple.length; ++k) {
            if (pmf->joint.elements[k] != nullptr) indexOf(pmf->joint.elements[k]);
        }
    } else if (pmf->pmfType != SIMPLE) {
        abortInternal();  // no model field holds a compound pmf
    }
    const int index = static_cast<int>(records.size());
    records.push_back(pmf);
    indexes.emplace(pmf, index);
    return index;
}

int StateWriter::knownIndex(const Pmf* pmf) const {
    auto found = indexes.find(pmf);
    if (found == indexes.end()) abortInternal();
    return found->second;
}

void StateWriter::field(const char* key, Int value, IntRule, int) {
    items.push_back({key, Item::Form::number, value, {}, {}, {}});
}

void StateWriter::field(const char* key, Pmf* value, PmfRule, int) {
    items.push_back({key, Item::Form::number, indexOf(value), {}, {}, {}});
}

void StateWriter::field(const char* key, const PmfArray* value, PmfRule, int) {
    HeapVector<std::int32_t> entries(static_cast<std::size_t>(value->length));
    for (std::size_t i = 0; i < entries.size(); ++i) entries[i] = indexOf(value->elements[i]);
    items.push_back({key, Item::Form::int32s, 0, std::move(entries), {}, {}});
}

void StateWriter::field(const char* key, const IntArray* value, IntRule, int) {
    HeapVector<std::int32_t> entries(value->elements, value->elements + value->length);
    items.push_back({key, Item::Form::int32s, 0, std::move(entries), {}, {}});
}

void StateWriter::field(const char* key, const RoutingTable* value, RealRule, int) {
    Item routes{key, Item::Form::routes, 0, {}, {}, {}};
    for (int s = 0; s < value->length; ++s) {
        for (const Route& route : routesOf(value->elements[s])) {
            routes.int32s.push_back(s);
            routes.destinations.push_back(route.destination);
            routes.probabilities.push_back(route.probability);
        }
    }
    items.push_back(std::move(routes));
}

void StateWriter::field(const char* key, Real value, RealRule, int) {
    Item item{key, Item::Form::real, 0, {}, {}, {}};
    item.probabilities.push_back(value);
    items.push_back(std::move(item));
}

void StateWriter::field(const char* key, const RealArray* value, RealRule, int) {
    Item item{key, Item::Form::float64s, 0, {}, {}, {}};
    item.probabilities.assign(value->elements, value->elements + value->length);
    items.push_back(std::move(item));
}

void StateWriter::field(const char* key, Int value, CapacityRule, int) {
    items.push_back({key, Item::Form::number, value, {}, {}, {}});
}

void StateWriter::field(const char* key, const IntArray* value, CapacityRule, int) {
    HeapVector<std::int32_t> entries(value->elements, value->elements + value->length);
    items.push_back({key, Item::Form::int32s, 0, std::move(entries), {}, {}});
}

PyObject* StateWriter::recordToPy(const Pmf* pmf) const {
    if (pmf->pmfType == SIMPLE) {
        return checkedNew(Py_BuildValue(
            "(iiN)", SIMPLE, pmf->simple.offset,
            bytesOf(pmf->simple.elements, static_cast<std::size_t>(pmf->simple.length))));
    }
    HeapVector<std::int32_t> children(static_cast<std::size_t>(pmf->joint.marginal->simple.length));
    for (std::size_t k = 0; k < children.size(); ++k) {
        const Pmf* child = pmf->joint.elements[k];
        children[k] = child == nullptr ? noChild : knownIndex(child);
    }
    return checkedNew(Py_BuildValue("(iiiN)", JOINT, pmf->joint.depth,
                                    knownIndex(pmf->joint.marginal),
                                    bytesOf(children.data(), children.size())));
}

PyObject* StateWriter::state() const {
    PyRef dict(checkedNew(PyDict_New()));
    auto put = [&](const char* key, PyObject* value) {
        PyRef owned(value);
        if (PyDict_SetItemString(dict.get(), key, owned.get()) < 0) {
            PyErr_Clear();
            abortOutOfMemory();
        }
    };
    put("format", checkedNew(PyLong_FromLongLong(stateFormat)));
    PyRef pmfs(checkedNew(PyList_New(static_cast<Py_ssize_t>(records.size()))));
    for (std::size_t i = 0; i < records.size(); ++i) {
        // Slots not yet filled are null, which the list's release skips.
        PyList_SET_ITEM(pmfs.get(), static_cast<Py_ssize_t>(i), recordToPy(records[i]));
    }
    put(recordsKey, pmfs.release());
    for (const Item& item : items) {
        switch (item.form) {
            case Item::Form::number:
                put(item.key.text(), checkedNew(PyLong_FromLongLong(item.number)));
                break;
            case Item::Form::int32s:
                put(item.key.text(), bytesOf(item.int32s.data(), item.int32s.size()));
                break;
            case Item::Form::real:
                put(item.key.text(), checkedNew(PyFloat_FromDouble(item.probabilities[0])));
                break;
            case Item::Form::float64s:
                put(item.key.text(), bytesOf(item.probabilities.data(), item.probabilities.size()));
                break;
            case Item::Form::routes: {
                PyRef sources(bytesOf(item.int32s.data(), item.int32s.size()));
                PyRef destinations(bytesOf(item.destinations.data(), item.destinations.size()));
                PyRef probabilities(bytesOf(item.probabilities.data(), item.probabilities.size()));
                put(item.key.text(), checkedNew(PyTuple_Pack(3, sources.get(), destinations.get(),
                                                             probabilities.get())));
                break;
            }
        }
    }
    return dict.release();
}

// ------------------------------------------------------------------ reader

StateReader::StateReader(NObject* _obj, PyObject* state) : obj(_obj) {
    if (!PyDict_Check(state)) throw InvalidState{refused::notADict, nullptr};
    dict.reset(Py_NewRef(state));
    format = integerIn(item("format"), 0, LLONG_MAX, "format");
    if (format < oldestFormat || format > stateFormat)
        throw InvalidState{refused::format, "format"};
    readRecords(item(recordsKey));
}

PyObject* StateReader::item(const char* key) {
    // The key is made first, so that a failure to make it is reported as
    // what it is rather than as a missing field.
    PyRef name(checkedNew(PyUnicode_FromString(key)));
    PyObject* found = PyDict_GetItemWithError(dict.get(), name.get());
    // A key of the state whose comparison with a str raised: its error.
    if (found == nullptr && PyErr_Occurred()) throw InterpreterError{};
    if (found == nullptr) throw InvalidState{refused::missing, key};
    // Taken before anything else can run: Python code run later in the load
    // may remove the item from the state.
    PyRef value(Py_NewRef(found));
    held.push_back(std::move(value));
    ++keysRead;
    return held.back().get();
}

Pmf* StateReader::record(const char* key, long long index) {
    if (index < 0 || index >= static_cast<long long>(records.size()))
        throw InvalidState{refused::badReference, key};
    return records[static_cast<std::size_t>(index)];
}

// Every record refers only to records before it, so the graph that is
// rebuilt has no cycle and each record is checked once, as it is read.
void StateReader::readRecords(PyObject* list) {
    if (!PyList_Check(list)) throw InvalidState{refused::notAList, recordsKey};
    // A copy of the list's own storage, made without calling any method of a
    // subclass: the load's own, which nothing else can change while it is read.
    PyRef entries(checkedNew(PyList_GetSlice(list, 0, PY_SSIZE_T_MAX)));
    const Py_ssize_t count = PyList_GET_SIZE(entries.get());
    records.reserve(static_cast<std::size_t>(count));
    for (Py_ssize_t i = 0; i < count; ++i) {
        PyRef entry(Py_NewRef(PyList_GET_ITEM(entries.get(), i)));
        if (!PyTuple_Check(entry.get()) || PyTuple_GET_SIZE(entry.get()) < 1)
            throw InvalidState{refused::badRecord, recordsKey};
        const long long type =
            integerIn(PyTuple_GET_ITEM(entry.get(), 0), SIMPLE, JOINT, recordsKey);
        records.push_back(type == SIMPLE ? simpleRecord(entry.get()) : jointRecord(entry.get()));
    }
}

// (0, offset, elements)
Pmf* StateReader::simpleRecord(PyObject* entry) {
    if (PyTuple_GET_SIZE(entry) != 3) throw InvalidState{refused::badRecord, recordsKey};
    const long long offset = integerIn(PyTuple_GET_ITEM(entry, 1), 0, INT_MAX, recordsKey);
    HeapVector<Real> elements = valuesOf<Real>(PyTuple_GET_ITEM(entry, 2), anyLength, recordsKey);
    const auto length = static_cast<long long>(elements.size());
    // The largest value, offset + length - 1, must be a count too.
    if (offset + length - 1 > INT_MAX) throw InvalidState{refused::badWindow, recordsKey};
    Pmf* pmf = allocateSimplePmf(obj, static_cast<int>(offset), static_cast<int>(length));
    std::copy(elements.begin(), elements.end(), pmf->simple.elements);
    confirmNormalised(pmf, recordsKey);
    return pmf;
}

// (1, depth, marginal, children)
Pmf* StateReader::jointRecord(PyObject* entry) {
    const char* key = recordsKey;
    if (PyTuple_GET_SIZE(entry) != 4) throw InvalidState{refused::badRecord, key};
    const auto depth =
        static_cast<int>(integerIn(PyTuple_GET_ITEM(entry, 1), 2, maximumPmfDepth, key));
    Pmf* marginal = record(key, integerIn(PyTuple_GET_ITEM(entry, 2), 0, LLONG_MAX, key));
    if (marginal->pmfType != SIMPLE) throw InvalidState{refused::badChild, key};
    HeapVector<std::int32_t> children =
        valuesOf<std::int32_t>(PyTuple_GET_ITEM(entry, 3), marginal->simple.length, key);
    Pmf* pmf = allocateJointPmf(obj, marginal, depth);
    for (std::size_t k = 0; k < children.size(); ++k) {
        // The maps follow the conditional of every value of positive weight.
        if (children[k] == noChild) {
            if (marginal->simple.elements[k] != 0.0) throw InvalidState{refused::missingChild, key};
            continue;
        }
        Pmf* child = record(key, children[k]);
        const bool fits = depth == 2 ? child->pmfType == SIMPLE
                                     : child->pmfType == JOINT && child->joint.depth == depth - 1;
        if (!fits) throw InvalidState{refused::badChild, key};
        pmf->joint.elements[k] = child;
    }
    return pmf;
}

template <typename T>
void StateReader::keep(T& field, T value) {
    stores.push_back([&field, value] { field = value; });
}

void StateReader::field(const char* key, Int& field, IntRule rule, int) {
    keep(field, obeying(rule, static_cast<Int>(integerIn(item(key), INT_MIN, INT_MAX, key))));
}

void StateReader::field(const char* key, Pmf*& field, PmfRule rule, int) {
    keep(field, obeying(rule, record(key, integerIn(item(key), 0, LLONG_MAX, key))));
}

void StateReader::field(const char* key, PmfArray*& field, PmfRule rule, int length) {
    HeapVector<std::int32_t> entries = valuesOf<std::int32_t>(item(key), length, key);
    PmfArray* value = allocatePmfArray(obj, static_cast<int>(entries.size()));
    for (std::size_t i = 0; i < entries.size(); ++i) {
        value->elements[i] = obeying(rule, record(key, entries[i]));
    }
    keep(field, value);
}

void StateReader::field(const char* key, IntArray*& field, IntRule rule, int length) {
    HeapVector<std::int32_t> entries = valuesOf<std::int32_t>(item(key), length, key);
    IntArray* value = createIntArray(obj, static_cast<int>(entries.size()));
    for (std::size_t i = 0; i < entries.size(); ++i) value->elements[i] = obeying(rule, entries[i]);
    keep(field, value);
}

// The whole table, row by row, as earlier versions wrote it: its entries of
// positive probability.
HeapVector<RoutingChange> StateReader::routesOfTable(PyObject* table, RealRule rule, int length,
                                                     const char* key) {
    const auto n = static_cast<long long>(length);
    HeapVector<Real> entries = valuesOf<Real>(table, n * n, key);
    HeapVector<RoutingChange> routes;
    for (long long k = 0; k < n * n; ++k) {
        const Real p = obeying(rule, entries[static_cast<std::size_t>(k)]);
        if (p > 0) routes.push_back({static_cast<Int>(k / n), static_cast<Int>(k % n), p});
    }
    return routes;
}

// (sources, destinations, probabilities), in increasing order of source and
// then destination, each of positive probability.
HeapVector<RoutingChange> StateReader::routesOfList(PyObject* routes, RealRule rule, int length,
                                                    const char* key) {
    if (!PyTuple_Check(routes) || PyTuple_GET_SIZE(routes) != 3)
        throw InvalidState{refused::notRouting, key};
    HeapVector<std::int32_t> sources =
        valuesOf<std::int32_t>(PyTuple_GET_ITEM(routes, 0), anyCount, key);
    const auto count = static_cast<long long>(sources.size());
    HeapVector<std::int32_t> destinations =
        valuesOf<std::int32_t>(PyTuple_GET_ITEM(routes, 1), count, key);
    HeapVector<Real> probabilities = valuesOf<Real>(PyTuple_GET_ITEM(routes, 2), count, key);
    HeapVector<RoutingChange> changes(sources.size());
    for (std::size_t k = 0; k < changes.size(); ++k) {
        const RoutingChange change{sources[k], destinations[k], probabilities[k]};
        const bool named = change.source >= 0 && change.source < length &&
                           change.destination >= 0 && change.destination < length;
        const bool inOrder = k == 0 || changes[k - 1].source < change.source ||
                             (changes[k - 1].source == change.source &&
                              changes[k - 1].destination < change.destination);
        if (!named || !inOrder) throw InvalidState{refused::badRoutes, key};
        if (!(obeying(rule, change.probability) > 0)) throw InvalidState{refused::noRoute, key};
        changes[k] = change;
    }
    return changes;
}

void StateReader::field(const char* key, RoutingTable*& field, RealRule rule, int length) {
    PyObject* value = item(key);
    const HeapVector<RoutingChange> routes = PyBytes_Check(value)
                                                 ? routesOfTable(value, rule, length, key)
                                                 : routesOfList(value, rule, length, key);
    RoutingTable* table = createRoutingTable(obj, length);
    writeRoutes(obj, table, routes, rule);
    if (lastTable != nullptr && lastTable->length == length) {
        for (int s = 0; s < length; ++s) {
            const std::span<const Route> mine = routesOf(table->elements[s]);
            const std::span<const Route> theirs = routesOf(lastTable->elements[s]);
            const bool equal = std::equal(mine.begin(), mine.end(), theirs.begin(), theirs.end(),
                                          [](const Route& a, const Route& b) {
                                              return a.destination == b.destination &&
                                                     a.probability == b.probability;
                                          });
            if (equal) table->elements[s] = lastTable->elements[s];
        }
    }
    lastTable = table;
    keep(field, table);
}

void StateReader::field(const char* key, Real& field, RealRule rule, int) {
    if (beforeFormat2()) return keep(field, 0.0);
    PyObject* value = item(key);
    if (!PyFloat_CheckExact(value)) throw InvalidState{refused::notAFloat, key};
    keep(field, obeying(rule, PyFloat_AS_DOUBLE(value)));
}

void StateReader::field(const char* key, RealArray*& field, RealRule rule, int length) {
    RealArray* array = createRealArray(obj, length);
    if (!beforeFormat2()) {
        HeapVector<Real> entries = valuesOf<Real>(item(key), length, key);
        for (int i = 0; i < length; ++i) array->elements[i] = obeying(rule, entries[i]);
    }
    keep(field, array);
}

void StateReader::field(const char* key, Int& field, CapacityRule rule, int) {
    if (beforeFormat2()) return keep(field, noCapacity);
    const auto value = static_cast<Int>(integerIn(item(key), INT_MIN, INT_MAX, key));
    keep(field, rule(Capacity{value}).most);
}

void StateReader::field(const char* key, IntArray*& field, CapacityRule rule, int length) {
    IntArray* array = createIntArray(obj, length);
    if (beforeFormat2()) {
        for (int i = 0; i < length; ++i) array->elements[i] = noCapacity;
    } else {
        HeapVector<std::int32_t> entries = valuesOf<std::int32_t>(item(key), length, key);
        for (int i = 0; i < length; ++i) array->elements[i] = rule(Capacity{entries[i]}).most;
    }
    keep(field, array);
}

void StateReader::confirmEveryKeyRead() const {
    if (keysRead != PyDict_GET_SIZE(dict.get())) throw InvalidState{refused::unknownKeys, nullptr};
}

void StateReader::commit() {
    for (auto& store : stores) store();
}

// ------------------------------------------------------------ the entries

namespace {
// The instance dict of `self`, made if it has none yet (a new reference);
// null for a type without one.
PyObject* instanceDictOf(PyObject* self) {
    if (Py_TYPE(self)->tp_dictoffset == 0) return nullptr;
    return checkedNew(PyObject_GenericGetDict(self, nullptr));
}

// The descriptor of the slot `name` of `type` (a new reference), or null if
// it has none: a member that holds any object, as __slots__ makes, and
// nothing else, so that reading and writing it runs no Python code and
// cannot fail.
PyObject* slotDescriptor(PyTypeObject* type, PyObject* name) {
    if (!PyUnicode_CheckExact(name)) return nullptr;
    PyObject* found = _PyType_Lookup(type, name);
    if (found == nullptr || !Py_IS_TYPE(found, &PyMemberDescr_Type)) return nullptr;
    const PyMemberDef* member = reinterpret_cast<PyMemberDescrObject*>(found)->d_member;
    if (member->type != T_OBJECT_EX || (member->flags & READONLY) != 0) return nullptr;
    return Py_NewRef(found);
}

// The value of a slot (a new reference), or null where it holds none.
PyObject* slotValue(PyObject* self, PyObject* descriptor) {
    PyObject* value =
        Py_TYPE(descriptor)
            ->tp_descr_get(descriptor, self, reinterpret_cast<PyObject*>(Py_TYPE(self)));
    if (value == nullptr) PyErr_Clear();  // AttributeError: the slot is empty
    return value;
}

// {name: value} of the slots of `self` that hold a value (a new reference),
// or null when none does. Only a Python subclass can have slots; their
// names are those that copyreg gives every pickle of an object with slots.
PyObject* slotValuesOf(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    if ((type->tp_flags & Py_TPFLAGS_HEAPTYPE) == 0) return nullptr;
    PyRef copyreg(checkedNew(PyImport_ImportModule("copyreg")));
    PyRef found(PyObject_CallMethod(copyreg.get(), "_slotnames", "O", type));
    PyRef names(found == nullptr ? nullptr : PySequence_List(found.get()));
    if (names == nullptr) throw InterpreterError{};
    PyRef values(checkedNew(PyDict_New()));
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(names.get()); ++i) {
        PyRef name(Py_NewRef(PyList_GET_ITEM(names.get(), i)));
        PyRef descriptor(slotDescriptor(type, name.get()));
        if (descriptor == nullptr) continue;
        PyRef value(slotValue(self, descriptor.get()));
        if (value == nullptr) continue;
        if (PyDict_SetItem(values.get(), name.get(), value.get()) < 0) {
            PyErr_Clear();
            abortOutOfMemory();
        }
    }
    return PyDict_GET_SIZE(values.get()) > 0 ? values.release() : nullptr;
}
}  // namespace

PyObject* reduction(PyObject* self, PyObject* arguments, PyObject* state) {
    PyRef copyreg(checkedNew(PyImport_ImportModule("copyreg")));
    PyRef newObject(checkedNew(PyObject_GetAttrString(copyreg.get(), "__newobj__")));
    const Py_ssize_t count = PyTuple_GET_SIZE(arguments);
    PyRef typeAndArguments(checkedNew(PyTuple_New(count + 1)));
    PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(self));
    PyTuple_SET_ITEM(typeAndArguments.get(), 0, Py_NewRef(type));
    for (Py_ssize_t i = 0; i < count; ++i) {
        PyTuple_SET_ITEM(typeAndArguments.get(), i + 1, Py_NewRef(PyTuple_GET_ITEM(arguments, i)));
    }
    // An instance of a Python subclass keeps its own attributes too.
    PyRef instanceDict(instanceDictOf(self));
    PyObject* dict = instanceDict != nullptr && PyDict_GET_SIZE(instanceDict.get()) > 0
                         ? instanceDict.get()
                         : nullptr;
    PyRef slots(slotValuesOf(self));
    PyRef fullState(slots != nullptr
                        ? checkedNew(PyTuple_Pack(3, state, dict ? dict : Py_None, slots.get()))
                    : dict != nullptr ? checkedNew(PyTuple_Pack(2, state, dict))
                                      : Py_NewRef(state));
    return checkedNew(PyTuple_Pack(3, newObject.get(), typeAndArguments.get(), fullState.get()));
}

StateParts splitState(PyObject* self, PyObject* state) {
    if (!PyTuple_Check(state)) return {state, nullptr, nullptr};
    const Py_ssize_t size = PyTuple_GET_SIZE(state);
    if (size != 2 && size != 3) throw InvalidState{refused::instanceDict, nullptr};
    PyObject* dict = PyTuple_GET_ITEM(state, 1);
    PyObject* slots = size == 3 ? PyTuple_GET_ITEM(state, 2) : nullptr;
    if (size == 3 && dict == Py_None) dict = nullptr;
    if (dict != nullptr && (!PyDict_Check(dict) || Py_TYPE(self)->tp_dictoffset == 0))
        throw InvalidState{refused::instanceDict, nullptr};
    if (slots != nullptr && !PyDict_Check(slots)) throw InvalidState{refused::slots, nullptr};
    return {PyTuple_GET_ITEM(state, 0), dict, slots};
}

InstanceParts::InstanceParts(PyObject* _self, const StateParts& parts) : self(_self) {
    if (parts.instanceDict != nullptr) {
        // Merged into a new dict: the merge may call a subclass's methods or
        // a key's comparison, which may raise.
        previousDict.reset(instanceDictOf(self));
        dict.reset(PyDict_Copy(previousDict.get()));
        if (dict == nullptr || PyDict_Update(dict.get(), parts.instanceDict) < 0)
            throw InterpreterError{};
    }
    if (parts.slots == nullptr) return;
    // Walked in a copy of the load's own, which nothing else can change.
    PyRef given(PyDict_Copy(parts.slots));
    if (given == nullptr) throw InterpreterError{};
    PyObject* name;
    PyObject* value;
    Py_ssize_t position = 0;
    while (PyDict_Next(given.get(), &position, &name, &value)) {
        PyRef descriptor(slotDescriptor(Py_TYPE(self), name));
        if (descriptor == nullptr) throw InvalidState{refused::slots, nullptr};
        PyRef previous(slotValue(self, descriptor.get()));
        slots.push_back({std::move(descriptor), PyRef(Py_NewRef(value)), std::move(previous)});
    }
}

void InstanceParts::commit() {
    // The dict exists (the constructor made it if it had to) and the slots
    // are plain members, so neither store can fail; what they replace is
    // still held here.
    if (dict != nullptr && PyObject_GenericSetDict(self, dict.get(), nullptr) < 0) abortInternal();
    for (const Slot& slot : slots) {
        PyObject* descriptor = slot.descriptor.get();
        if (Py_TYPE(descriptor)->tp_descr_set(descriptor, self, slot.value.get()) < 0)
            abortInternal();
    }
}

void raiseInvalidState(PyObject* self, const InvalidState& invalid) {
    const char* name = Py_TYPE(self)->tp_name;
    if (invalid.key.empty()) {
        PyErr_Format(PyExc_ValueError, "Invalid pickled state of %s: %s", name, invalid.message);
    } else {
        PyErr_Format(PyExc_ValueError, "Invalid pickled state of %s: %s (\"%s\")", name,
                     invalid.message, invalid.key.text());
    }
}
