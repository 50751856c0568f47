#include "bridge/simulation_entry.hpp"

#include <cmath>
#include <cstring>
#include <limits>
#include <utility>

#include "bridge/model_types.hpp"
#include "bridge/pyref.hpp"
#include "bridge/recording_conversion.hpp"
#include "bridge/scalars.hpp"
#include "bridge/wrappers.hpp"
#include "models/standard_multiserver.hpp"
#include "models/standard_network_multiserver.hpp"
#include "models/trajectory.hpp"
#include "simulation/simulator.hpp"
#include "simulation/start_state.hpp"

const char* const simulateHelp =
    "_simulate(model, steps, servers, arrivals, durations, routing, abandonment, capacity, "
    "every, horizon, runs, key, threads, /)\n--\n\n"
    "The engine of navro.simulate: makes `runs` runs of the real system through the\n"
    "periods given and returns the recorded rows and the sums over runs.";

namespace {

using simulation::Wide;

// A buffer of `count` values of T that Python handed in as bytes.
template <typename T>
const T* valuesOf(PyObject* bytes, std::size_t count) {
    if (!PyBytes_Check(bytes)) abortImport();
    if (static_cast<std::size_t>(PyBytes_GET_SIZE(bytes)) != count * sizeof(T)) abortImport();
    return reinterpret_cast<const T*>(PyBytes_AS_STRING(bytes));
}

long long longFromPy(PyObject* value, long long least) {
    if (!PyLong_Check(value)) abortImport();
    int overflow = 0;
    const long long n = PyLong_AsLongLongAndOverflow(value, &overflow);
    if (n == -1 && PyErr_Occurred()) {
        PyErr_Clear();
        abortImport();
    }
    if (overflow != 0 || n < least) abortImport();
    return n;
}

std::uint64_t keyFromPy(PyObject* value) {
    if (!PyLong_Check(value)) abortImport();
    const unsigned long long key = PyLong_AsUnsignedLongLong(value);
    if (key == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
        PyErr_Clear();
        abortImport();
    }
    return key;
}

// A tuple of exactly `length` items.
PyObject* tupleOf(PyObject* value, std::size_t length) {
    if (!PyTuple_Check(value) || static_cast<std::size_t>(PyTuple_GET_SIZE(value)) != length)
        abortImport();
    return value;
}

// The pair (values, weights) of one distribution. The buffers belong to the
// argument tuple, which the call holds.
struct Listing {
    const Int* values;
    const Real* weights;
    std::size_t length;
};

Listing listingOf(PyObject* pair) {
    tupleOf(pair, 2);
    PyObject* values = PyTuple_GET_ITEM(pair, 0);
    PyObject* weights = PyTuple_GET_ITEM(pair, 1);
    if (!PyBytes_Check(values)) abortImport();
    const auto length = static_cast<std::size_t>(PyBytes_GET_SIZE(values)) / sizeof(Int);
    return {valuesOf<Int>(values, length), valuesOf<Real>(weights, length), length};
}

// What the entry needs of each model: its nodes, and each node's state and
// servers.
Int nodesOf(_StandardMultiserver_object*) { return 1; }
Pmf* stateOf(_StandardMultiserver_object* self, Int) { return self->_internalState; }
Int serversOf(_StandardMultiserver_object* self, Int) { return self->_numberOfServers; }

Int nodesOf(_StandardNetworkMultiserver_object* self) { return self->_numberOfServers->length; }
Pmf* stateOf(_StandardNetworkMultiserver_object* self, Int node) {
    return lookup(self->_internalState, node);
}
Int serversOf(_StandardNetworkMultiserver_object* self, Int node) {
    return lookup(self->_numberOfServers, node);
}

struct Arguments {
    PyObject* steps;
    PyObject* servers;
    PyObject* arrivals;
    PyObject* durations;
    PyObject* routing;
    PyObject* abandonment;
    PyObject* capacity;
    PyObject* every;
    PyObject* horizon;
    PyObject* runs;
    PyObject* key;
    PyObject* threads;
};

template <typename Object>
simulation::Plan planOf(Object* self, const Arguments& a) {
    simulation::Plan plan;
    const Int nodes = nodesOf(self);
    const auto n = static_cast<std::size_t>(nodes);
    if (!PyBytes_Check(a.steps)) abortImport();
    const auto periods = static_cast<std::size_t>(PyBytes_GET_SIZE(a.steps)) / sizeof(Int);
    const Int* steps = valuesOf<Int>(a.steps, periods);
    const Int* servers = valuesOf<Int>(a.servers, periods * n);
    tupleOf(a.arrivals, periods * n);
    tupleOf(a.durations, periods * n);
    const bool network = PyBytes_Check(a.routing) && PyBytes_GET_SIZE(a.routing) > 0;
    const Real* routing = network ? valuesOf<Real>(a.routing, periods * n * n) : nullptr;
    if (!network) valuesOf<Real>(a.routing, 0);
    const Real* abandonment = valuesOf<Real>(a.abandonment, periods * n);
    const long long* capacity = valuesOf<long long>(a.capacity, periods * n);

    for (std::size_t p = 0; p < periods; ++p) {
        simulation::PeriodSettings period;
        period.steps = steps[p];
        for (std::size_t i = 0; i < n; ++i) {
            const std::size_t at = p * n + i;
            const Listing arrivals = listingOf(PyTuple_GET_ITEM(a.arrivals, at));
            const Listing durations = listingOf(PyTuple_GET_ITEM(a.durations, at));
            period.nodes.push_back(simulation::makeNodeSettings(
                servers[at], arrivals.values, arrivals.weights, arrivals.length, durations.values,
                durations.weights, durations.length, network ? routing + at * n : nullptr,
                network ? n : 0));
            simulation::limitNode(period.nodes.back(), abandonment[at], capacity[at]);
        }
        plan.periods.push_back(std::move(period));
    }
    // The start is read with the servers of the first step.
    for (Int i = 0; i < nodes; ++i)
        plan.start.push_back(simulation::startFromState(
            stateOf(self, i), periods > 0 ? servers[i] : serversOf(self, i)));
    plan.every = static_cast<Int>(
        std::min<long long>(longFromPy(a.every, 1), std::numeric_limits<Int>::max()));
    plan.waitHorizon = static_cast<Int>(
        std::min<long long>(longFromPy(a.horizon, 0), std::numeric_limits<Int>::max()));
    plan.runs = longFromPy(a.runs, 1);
    plan.key = keyFromPy(a.key);
    plan.threads = static_cast<int>(std::min<long long>(longFromPy(a.threads, 1), 1 << 16));
    return plan;
}

// Bytes of `count` doubles, filled by `value(k)`.
template <typename Value>
PyObject* doublesOf(std::size_t count, Value&& value) {
    if (count > static_cast<std::size_t>(std::numeric_limits<Py_ssize_t>::max()) / sizeof(Real))
        abortOutOfMemory();
    PyObject* bytes = checkedNew(
        PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(count * sizeof(Real))));
    auto* out = reinterpret_cast<Real*>(PyBytes_AS_STRING(bytes));
    for (std::size_t k = 0; k < count; ++k) out[k] = value(k);
    return bytes;
}

