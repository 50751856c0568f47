#include "runtime/forks.hpp"

#include <pthread.h>

#include <atomic>
#include <thread>

namespace {
// Sequentially consistent, so that of a fork that begins and an update that
// begins at once, at least one sees the other.
std::atomic<int> updatesUnderWay{0};
std::atomic<bool> forking{false};
thread_local bool exposed = false;

void beforeFork() {
    forking.store(true);
    while (updatesUnderWay.load() != 0) std::this_thread::yield();
}

void afterForkInParent() { forking.store(false); }

// The child's only thread is the one that forked, which was not updating:
// what other threads had counted ends with them.
void afterForkInChild() {
    updatesUnderWay.store(0);
    forking.store(false);
}

[[maybe_unused]] const int registered =
    pthread_atfork(beforeFork, afterForkInParent, afterForkInChild);
}  // namespace

void exposeToForks(bool isExposed) { exposed = isExposed; }

FieldsUpdate::FieldsUpdate() {
    if (!exposed) return;
    for (;;) {
        updatesUnderWay.fetch_add(1);
        if (!forking.load()) break;
        updatesUnderWay.fetch_sub(1);
        while (forking.load()) std::this_thread::yield();
    }
    counted = true;
}

FieldsUpdate::~FieldsUpdate() {
    if (counted) updatesUnderWay.fetch_sub(1);
}
