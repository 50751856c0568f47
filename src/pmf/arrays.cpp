#include "pmf/arrays.hpp"

#include <cstdarg>
#include <cstddef>

#include "pmf/accumulator.hpp"

namespace {

// One block: the record up to its elements, then exactly `length` of them.
template <typename Record>
Record* allocateRecord(NObject* obj, int length) {
    std::size_t size =
        offsetof(Record, elements) + static_cast<std::size_t>(length) * sizeof(Record::elements[0]);
    auto* record = static_cast<Record*>(nmalloc(obj, size));
    record->length = length;
    return record;
}

template <typename Record>
Record* createValueArray(NObject* obj, int length) {
    if (length <= 0) navro::abort(messages::invalidArraySize);
    return allocateRecord<Record>(obj, length);
}

template <typename Record>
auto& lookupElement(Record* record, Int i) {
    if (i < 0 || i >= record->length) navro::abort(messages::lookupIndexOutOfRange);
    return record->elements[i];
}

// The matrix creators share one shape: test both dimensions before any
// block is taken, then leave the rows null (columnCount 0, for a caller that
// sets them) or make each in row order.
template <typename Matrix, typename MakeRow>
Matrix* createMatrix(NObject* obj, int rowCount, int columnCount, MakeRow makeRow) {
    if (rowCount <= 0 || columnCount < 0) navro::abort(messages::invalidMatrixDimensions);
    auto* matrix = allocateRecord<Matrix>(obj, rowCount);
    if (columnCount != 0) {
        for (int i = 0; i < rowCount; ++i) matrix->elements[i] = makeRow(columnCount);
    }
    return matrix;
}

template <typename Array>
void flagArrayOnly(Array* a) {
    _flag(a);
}

// Null rows are skipped: a matrix made with no columns holds them until its
// rows are set, and marking must not fault on it.
template <typename Matrix>
void flagMatrix(Matrix* m) {
    if (m == nullptr) return;
    _flag(m);
    for (int i = 0; i < m->length; ++i) flag(m->elements[i]);
}

}  // namespace

// ---------------------------------------------------------------- creators

IntArray* createIntArray(NObject* obj, int length) {
    return createValueArray<IntArray>(obj, length);
}

RealArray* createRealArray(NObject* obj, int length) {
    return createValueArray<RealArray>(obj, length);
}

BooleanArray* createBooleanArray(NObject* obj, int length) {
    return createValueArray<BooleanArray>(obj, length);
}

PmfArray* allocatePmfArray(NObject* obj, int length) {
    return createValueArray<PmfArray>(obj, length);
}

InterfaceArray* allocateInterfaceArray(NObject* obj, int length) {
    return createValueArray<InterfaceArray>(obj, length);
}

PmfArray* createPmfArray(NObject* obj, PmfConfig* pmfConfig, int length) {
    if (length <= 0) navro::abort(messages::invalidArrayDimensions);
    PmfArray* a = allocatePmfArray(obj, length);
    // A separate default for every element, so no two elements share one.
    if (pmfConfig != nullptr) {
        for (int i = 0; i < length; ++i) a->elements[i] = defaultPmf(obj, pmfConfig);
    }
    return a;
}

InterfaceArray* createInterfaceArray(NObject* obj, void* defaultImplementation, int length) {
    if (length <= 0) navro::abort(messages::invalidArrayDimensions);
    InterfaceArray* a = allocateInterfaceArray(obj, length);
    if (defaultImplementation != nullptr) {
        for (int i = 0; i < length; ++i) a->elements[i] = defaultImplementation;
    }
    return a;
}

IntMatrix* createIntMatrix(NObject* obj, int rowCount, int columnCount) {
    return createMatrix<IntMatrix>(obj, rowCount, columnCount,
                                   [obj](int n) { return createIntArray(obj, n); });
}

RealMatrix* createRealMatrix(NObject* obj, int rowCount, int columnCount) {
    return createMatrix<RealMatrix>(obj, rowCount, columnCount,
                                    [obj](int n) { return createRealArray(obj, n); });
}

