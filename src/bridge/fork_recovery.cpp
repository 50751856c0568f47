#include "bridge/fork_recovery.hpp"

#include <pthread.h>

std::uint64_t forksSoFar = 0;
unsigned long threadThatForked = 0;

namespace {
void afterForkInChild() {
    ++forksSoFar;
    threadThatForked = PyThread_get_thread_ident();
}

[[maybe_unused]] const int registered = pthread_atfork(nullptr, nullptr, afterForkInChild);
}  // namespace
