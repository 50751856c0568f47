#pragma once

#include "pmf/pmf.hpp"

// Counted records: one block holding the header, the length and exactly
// `length` elements. Element access through `lookup` tests the index.
struct IntArray {
    MemHeader memHeader;
    int length;
    Int elements[];
};
struct RealArray {
    MemHeader memHeader;
    int length;
    Real elements[];
};
struct BooleanArray {
    MemHeader memHeader;
    int length;
    Boolean elements[];
};
struct PmfArray {
    MemHeader memHeader;
    int length;
    Pmf* elements[];
};
struct InterfaceArray {
    MemHeader memHeader;
    int length;
    void* elements[];
};
// A matrix is an array of rows; rows may differ in length.
struct IntMatrix {
    MemHeader memHeader;
    int length;
    IntArray* elements[];
};
struct RealMatrix {
    MemHeader memHeader;
    int length;
    RealArray* elements[];
};
struct BooleanMatrix {
    MemHeader memHeader;
    int length;
    BooleanArray* elements[];
};
struct PmfMatrix {
    MemHeader memHeader;
    int length;
    PmfArray* elements[];
};
struct InterfaceMatrix {
    MemHeader memHeader;
    int length;
    InterfaceArray* elements[];
};

IntArray* createIntArray(NObject* obj, int length);
RealArray* createRealArray(NObject* obj, int length);
BooleanArray* createBooleanArray(NObject* obj, int length);
PmfArray* createPmfArray(NObject* obj, PmfConfig* pmfConfig, int length);
InterfaceArray* createInterfaceArray(NObject* obj, void* defaultImplementation, int length);

IntMatrix* createIntMatrix(NObject* obj, int rowCount, int columnCount);
RealMatrix* createRealMatrix(NObject* obj, int rowCount, int columnCount);
BooleanMatrix* createBooleanMatrix(NObject* obj, int rowCount, int columnCount);
PmfMatrix* createPmfMatrix(NObject* obj, PmfConfig* pmfConfig, int rowCount, int columnCount);
InterfaceMatrix* createInterfaceMatrix(NObject* obj, void* defaultImplementation, int rowCount,
                                       int columnCount);

PmfArray* allocatePmfArray(NObject* obj, int length);
InterfaceArray* allocateInterfaceArray(NObject* obj, int length);
PmfMatrix* allocatePmfMatrix(NObject* obj, int rowCount, int columnCount);
InterfaceMatrix* allocateInterfaceMatrix(NObject* obj, int rowCount, int columnCount);

inline Int defaultInt() { return 0; }
inline Real defaultReal() { return 0.0; }
inline Boolean defaultBoolean() { return false; }
IntArray* defaultIntArray(NObject* obj);
RealArray* defaultRealArray(NObject* obj);
BooleanArray* defaultBooleanArray(NObject* obj);
PmfArray* defaultPmfArray(NObject* obj, PmfConfig* pmfConfig);
IntMatrix* defaultIntMatrix(NObject* obj);
RealMatrix* defaultRealMatrix(NObject* obj);
BooleanMatrix* defaultBooleanMatrix(NObject* obj);
PmfMatrix* defaultPmfMatrix(NObject* obj, PmfConfig* pmfConfig);

IntArray* initializeIntArray(NObject* obj, int length, ...);
RealArray* initializeRealArray(NObject* obj, int length, ...);
BooleanArray* initializeBooleanArray(NObject* obj, int length, ...);
PmfArray* initializePmfArray(NObject* obj, int length, ...);
InterfaceArray* initializeInterfaceArray(NObject* obj, int length, ...);
IntMatrix* initializeIntMatrix(NObject* obj, int rowCount, ...);
RealMatrix* initializeRealMatrix(NObject* obj, int rowCount, ...);
BooleanMatrix* initializeBooleanMatrix(NObject* obj, int rowCount, ...);
PmfMatrix* initializePmfMatrix(NObject* obj, int rowCount, ...);
InterfaceMatrix* initializeInterfaceMatrix(NObject* obj, int rowCount, ...);

Int& lookup(IntArray* a, Int i);
Real& lookup(RealArray* a, Int i);
Boolean& lookup(BooleanArray* a, Int i);
Pmf*& lookup(PmfArray* a, Int i);
void*& lookup(InterfaceArray* a, Int i);
IntArray*& lookup(IntMatrix* m, Int i);
RealArray*& lookup(RealMatrix* m, Int i);
BooleanArray*& lookup(BooleanMatrix* m, Int i);
PmfArray*& lookup(PmfMatrix* m, Int i);
InterfaceArray*& lookup(InterfaceMatrix* m, Int i);

void flag(IntArray* a);
void flag(RealArray* a);
void flag(BooleanArray* a);
void flag(PmfArray* a);
void flag(InterfaceArray* a);
void flag(IntMatrix* m);
void flag(RealMatrix* m);
void flag(BooleanMatrix* m);
void flag(PmfMatrix* m);
void flag(InterfaceMatrix* m);

PmfArray* confirmSimplePmfArray(PmfArray* a);
PmfArray* confirmJointPmfArray(PmfArray* a, int depth);
PmfArray* confirmCompoundPmfArray(PmfArray* a, int length, ...);
PmfMatrix* confirmSimplePmfMatrix(PmfMatrix* m);
PmfMatrix* confirmJointPmfMatrix(PmfMatrix* m, int depth);
PmfMatrix* confirmCompoundPmfMatrix(PmfMatrix* m, int length, ...);

Pmf* createPmfFromRealArray(NObject* obj, RealArray* realArray);
