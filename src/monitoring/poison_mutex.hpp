// A mutex that remembers a holder that failed part-way.
//
// When an operation leaves with an exception while it holds the lock, the
// data behind the lock may be half-updated.  The lock is then poisoned for
// good: every later attempt to take it fails with MonitorFault carrying
// POISON_MESSAGE, and that failure itself happens with any outer locks still
// held, so it poisons them in turn.
#pragma once

#include <exception>
#include <mutex>
#include <stdexcept>

namespace sarn::monitoring {

// The text an operation fails with when it meets a poisoned lock.
inline constexpr const char* POISON_MESSAGE = "called `Result::unwrap()` on an `Err` value: PoisonError { .. }";

// A broken internal invariant of the monitor (a poisoned lock, a failed
// local-time lookup).  The Python surface raises it as PanicException.
class MonitorFault : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

class PoisonMutex {
public:
    PoisonMutex() = default;
    PoisonMutex(const PoisonMutex&) = delete;
    PoisonMutex& operator=(const PoisonMutex&) = delete;

    // Holds the lock for one scope.  Throws MonitorFault (with the lock
    // released again) when the lock is poisoned; poisons it when the scope
    // is left by an exception.
    class Guard {
    public:
        explicit Guard(PoisonMutex& m) : m_(m), exceptions_(std::uncaught_exceptions()) {
            m_.mutex_.lock();
            if (m_.poisoned_) {
                m_.mutex_.unlock();
                throw MonitorFault(POISON_MESSAGE);
            }
        }
        Guard(const Guard&) = delete;
        Guard& operator=(const Guard&) = delete;
        ~Guard() {
            if (std::uncaught_exceptions() > exceptions_) m_.poisoned_ = true;
            m_.mutex_.unlock();
        }

    private:
        PoisonMutex& m_;
        int exceptions_;  // exceptions in flight when the lock was taken
    };

    bool poisoned() {
        std::lock_guard<std::mutex> lock(mutex_);
        return poisoned_;
    }

private:
    std::mutex mutex_;
    bool poisoned_ = false;  // guarded by mutex_
};

}  // namespace sarn::monitoring
