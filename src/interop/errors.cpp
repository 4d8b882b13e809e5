// Catching Python errors in C++ and raising the package's errors chained to them.
#include "errors.h"

namespace brindle::interop {

bool is_exception_family(const nb::python_error &e) { return e.matches(PyExc_Exception); }

nb::object exception_value(const nb::python_error &e) { return nb::borrow(e.value()); }

std::string error_text(const nb::python_error &e) { return to_text(e.value()); }

void raise_from(nb::handle error_class, const std::string &message,
                                    const nb::python_error &cause) {
    nb::object cause_value = exception_value(cause);
    nb::object error = call(error_class, make_str(message));
    PyException_SetCause(error.ptr(), cause_value.inc_ref().ptr());
    PyException_SetContext(error.ptr(), cause_value.inc_ref().ptr());
    PyErr_SetObject(reinterpret_cast<PyObject *>(Py_TYPE(error.ptr())), error.ptr());
    throw nb::python_error();
}

void raise_plain(nb::handle error_class, const std::string &message) {
    nb::object error = call(error_class, make_str(message));
    PyErr_SetObject(reinterpret_cast<PyObject *>(Py_TYPE(error.ptr())), error.ptr());
    throw nb::python_error();
}

}  // namespace brindle::interop
