// Process-wide singletons built the way Python code builds them.
#include "singleton.h"

namespace brindle::interop {

nb::object singleton_new(nb::handle cls) {
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