BooleanMatrix* createBooleanMatrix(NObject* obj, int rowCount, int columnCount) {
    return createMatrix<BooleanMatrix>(obj, rowCount, columnCount,
                                       [obj](int n) { return createBooleanArray(obj, n); });
}

PmfMatrix* createPmfMatrix(NObject* obj, PmfConfig* pmfConfig, int rowCount, int columnCount) {
    return createMatrix<PmfMatrix>(obj, rowCount, columnCount, [obj, pmfConfig](int n) {
        return createPmfArray(obj, pmfConfig, n);
    });
}

InterfaceMatrix* createInterfaceMatrix(NObject* obj, void* defaultImplementation, int rowCount,
                                       int columnCount) {
    auto makeRow = [obj, defaultImplementation](int n) {
        return createInterfaceArray(obj, defaultImplementation, n);
    };
    return createMatrix<InterfaceMatrix>(obj, rowCount, columnCount, makeRow);
}

// A negative row count would wrap to a huge request (and poison the memory
// counters), so it is refused like the creators refuse it.
PmfMatrix* allocatePmfMatrix(NObject* obj, int rowCount, int columnCount) {
    if (rowCount < 0) navro::abort(messages::invalidMatrixDimensions);
    auto* m = allocateRecord<PmfMatrix>(obj, rowCount);
    if (columnCount != 0) {
        for (int i = 0; i < rowCount; ++i) m->elements[i] = allocatePmfArray(obj, columnCount);
    }
    return m;
}

InterfaceMatrix* allocateInterfaceMatrix(NObject* obj, int rowCount, int columnCount) {
    if (rowCount < 0) navro::abort(messages::invalidMatrixDimensions);
    auto* m = allocateRecord<InterfaceMatrix>(obj, rowCount);
    if (columnCount != 0) {
        for (int i = 0; i < rowCount; ++i) {
            m->elements[i] = allocateInterfaceArray(obj, columnCount);
        }
    }
    return m;
}

// ---------------------------------------------------------------- defaults

IntArray* defaultIntArray(NObject* obj) { return createIntArray(obj, 1); }

RealArray* defaultRealArray(NObject* obj) { return createRealArray(obj, 1); }

BooleanArray* defaultBooleanArray(NObject* obj) { return createBooleanArray(obj, 1); }

PmfArray* defaultPmfArray(NObject* obj, PmfConfig* pmfConfig) {
    PmfArray* a = allocatePmfArray(obj, 1);
    a->elements[0] = defaultPmf(obj, pmfConfig);
    return a;
}

IntMatrix* defaultIntMatrix(NObject* obj) { return createIntMatrix(obj, 1, 1); }

RealMatrix* defaultRealMatrix(NObject* obj) { return createRealMatrix(obj, 1, 1); }

BooleanMatrix* defaultBooleanMatrix(NObject* obj) { return createBooleanMatrix(obj, 1, 1); }

PmfMatrix* defaultPmfMatrix(NObject* obj, PmfConfig* pmfConfig) {
    PmfMatrix* m = allocatePmfMatrix(obj, 1, 1);
    m->elements[0]->elements[0] = defaultPmf(obj, pmfConfig);
    return m;
}

// ------------------------------------------------------------ initialisers

namespace {
Int readInt(va_list& values) { return va_arg(values, int); }
Real readReal(va_list& values) { return va_arg(values, double); }
// A bool argument arrives promoted to int.
Boolean readBoolean(va_list& values) { return va_arg(values, int) != 0; }
Pmf* readPmf(va_list& values) { return va_arg(values, Pmf*); }
void* readPointer(va_list& values) { return va_arg(values, void*); }

template <typename Array, typename ReadValue>
Array* fillArray(Array* a, va_list& values, ReadValue readValue) {
    for (int i = 0; i < a->length; ++i) a->elements[i] = readValue(values);
    return a;
}

// Reads each row's length and then its values. `makeRow` creates a row
// (and so judges its length). A failure is returned, not thrown, so that the
// initialiser can end its list before raising it.
template <typename Matrix, typename MakeRow, typename ReadValue>
const char* fillMatrix(Matrix* matrix, va_list& values, MakeRow makeRow, ReadValue readValue) {
    try {
        for (int i = 0; i < matrix->length; ++i) {
            int n = va_arg(values, int);
            auto* row = makeRow(n);
            for (int j = 0; j < n; ++j) row->elements[j] = readValue(values);
            matrix->elements[i] = row;
        }
    } catch (const CException& error) {
        return error.message;
    }
    return nullptr;
}
}  // namespace