void setItem(PyObject* dict, const char* name, PyObject* value) {
    PyRef owned(value);
    if (PyDict_SetItemString(dict, name, owned.get()) < 0) {
        PyErr_Clear();
        abortOutOfMemory();
    }
}

// The rows as a recorded run has them: each row and node's frequencies of
// the number present, the mean of the services ended, and the arrival sums
// (WaitLayout) over runs, divided by the runs. A wait never known (a node
// left without servers) makes the mean wait infinite, as the maps do.
Recording recordingOf(const simulation::Tally& tally, Real runs) {
    const simulation::Layout& layout = tally.layout;
    long long widest = 0;
    for (long long row = 0; row < layout.rows; ++row)
        for (Int node = 0; node < layout.nodes; ++node)
            widest =
                std::max<long long>(widest, static_cast<long long>(tally.window(row, node).length));
    Recording recording(layout.nodes, layout.rows, widest, layout.horizon);
    HeapVector<Real> frequencies;
    HeapVector<Real> arrivals(static_cast<std::size_t>(recording.arrivalCells));
    for (long long row = 0; row < layout.rows; ++row) {
        for (Int node = 0; node < layout.nodes; ++node) {
            const simulation::CountWindow window = tally.window(row, node);
            std::size_t first = 0, end = window.length;
            while (first < end && window.runs[first] == 0) ++first;
            while (end > first && window.runs[end - 1] == 0) --end;
            frequencies.resize(end - first);
            for (std::size_t k = first; k < end; ++k)
                frequencies[k - first] = static_cast<Real>(window.runs[k]) / runs;
            const Real completions = row == 0 ? std::numeric_limits<Real>::quiet_NaN()
                                              : static_cast<Real>(tally.ended(row, node)) / runs;
            const simulation::Tally::RowSums sums = tally.sums(row, node);
            arrivals[WaitLayout::arrivals] = static_cast<Real>(sums.arrivals) / runs;
            arrivals[WaitLayout::waited] = sums.censoredRuns > 0
                                               ? std::numeric_limits<Real>::infinity()
                                               : static_cast<Real>(sums.waitTotal) / runs;
            arrivals[WaitLayout::beyond] = static_cast<Real>(sums.late) / runs;
            for (Int w = 0; w <= layout.horizon; ++w)
                arrivals[WaitLayout::first + static_cast<std::size_t>(w)] =
                    static_cast<Real>(tally.waits(row, node, w).exactly) / runs;
            recording.addEntry(static_cast<Int>(window.lowest + static_cast<long long>(first)),
                               frequencies.data(), static_cast<int>(end - first), completions,
                               arrivals.data());
        }
    }
    return recording;
}

