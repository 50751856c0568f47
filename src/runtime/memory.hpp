#pragma once

// The one interpreter header below the bridge: a model object is a Python
// object, so NObject, which every model object starts with, begins with the
// interpreter's object header. Nothing below the bridge calls the
// interpreter; the unit tests build these floors with its headers alone.
#include <Python.h>

#include <cstddef>
#include <cstdint>

#include "runtime/types.hpp"

// Header of every block of a memory context; the first member, named
// `memHeader`, of every record that nmalloc serves. A record may also live
// inside the block of another, built together with it: its header then has
// size 0 and `next` pointing at the header of that block, which is the one
// the sweep keeps or frees.
struct MemHeader {
    MemHeader* next;
    std::size_t size;
    Boolean flag;
};

// The fields at the start of both model objects: the interpreter's object
// header, the memory context, its counters, and the calls from Python under
// way on the object.
struct NObject {
    PyObject_HEAD Boolean isMemModified;
    MemHeader* memList;
    int functionCount;
    void** functionPointers;
    const char** functionNames;
    int* functionSignatureIndexes;
    std::uint64_t currentMemoryUse;
    std::uint64_t peakMemoryUse;
    // Entries of the object that have begun and not yet ended: more than one
    // when Python code run in the middle of a call calls the object again.
    int entryDepth;
    // The thread whose entries those are: only it may enter the object then.
    unsigned long enteringThread;
    // How many times the process and its parents had forked when the
    // outermost of those entries began: in a child, entries of a thread
    // other than the one that forked have no thread there to end them.
    std::uint64_t entryForks;
    // Set while a long operation works on the object, mostly without the
    // interpreter lock: no other entry, on any thread, may begin until it ends.
    Boolean working;
    // Whether the last long operation on the object let the interpreter lock
    // go: the next one, likely as long, then lets it go at once.
    Boolean lastOperationLetLockGo;
};

// Sets the header fields to an empty context with the given function tables.
void initializeMemoryContext(NObject* obj, void** functionPointers, const char** functionNames,
                             int* functionSignatureIndexes);

// A zero-filled block of exactly `size` bytes, counted and put at the head of
// the object's block list. Raises "Out of memory" when the heap fails.
void* nmalloc(NObject* obj, std::size_t size);

// The same without the zero fill: for a record whose builder sets every
// field and element, which would otherwise be written twice. The header is
// set as nmalloc sets it.
void* nmallocUnfilled(NObject* obj, std::size_t size);

// The sweep: keeps and unmarks the marked blocks, frees the others.
void release(NObject* obj);

// Marks the block of a record; null is allowed.
void _flag(void* ptr0);

// Makes `record`, which lies inside the block `block`, a record of that
// block: marking it marks the block.
void placeInside(void* record, void* block);
