#include "bridge/recording_conversion.hpp"

#include <algorithm>
#include <limits>

#include "bridge/pyref.hpp"
#include "bridge/scalars.hpp"
#include "runtime/errors.hpp"

namespace {

// Bytes of `count` doubles; a count whose size does not fit the
// interpreter's sizes is refused like any other allocation too large to make.
PyRef doubleBlock(unsigned long long count) {
    constexpr auto largest =
        static_cast<unsigned long long>(std::numeric_limits<Py_ssize_t>::max());
    if (count > largest / sizeof(Real)) abortOutOfMemory();
    return PyRef(checkedNew(
        PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(count * sizeof(Real)))));
}

Real* doublesOf(PyObject* block) { return reinterpret_cast<Real*>(PyBytes_AS_STRING(block)); }

}  // namespace

PyObject* Recording_toPy(NObject* obj, const Recording& recording) {
    const unsigned long long entries = recording.completions.size();
    const auto span = static_cast<unsigned long long>(recording.countSpan());
    if (span != 0 && entries > std::numeric_limits<unsigned long long>::max() / span)
        abortOutOfMemory();
    PyRef probabilities = doubleBlock(entries * span);
    recording.copyProbabilities(doublesOf(probabilities.get()));
    PyRef completions = doubleBlock(entries);
    // A copy, not memcpy: an empty vector's data() may be null, which memcpy
    // must not be given even for no bytes.
    std::copy(recording.completions.begin(), recording.completions.end(),
              doublesOf(completions.get()));

    PyRef dropped = doubleBlock(recording.dropped.size());
    std::copy(recording.dropped.begin(), recording.dropped.end(), doublesOf(dropped.get()));

    PyRef rows(checkedNew(PyLong_FromSize_t(recording.rowCount())));
    PyRef nodes(Int_toPy(obj, recording.nodes));
    PyRef lowest(Int_toPy(obj, recording.lowestCount()));
    PyRef spanObject(checkedNew(PyLong_FromLongLong(recording.countSpan())));
    return checkedNew(PyTuple_Pack(7, rows.get(), nodes.get(), lowest.get(), spanObject.get(),
                                   probabilities.get(), completions.get(), dropped.get()));
}
