#include "bridge/recording_conversion.hpp"

#include <algorithm>
#include <limits>

#include "bridge/pyref.hpp"
#include "bridge/scalars.hpp"
#include "runtime/errors.hpp"

namespace {

// Bytes of `count` cells of T; a count whose size does not fit the
// interpreter's sizes is refused like any other allocation too large to make.
template <typename T>
PyRef blockOf(unsigned long long count) {
    constexpr auto largest =
        static_cast<unsigned long long>(std::numeric_limits<Py_ssize_t>::max());
    if (count > largest / sizeof(T)) abortOutOfMemory();
    return PyRef(
        checkedNew(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(count * sizeof(T)))));
}

template <typename T>
T* cellsOf(PyObject* block) {
    return reinterpret_cast<T*>(PyBytes_AS_STRING(block));
}

// Bytes of the doubles of a vector. A copy, not memcpy: an empty vector's
// data() may be null, which memcpy must not be given even for no bytes.
PyRef doublesOf(const HeapVector<Real>& values) {
    PyRef block = blockOf<Real>(values.size());
    std::copy(values.begin(), values.end(), cellsOf<Real>(block.get()));
    return block;
}

}  // namespace

PyObject* Recording_toPy(NObject* obj, const Recording& recording) {
    const unsigned long long entries = recording.completions.size();
    const auto width = static_cast<unsigned long long>(recording.windowWidth());
    if (width != 0 && entries > std::numeric_limits<unsigned long long>::max() / width)
        abortOutOfMemory();
    PyRef offsets = blockOf<Int>(entries);
    PyRef windows = blockOf<Real>(entries * width);
    recording.copyWindows(cellsOf<Int>(offsets.get()), cellsOf<Real>(windows.get()));
    PyRef completions = doublesOf(recording.completions);
    PyRef arrivals = doublesOf(recording.arrivals);
    PyRef tail = doublesOf(recording.tail);
    PyRef dropped = doublesOf(recording.dropped);
    PyRef blocked = doublesOf(recording.blocked);
    PyRef abandonments = doublesOf(recording.abandonments);
    PyRef abandoned = doublesOf(recording.abandoned);
    // A call that recorded no row has only its tail to pass the limits on.
    const bool limitsKept = !recording.abandoned.empty() || recording.rowCount() == 0;
    PyRef limitsTail = doublesOf(limitsKept ? recording.limitsTail : recording.abandoned);

    PyRef rows(checkedNew(PyLong_FromSize_t(recording.rowCount())));
    PyRef nodes(Int_toPy(obj, recording.nodes));
    PyRef widthObject(checkedNew(PyLong_FromLongLong(recording.windowWidth())));
    return checkedNew(PyTuple_Pack(13, rows.get(), nodes.get(), widthObject.get(), offsets.get(),
                                   windows.get(), completions.get(), arrivals.get(), tail.get(),
                                   dropped.get(), blocked.get(), abandonments.get(),
                                   abandoned.get(), limitsTail.get()));
}