// The sums over runs, each divided by the number of runs, rows first, then
// nodes, then waits.
PyObject* momentsOf(const simulation::Tally& tally, Real runs) {
    const simulation::Layout& layout = tally.layout;
    const std::size_t entries = layout.entries();
    const std::size_t waits = layout.waits();
    auto rowAndNode = [&](std::size_t entry) {
        return std::pair{static_cast<long long>(entry) / layout.nodes,
                         static_cast<Int>(static_cast<long long>(entry) % layout.nodes)};
    };
    HeapVector<simulation::Tally::RowSums> rows(entries);
    HeapVector<simulation::Tally::WaitSums> exactly(entries * waits);
    HeapVector<simulation::BeyondSums> beyond(entries * waits);
    for (std::size_t entry = 0; entry < entries; ++entry) {
        const auto [row, node] = rowAndNode(entry);
        rows[entry] = tally.sums(row, node);
        for (Int w = 0; w <= layout.horizon; ++w)
            exactly[entry * waits + static_cast<std::size_t>(w)] = tally.waits(row, node, w);
        tally.beyondSums(row, node, &beyond[entry * waits]);
    }
    auto column = [&](const auto& cells, auto field) {
        return doublesOf(cells.size(),
                         [&](std::size_t k) { return static_cast<Real>(cells[k].*field) / runs; });
    };
    using R = simulation::Tally::RowSums;
    using W = simulation::Tally::WaitSums;
    using B = simulation::BeyondSums;
    PyRef moments(checkedNew(PyDict_New()));
    setItem(moments.get(), "ended_squares", column(rows, &R::endedSquares));
    setItem(moments.get(), "arrivals", column(rows, &R::arrivals));
    setItem(moments.get(), "arrival_squares", column(rows, &R::arrivalSquares));
    setItem(moments.get(), "wait_total", column(rows, &R::waitTotal));
    setItem(moments.get(), "wait_total_squares", column(rows, &R::waitTotalSquares));
    setItem(moments.get(), "wait_total_cross", column(rows, &R::waitTotalCross));
    setItem(moments.get(), "censored", column(rows, &R::censoredRuns));
    setItem(moments.get(), "served", column(rows, &R::served));
    setItem(moments.get(), "served_squares", column(rows, &R::servedSquares));
    setItem(moments.get(), "blocked", column(rows, &R::blocked));
    setItem(moments.get(), "blocked_squares", column(rows, &R::blockedSquares));
    setItem(moments.get(), "blocked_cross", column(rows, &R::blockedCross));
    setItem(moments.get(), "abandoned", column(rows, &R::abandoned));
    setItem(moments.get(), "abandoned_squares", column(rows, &R::abandonedSquares));
    setItem(moments.get(), "abandoned_cross", column(rows, &R::abandonedCross));
    setItem(moments.get(), "abandonments", column(rows, &R::abandonments));
    setItem(moments.get(), "abandonment_squares", column(rows, &R::abandonmentSquares));
    setItem(moments.get(), "late", column(rows, &R::late));
    setItem(moments.get(), "late_squares", column(rows, &R::lateSquares));
    setItem(moments.get(), "late_cross", column(rows, &R::lateCross));
    setItem(moments.get(), "waited", column(rows, &R::waited));
    setItem(moments.get(), "waited_squares", column(rows, &R::waitedSquares));
    setItem(moments.get(), "waited_cross", column(rows, &R::waitedCross));
    setItem(moments.get(), "kept", column(rows, &R::kept));
    setItem(moments.get(), "kept_squares", column(rows, &R::keptSquares));
    setItem(moments.get(), "exactly", column(exactly, &W::exactly));
    setItem(moments.get(), "exactly_squares", column(exactly, &W::exactlySquares));
    setItem(moments.get(), "exactly_cross", column(exactly, &W::exactlyCross));
    setItem(moments.get(), "exactly_kept_cross", column(exactly, &W::exactlyKeptCross));
    setItem(moments.get(), "beyond", column(beyond, &B::beyond));
    setItem(moments.get(), "beyond_squares", column(beyond, &B::beyondSquares));
    setItem(moments.get(), "beyond_cross", column(beyond, &B::beyondCross));
    return moments.release();
}

