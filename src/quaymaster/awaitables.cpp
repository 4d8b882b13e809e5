// The manager's awaitable methods (aquery, astore, ...): each runs its
// synchronous twin on a thread pool the manager owns, so that an asyncio
// service never blocks its event loop on DuckDB, a write lock or a loader.
//
// The pool (a concurrent.futures.ThreadPoolExecutor of
// config.async_pool_size threads) is made on first use and kept in
// _async_pool; shutdown() shuts it down, and the next awaitable call makes a
// new one, as the manager stays usable.
#include "interop/awaitable.h"
#include "quaymaster.h"
#include "texts.h"

namespace brindle::quaymaster {
namespace {

const Name kAsyncPoolSize{"async_pool_size"};
const Name kThreadPoolExecutor{"ThreadPoolExecutor"};
const Name kPartial{"partial"};
const Name kShutdownPool{"shutdown"};

nb::object new_pool(nb::handle self) {
    nb::object futures = import("concurrent.futures");
    return attr(futures, kThreadPoolExecutor)(nb::arg("max_workers") = attr(config_of(self), kAsyncPoolSize),
                                              nb::arg("thread_name_prefix") = text::kAsyncThreadPrefix);
}

// self._async_pool, made when there is none. Two threads making one at once
// keep the first set; the other, which has run nothing, is shut down.
nb::object async_pool(const Args &a) {
    nb::handle self = a[0];
    if (nb::object pool = attr(self, kAsyncPool); !is_none(pool))
        return pool;
    nb::object made = new_pool(self);
    if (nb::object pool = attr(self, kAsyncPool); !is_none(pool)) {
        call_method(made, kShutdownPool, py_bool(false));
        return pool;
    }
    set_attr(self, kAsyncPool, made);
    return made;
}

// A bound method that hands out the manager's pool when a call is awaited.
nb::object pool_of(nb::handle self) {
    static PyObject *fn =  // kept until exit
        make_function({kModuleName, "BrindleManager._async_pool_of", nullptr, nullptr}, {"self"}, async_pool)
            .release()
            .ptr();
    return checked(PyMethod_New(fn, self.ptr()));
}

}  // namespace

nb::object run_on_pool(const Args &a, const Name &method) {
    static PyObject *partial = attr(import("functools"), kPartial).release().ptr();  // kept until exit
    nb::handle self = a[0];
    // Reached now, through the instance: a patched method is the one that runs.
    nb::object bound = attr(self, method);
    // Every argument by name: the twins share their methods' parameters,
    // keyword-only ones included.
    nb::dict keywords;
    for (size_t i = 1; i < a.size(); ++i)
        keywords[a.name(i)] = a[i];
    nb::object args = nb::make_tuple(bound);
    nb::object call_now = checked(PyObject_Call(partial, args.ptr(), keywords.ptr()));
    return pool_call(kModuleName, pool_of(self), call_now);
}

void shut_async_pool(nb::handle self) {
    nb::object pool = attr(self, kAsyncPool);
    if (is_none(pool))
        return;
    set_attr(self, kAsyncPool, Py_None);
    // Calls not started yet are cancelled (their awaiting tasks get
    // CancelledError); running ones end on their threads, as the synchronous
    // callers' do.
    attr(pool, kShutdownPool)(nb::arg("wait") = false, nb::arg("cancel_futures") = true);
}

}  // namespace brindle::quaymaster
