// Logging a failure caught in C++ with its traceback.
#include "handled.h"

namespace brindle::interop {

HandledException::HandledException(const nb::python_error &e) : previous_(PyErr_GetHandledException()) {
    PyErr_SetHandledException(e.value().ptr());
}

HandledException::~HandledException() {
    PyErr_SetHandledException(previous_);
    Py_XDECREF(previous_);
}

}  // namespace brindle::interop