template <typename Object, void (*collect)(Object*)>
PyObject* simulateModel(Object* self, const Arguments& arguments) {
    using Entry = Entries<Object, collect>;
    return Entry::runReturning(self, [&] {
        const simulation::Plan plan = planOf(self, arguments);
        LongOperation span(&self->header);
        const simulation::Tally tally = span.run([&] { return simulation::simulate(plan); });
        const auto runs = static_cast<Real>(plan.runs);
        PyRef recording(Recording_toPy(&self->header, recordingOf(tally, runs)));
        PyRef moments(momentsOf(tally, runs));
        return checkedNew(PyTuple_Pack(2, recording.get(), moments.get()));
    });
}

}  // namespace

PyObject* simulate_Py(PyObject*, PyObject* args) {
    PyObject* model = nullptr;
    Arguments a{};
    if (!PyArg_ParseTuple(args, "OOOOOOOOOOOOO:_simulate", &model, &a.steps, &a.servers,
                          &a.arrivals, &a.durations, &a.routing, &a.abandonment, &a.capacity,
                          &a.every, &a.horizon, &a.runs, &a.key, &a.threads))
        return nullptr;
    if (PyObject_TypeCheck(model, &_StandardMultiserver_Type))
        return simulateModel<_StandardMultiserver_object, _StandardMultiserver_memRelease>(
            reinterpret_cast<_StandardMultiserver_object*>(model), a);
    if (PyObject_TypeCheck(model, &_StandardNetworkMultiserver_Type))
        return simulateModel<_StandardNetworkMultiserver_object,
                             _StandardNetworkMultiserver_memRelease>(
            reinterpret_cast<_StandardNetworkMultiserver_object*>(model), a);
    PyErr_SetString(PyExc_TypeError, "_simulate: the model is not a navro model");
    return nullptr;
}
