// GIL and lock helpers.
#include "gil.h"

namespace brindle::interop {

PyLockGuard::PyLockGuard(nb::handle lock) : lock_(nb::borrow(lock)) {
    static const Name kAcquire{"acquire"};
    call_method(lock_, kAcquire);
}

PyLockGuard::~PyLockGuard() {
    static const Name kRelease{"release"};
    // Release must not throw out of a destructor; a failure here means the
    // lock object itself is broken, which is reported as unraisable.
    PyObject *r = call_method_raw(lock_.ptr(), kRelease);
    if (r)
        Py_DECREF(r);
    else
        PyErr_WriteUnraisable(lock_.ptr());
}

}  // namespace brindle::interop
