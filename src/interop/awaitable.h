// Awaitables that run a blocking call on a thread pool, so that an asyncio
// service can wait for DuckDB, a lock or a loader without blocking its loop.
//
// A PoolCall is a coroutine as asyncio sees it (__await__, send, throw and
// close): `await`, create_task() and gather() all take it. Nothing runs until
// it is first awaited; then the call is handed to
// loop.run_in_executor(pool, call) on the running loop, and the awaiting task
// waits on the loop's future for it.
//
// Cancellation. Cancelling the awaiting task cancels the loop's future: a call
// that has not started never runs; one that has started runs to its end on
// its pool thread, exactly as a synchronous caller's would (its locks are
// released, what it stores is stored, the callers it serves are served), and
// only the awaiting task stops waiting for it.
#pragma once

#include "function.h"

namespace brindle::interop {

namespace detail {

inline const Name kPoolOf{"_pool_of"};
inline const Name kPoolCallable{"_call"};
inline const Name kWaiting{"_waiting"};
inline const Name kRunInExecutor{"run_in_executor"};
inline const Name kGetRunningLoop{"get_running_loop"};
inline const Name kAwait{"__await__"};
inline const Name kSendName{"send"};
inline const Name kThrowName{"throw"};
inline const Name kCloseName{"close"};

// _waiting before the first await; after the end, Py_False.
inline bool finished(nb::handle waiting) { return waiting.ptr() == Py_False; }

[[noreturn]] inline void refuse_reuse() {
    throw_error(PyExc_RuntimeError, "cannot reuse already awaited coroutine");
}

// loop.run_in_executor(self._pool_of(), self._call) on the running loop,
// and the future's iterator. A pool shut down between being handed out and
// taking the call (the owner shut down meanwhile) is asked for again once.
nb::object start(nb::handle self);

// Runs step(waiting) on the started call; the end of the call, a result
// (StopIteration) or an exception, finishes the PoolCall.
template <typename Step>
nb::object step(nb::handle self, Step &&next) {
    nb::object waiting = attr(self, kWaiting);
    if (finished(waiting))
        refuse_reuse();
    try {
        if (is_none(waiting)) {
            waiting = start(self);
            set_attr(self, kWaiting, waiting);
        }
        return next(waiting);
    } catch (nb::python_error &) {
        set_attr(self, kWaiting, Py_False);
        throw;
    }
}

nb::object pool_call_send(const Args &a);

nb::object pool_call_next(const Args &a);

// throw(typ, val=None, tb=None), passing on only what was given.
nb::object pool_call_throw(const Args &a);

nb::object pool_call_close(const Args &a);

inline nb::object pool_call_await(const Args &a) { return nb::borrow(a[0]); }

}  // namespace detail

// The PoolCall class of one module (its __module__), built on first use and
// kept for the life of the process.
nb::handle pool_call_class(const char *module);

// A PoolCall that, once awaited, runs call() on the executor pool_of()
// returns at that moment.
nb::object pool_call(const char *module, nb::handle pool_of, nb::handle call_now);

// Marks a callable returning PoolCalls as a coroutine function, so that
// asyncio.iscoroutinefunction() (and, where it has the marker,
// inspect.iscoroutinefunction()) says what the stubs say: `async def`.
void mark_coroutine_function(nb::handle fn);

}  // namespace brindle::interop
