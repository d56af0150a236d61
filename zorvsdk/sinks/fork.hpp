// The fork registry of the sinks.
#pragma once

#include "runs.hpp"

#include <mutex>

namespace zorv::sinks {

// What every sink gives the fork handlers: its locks, taken before a fork so that no thread is
// half-way through its work when the process is copied, given back after it, and the repair of the
// child, where the SDK's threads and the other Python threads do not exist.
class Sink {
public:
    Sink() {
        std::lock_guard<std::mutex> lock(registry_);
        next_ = first_;
        if (first_) first_->prev_ = this;
        first_ = this;
    }
    virtual ~Sink() {
        std::lock_guard<std::mutex> lock(registry_);
        (prev_ ? prev_->next_ : first_) = next_;
        if (next_) next_->prev_ = prev_;
    }
    Sink(const Sink&) = delete;
    Sink& operator=(const Sink&) = delete;

    static void before_fork() {
        registry_.lock();
        for (Sink* s = first_; s; s = s->next_) s->lock();
        runs.lock();  // after the sinks': a ring gives runs back with its mutex held
    }
    static void after_fork_parent() {
        runs.unlock();
        for (Sink* s = first_; s; s = s->next_) s->unlock();
        registry_.unlock();
    }
    static void after_fork_child() {
        runs.unlock();
        for (Sink* s = first_; s; s = s->next_) {
            s->repair_child();
            s->unlock();
        }
        registry_.unlock();
    }

protected:
    virtual void lock() = 0;
    virtual void unlock() = 0;
    virtual void repair_child() = 0;  // with the locks held

private:
    static inline std::mutex registry_;
    static inline Sink* first_ = nullptr;
    Sink *prev_ = nullptr, *next_ = nullptr;
};

}  // namespace zorv::sinks
