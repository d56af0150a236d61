// Virtual device core: fork. A child process has only the thread that called fork, so no lock of the
// library may be held there by another thread. That thread takes every lock in the library's order
// before the fork; the parent then releases them, and the child makes them anew (locks taken by a
// thread of another id, and conditions that gone threads waited on, cannot be released there).
#include "core.hpp"

#include <pthread.h>

#include <array>
#include <new>

namespace sim {

namespace {

std::array<std::mutex*, 3> plain_mutexes() { return {&controls_mutex(), &journal_mutex(), &clock_mutex()}; }

void before_fork() {
    world_mutex().lock();
    acq_before_fork();
    for (std::mutex* m : plain_mutexes()) m->lock();
}

void after_fork_in_parent() {
    auto plain = plain_mutexes();
    for (auto m = plain.rbegin(); m != plain.rend(); ++m) (*m)->unlock();
    acq_after_fork_in_parent();
    world_mutex().unlock();
}

void after_fork_in_child() {
    auto plain = plain_mutexes();
    for (auto m = plain.rbegin(); m != plain.rend(); ++m) new (*m) std::mutex;
    acq_after_fork_in_child();
    new (&world_mutex()) std::recursive_mutex;
}

[[maybe_unused]] const int g_fork_handlers = pthread_atfork(before_fork, after_fork_in_parent, after_fork_in_child);

}  // namespace

}  // namespace sim