IntArray* initializeIntArray(NObject* obj, int length, ...) {
    IntArray* a = createIntArray(obj, length);
    va_list values;
    va_start(values, length);
    fillArray(a, values, readInt);
    va_end(values);
    return a;
}

RealArray* initializeRealArray(NObject* obj, int length, ...) {
    RealArray* a = createRealArray(obj, length);
    va_list values;
    va_start(values, length);
    fillArray(a, values, readReal);
    va_end(values);
    return a;
}

BooleanArray* initializeBooleanArray(NObject* obj, int length, ...) {
    BooleanArray* a = createBooleanArray(obj, length);
    va_list values;
    va_start(values, length);
    fillArray(a, values, readBoolean);
    va_end(values);
    return a;
}

PmfArray* initializePmfArray(NObject* obj, int length, ...) {
    PmfArray* a = allocatePmfArray(obj, length);
    va_list values;
    va_start(values, length);
    fillArray(a, values, readPmf);
    va_end(values);
    return a;
}

InterfaceArray* initializeInterfaceArray(NObject* obj, int length, ...) {
    InterfaceArray* a = allocateInterfaceArray(obj, length);
    va_list values;
    va_start(values, length);
    fillArray(a, values, readPointer);
    va_end(values);
    return a;
}

IntMatrix* initializeIntMatrix(NObject* obj, int rowCount, ...) {
    IntMatrix* m = createIntMatrix(obj, rowCount, 0);
    va_list values;
    va_start(values, rowCount);
    const char* failure =
        fillMatrix(m, values, [obj](int n) { return createIntArray(obj, n); }, readInt);
    va_end(values);
    if (failure != nullptr) navro::abort(failure);
    return m;
}

RealMatrix* initializeRealMatrix(NObject* obj, int rowCount, ...) {
    RealMatrix* m = createRealMatrix(obj, rowCount, 0);
    va_list values;
    va_start(values, rowCount);
    const char* failure =
        fillMatrix(m, values, [obj](int n) { return createRealArray(obj, n); }, readReal);
    va_end(values);
    if (failure != nullptr) navro::abort(failure);
    return m;
}

BooleanMatrix* initializeBooleanMatrix(NObject* obj, int rowCount, ...) {
    BooleanMatrix* m = createBooleanMatrix(obj, rowCount, 0);
    va_list values;
    va_start(values, rowCount);
    const char* failure =
        fillMatrix(m, values, [obj](int n) { return createBooleanArray(obj, n); }, readBoolean);
    va_end(values);
    if (failure != nullptr) navro::abort(failure);
    return m;
}

PmfMatrix* initializePmfMatrix(NObject* obj, int rowCount, ...) {
    PmfMatrix* m = createPmfMatrix(obj, nullptr, rowCount, 0);
    va_list values;
    va_start(values, rowCount);
    const char* failure =
        fillMatrix(m, values, [obj](int n) { return createPmfArray(obj, nullptr, n); }, readPmf);
    va_end(values);
    if (failure != nullptr) navro::abort(failure);
    return m;
}

InterfaceMatrix* initializeInterfaceMatrix(NObject* obj, int rowCount, ...) {
    InterfaceMatrix* m = createInterfaceMatrix(obj, nullptr, rowCount, 0);
    va_list values;
    va_start(values, rowCount);
    const char* failure = fillMatrix(
        m, values, [obj](int n) { return createInterfaceArray(obj, nullptr, n); }, readPointer);
    va_end(values);
    if (failure != nullptr) navro::abort(failure);
    return m;
}

// ------------------------------------------------------------------ lookup

