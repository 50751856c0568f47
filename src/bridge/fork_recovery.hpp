#pragma once

#include <Python.h>

#include <cstdint>

#include "runtime/memory.hpp"

// Forks of the process, its parents' included, and the thread that made the
// last one: in a child, its only thread.
extern std::uint64_t forksSoFar;
extern unsigned long threadThatForked;

// Whether the entries under way on `obj` belong to a thread that a fork left
// behind: begun before the last fork, by a thread other than the one that
// forked, which alone goes on in the child.
inline bool enteredByLostThread(const NObject* obj) {
    return obj->entryDepth != 0 && obj->entryForks != forksSoFar &&
           obj->enteringThread != threadThatForked;
}
