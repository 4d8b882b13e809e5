// Catching Python errors in C++ and raising the package's errors chained to them.
#pragma once

#include "core.h"

namespace brindle::interop {

// The name under which a module keeps the package's base error class
// (from brindle.errors), looked up in the module on every raise.
inline const Name kBrindleError{"BrindleError"};

// True when the caught error belongs to the Exception family. Anything else
// (KeyboardInterrupt, SystemExit, GeneratorExit) must travel on untouched.
inline bool is_exception_family(const nb::python_error &e) { return e.matches(PyExc_Exception); }

// The caught exception object (its traceback travels on it).
inline nb::object exception_value(const nb::python_error &e) { return nb::borrow(e.value()); }

// str() of the caught exception, as the messages quote it.
inline std::string error_text(const nb::python_error &e) { return to_text(e.value()); }

// Raises error_class(message) with the caught exception as its cause, as
// `raise error_class(message) from e` does inside an except block.
[[noreturn]] inline void raise_from(nb::handle error_class, const std::string &message,
                                    const nb::python_error &cause) {
    nb::object cause_value = exception_value(cause);
    nb::object error = call(error_class, make_str(message));
    PyException_SetCause(error.ptr(), cause_value.inc_ref().ptr());
    PyException_SetContext(error.ptr(), cause_value.inc_ref().ptr());
    PyErr_SetObject(reinterpret_cast<PyObject *>(Py_TYPE(error.ptr())), error.ptr());
    throw nb::python_error();
}

// Raises error_class(message) with no cause, as a plain `raise` would.
[[noreturn]] inline void raise_plain(nb::handle error_class, const std::string &message) {
    nb::object error = call(error_class, make_str(message));
    PyErr_SetObject(reinterpret_cast<PyObject *>(Py_TYPE(error.ptr())), error.ptr());
    throw nb::python_error();
}

// Runs body; a failure of the Exception family is handed to on_failure with
// the caught error, anything else propagates. on_failure must not return
// normally unless the failure is to be absorbed.
template <typename Body, typename OnFailure>
auto guarded(Body &&body, OnFailure &&on_failure) -> decltype(body()) {
    try {
        return body();
    } catch (nb::python_error &e) {
        if (!is_exception_family(e))
            throw;
        return on_failure(e);
    }
}

// Runs body and discards any failure of the Exception family (best-effort steps).
template <typename Body>
void ignore_failure(Body &&body) {
    try {
        body();
    } catch (nb::python_error &e) {
        if (!is_exception_family(e))
            throw;
    }
}

}  // namespace brindle::interop