Int& lookup(IntArray* a, Int i) { return lookupElement(a, i); }
Real& lookup(RealArray* a, Int i) { return lookupElement(a, i); }
Boolean& lookup(BooleanArray* a, Int i) { return lookupElement(a, i); }
Pmf*& lookup(PmfArray* a, Int i) { return lookupElement(a, i); }
void*& lookup(InterfaceArray* a, Int i) { return lookupElement(a, i); }
IntArray*& lookup(IntMatrix* m, Int i) { return lookupElement(m, i); }
RealArray*& lookup(RealMatrix* m, Int i) { return lookupElement(m, i); }
BooleanArray*& lookup(BooleanMatrix* m, Int i) { return lookupElement(m, i); }
PmfArray*& lookup(PmfMatrix* m, Int i) { return lookupElement(m, i); }
InterfaceArray*& lookup(InterfaceMatrix* m, Int i) { return lookupElement(m, i); }

// ----------------------------------------------------------------- marking

// Value arrays hold no block pointers; an interface array holds function
// pointers, which are not blocks either.
void flag(IntArray* a) { flagArrayOnly(a); }
void flag(RealArray* a) { flagArrayOnly(a); }
void flag(BooleanArray* a) { flagArrayOnly(a); }
void flag(InterfaceArray* a) { flagArrayOnly(a); }

void flag(PmfArray* a) {
    if (a == nullptr) return;
    _flag(a);
    for (int i = 0; i < a->length; ++i) flag(a->elements[i]);
}

void flag(IntMatrix* m) { flagMatrix(m); }
void flag(RealMatrix* m) { flagMatrix(m); }
void flag(BooleanMatrix* m) { flagMatrix(m); }
void flag(PmfMatrix* m) { flagMatrix(m); }
void flag(InterfaceMatrix* m) { flagMatrix(m); }

// ------------------------------------------------------------ shape checks

PmfArray* confirmSimplePmfArray(PmfArray* a) {
    for (int i = 0; i < a->length; ++i) confirmSimplePmf(a->elements[i]);
    return a;
}

PmfArray* confirmJointPmfArray(PmfArray* a, int depth) {
    for (int i = 0; i < a->length; ++i) confirmJointPmf(a->elements[i], depth);
    return a;
}

namespace {
PmfArray* vconfirmCompoundPmfArray(PmfArray* a, int length, va_list depths) {
    for (int i = 0; i < a->length; ++i) vconfirmCompoundPmf(a->elements[i], length, depths);
    return a;
}
}  // namespace

PmfArray* confirmCompoundPmfArray(PmfArray* a, int length, ...) {
    va_list depths;
    va_start(depths, length);
    try {
        vconfirmCompoundPmfArray(a, length, depths);
    } catch (...) {
        va_end(depths);
        throw;
    }
    va_end(depths);
    return a;
}

namespace {
// A row that was never set fails the check rather than being read.
PmfArray* confirmedRow(PmfMatrix* m, int i) {
    if (m->elements[i] == nullptr) abortImport();
    return m->elements[i];
}
}  // namespace

PmfMatrix* confirmSimplePmfMatrix(PmfMatrix* m) {
    for (int i = 0; i < m->length; ++i) confirmSimplePmfArray(confirmedRow(m, i));
    return m;
}

PmfMatrix* confirmJointPmfMatrix(PmfMatrix* m, int depth) {
    for (int i = 0; i < m->length; ++i) confirmJointPmfArray(confirmedRow(m, i), depth);
    return m;
}

PmfMatrix* confirmCompoundPmfMatrix(PmfMatrix* m, int length, ...) {
    va_list depths;
    va_start(depths, length);
    try {
        for (int i = 0; i < m->length; ++i) {
            vconfirmCompoundPmfArray(confirmedRow(m, i), length, depths);
        }
    } catch (...) {
        va_end(depths);
        throw;
    }
    va_end(depths);
    return m;
}

// ---------------------------------------------------------- conversion

Pmf* createPmfFromRealArray(NObject* obj, RealArray* realArray) {
    // A local accumulator: its heap cells go on every path, an error included.
    SimpleAccumulator accumulator(obj);
    for (int i = 0; i < realArray->length; ++i) accumulator.putSingle(realArray->elements[i], i);
    return accumulator.toPmf();
}
