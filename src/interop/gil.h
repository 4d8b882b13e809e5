// GIL and lock helpers.
//
// Rule: never wait for a lock while holding the GIL, never touch a Python
// object without it. A threading.Lock is acquired through its own acquire(),
// which gives up the GIL while it waits; a C++ mutex is acquired with the GIL
// released first and the GIL taken back afterwards (never the other order).
#pragma once

#include "core.h"

#include <mutex>

namespace brindle::interop {

// Releases the GIL for the scope (pure C++ work, blocking waits).
using ReleaseGil = nb::gil_scoped_release;


// Holds a threading.Lock (or any object with acquire()/release()) for the scope.
class PyLockGuard {
public:
    explicit PyLockGuard(nb::handle lock);
    // Takes over a lock the caller has already acquired (with a timeout).
    PyLockGuard(nb::handle lock, std::adopt_lock_t) : lock_(nb::borrow(lock)) {}
    ~PyLockGuard();
    PyLockGuard(const PyLockGuard &) = delete;
    PyLockGuard &operator=(const PyLockGuard &) = delete;

private:
    nb::object lock_;
};

// Holds a C++ mutex for the scope; waits for it with the GIL released.
// Constructed and destroyed with the GIL held.
template <typename Mutex = std::mutex>
class MutexGuardNoGil {
public:
    explicit MutexGuardNoGil(Mutex &m) : lock_(m, std::defer_lock) {
        if (lock_.try_lock())
            return;
        ReleaseGil release;
        lock_.lock();
    }

private:
    std::unique_lock<Mutex> lock_;
};

// Takes something `mutex` guards, through take(held, may_wait), which returns
// `busy` when it could not be had (and may wait on a condition of `mutex` only
// when may_wait). A free one is taken with the GIL kept: giving the GIL up
// would hand it to any thread waiting for it, for up to a switch interval.
// Otherwise the GIL is released before the mutex is waited for. Called with
// the GIL held.
template <typename Result, typename Take>
Result take_kept_gil_if_free(std::mutex &mutex, Result busy, Take &&take) {
    {
        std::unique_lock<std::mutex> held(mutex, std::try_to_lock);
        if (held.owns_lock()) {
            Result now = take(held, false);
            if (now != busy)
                return now;
        }
    }
    ReleaseGil released;
    std::unique_lock<std::mutex> held(mutex);
    return take(held, true);
}

}  // namespace brindle::interop
