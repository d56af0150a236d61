// What every sink part shares: the fork registry, and whether the SDK may still deliver to it.
#pragma once

#include "runs.hpp"

#include <algorithm>
#include <atomic>
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

    // A registration of the sink has been handed to the SDK (1), or stopped or released (0); with
    // the interpreter lock held. A part that hands its deliveries on (a Clusterer's `then`) tells
    // the next one too.
    void fed(int on) noexcept {
        if (on) {
            ever_fed_.store(true);
            feeders_.fetch_add(1);
        } else {
            feeders_.store(std::max(feeders_.load() - 1, 0));
        }
    }
    // The sink was handed to the SDK and no registration of it is fed now: nothing more arrives
    // from the SDK (a sink never registered is fed by the call path alone, and never starves).
    bool starved() const noexcept { return ever_fed_.load() && feeders_.load() == 0; }
    // With the lock of the part's waits held: nothing delivered is still on its way to its readers
    // (a part that works on its deliveries on threads of its own says when it is done).
    virtual bool settled() const { return true; }

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
    std::atomic<int> feeders_{0};  // registrations fed, changed with the interpreter lock held
    std::atomic<bool> ever_fed_{false};
};

}  // namespace zorv::sinks
