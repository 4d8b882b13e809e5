// Awaitables that run a blocking call on a thread pool.
#include "interop/awaitable.h"

namespace brindle::interop::detail {

nb::object start(nb::handle self) {
    static PyObject *asyncio = import("asyncio").release().ptr();  // kept until exit
    nb::object loop = call_method(nb::handle(asyncio), kGetRunningLoop);
    nb::object work = attr(self, kPoolCallable);
    nb::object future;
    for (int attempt = 1;; ++attempt) {
        nb::object pool = call(attr(self, kPoolOf));
        try {
            future = call_method(loop, kRunInExecutor, pool, work);
            break;
        } catch (nb::python_error &e) {
            if (attempt > 1 || !e.matches(PyExc_RuntimeError))
                throw;
        }
    }
    return call_method(future, kAwait);
}

nb::object pool_call_send(const Args &a) {
    nb::handle self = a[0], value = a[1];
    if (!is_none(value) && is_none(attr(self, kWaiting)))
        throw_type_error("can't send non-None value to a just-started coroutine");
    return step(self, [&](nb::handle waiting) { return call_method(waiting, kSendName, value); });
}

nb::object pool_call_next(const Args &a) {
    return step(a[0], [](nb::handle waiting) { return call_method(waiting, kSendName, nb::none()); });
}

nb::object pool_call_throw(const Args &a) {
    nb::handle self = a[0], typ = a[1], val = a[2], tb = a[3];
    nb::object waiting = attr(self, kWaiting);
    if (is_none(waiting)) {
        // Never started: end here with the exception, as a fresh coroutine does.
        set_attr(self, kWaiting, Py_False);
        if (PyExceptionInstance_Check(typ.ptr()))
            PyErr_SetObject(reinterpret_cast<PyObject *>(Py_TYPE(typ.ptr())), typ.ptr());
        else if (PyExceptionClass_Check(typ.ptr()))
            PyErr_SetObject(typ.ptr(), is_none(val) ? nullptr : val.ptr());
        else
            throw_type_error("exceptions must be classes or instances deriving from BaseException");
        throw_pending();
    }
    return step(self, [&](nb::handle w) {
        nb::object thrower = attr(w, kThrowName);
        if (!is_none(tb))
            return call(thrower, typ, val, tb);
        if (!is_none(val))
            return call(thrower, typ, val);
        return call(thrower, typ);
    });
}

nb::object pool_call_close(const Args &a) {
    nb::handle self = a[0];
    nb::object waiting = attr(self, kWaiting);
    set_attr(self, kWaiting, Py_False);
    if (!is_none(waiting) && !finished(waiting) && PyObject_HasAttr(waiting.ptr(), kCloseName.ptr()))
        call_method(waiting, kCloseName);
    return nb::none();
}

}  // namespace brindle::interop::detail

namespace brindle::interop {

nb::handle pool_call_class(const char *module) {
    static PyObject *cls = [module] {
        const FunctionMaker method(module);
        nb::object none = nb::none();
        return make_class(module, "PoolCall",
                          "A call run on a thread pool when awaited; a coroutine as asyncio sees it.",
                          {
                              {"__slots__", nb::make_tuple(nb::str("_pool_of"), nb::str("_call"),
                                                           nb::str("_waiting"))},
                              {"__await__", method("PoolCall.__await__", nullptr, {"self"}, nullptr,
                                                   detail::pool_call_await)},
                              {"__next__", method("PoolCall.__next__", nullptr, {"self"}, nullptr,
                                                  detail::pool_call_next)},
                              {"send", method("PoolCall.send", nullptr, {"self", "value"}, nullptr,
                                              detail::pool_call_send)},
                              {"throw", method("PoolCall.throw", nullptr,
                                               {"self", "typ", {"val", nullptr, none}, {"tb", nullptr, none}},
                                               nullptr, detail::pool_call_throw)},
                              {"close", method("PoolCall.close", nullptr, {"self"}, nullptr,
                                               detail::pool_call_close)},
                          })
            .release()
            .ptr();
    }();
    return cls;
}

nb::object pool_call(const char *module, nb::handle pool_of, nb::handle call_now) {
    nb::object awaitable = call(pool_call_class(module));
    set_attr(awaitable, detail::kPoolOf, pool_of);
    set_attr(awaitable, detail::kPoolCallable, call_now);
    set_attr(awaitable, detail::kWaiting, Py_None);
    return awaitable;
}

void mark_coroutine_function(nb::handle fn) {
    static const Name kMark{"markcoroutinefunction"};
    static const Name kMarker{"_is_coroutine"};
    nb::object inspect = import("inspect");
    if (PyObject_HasAttr(inspect.ptr(), kMark.ptr())) {
        call_method(inspect, kMark, fn);
        return;
    }
    nb::object coroutines = import("asyncio.coroutines");
    if (PyObject_HasAttr(coroutines.ptr(), kMarker.ptr()))
        set_attr(fn, kMarker, attr(coroutines, kMarker));
}

}  // namespace brindle::interop
