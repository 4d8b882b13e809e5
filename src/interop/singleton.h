// Process-wide singletons built the way Python code builds them: the class
// keeps `_instance` and `_lock` as class attributes, so that callers (tests)
// can reset `_instance` to get a fresh object.
#pragma once

#include "core.h"
#include "gil.h"

namespace brindle::interop {

// __new__(cls, ...): the object in cls._instance, created on first use. The
// test without the lock is repeated under cls._lock (a threading.Lock that
// serialises only this creation), and the fresh object gets _initialized =
// False so that its __init__ runs once.
inline nb::object singleton_new(nb::handle cls) {
    static const Name kInstance{"_instance"};
    static const Name kClassLock{"_lock"};
    static const Name kInitialized{"_initialized"};
    static const Name kNew{"__new__"};
    nb::object instance = attr(cls, kInstance);
    if (!is_none(instance))
        return instance;
    PyLockGuard creating(attr(cls, kClassLock));
    instance = attr(cls, kInstance);
    if (is_none(instance)) {
        instance = call_method(nb::handle(reinterpret_cast<PyObject *>(&PyBaseObject_Type)), kNew, cls);
        set_attr(cls, kInstance, instance);
        set_attr(instance, kInitialized, Py_False);
    }
    return instance;
}

}  // namespace brindle::interop
