// Python object basics used by every brindle module.
#include "interop/core.h"

namespace brindle::interop {

nb::object checked(PyObject *result) {
    if (!result)
        throw_pending();
    return nb::steal(result);
}

nb::object attr(nb::handle obj, const Name &name) {
    return checked(PyObject_GetAttr(obj.ptr(), name.ptr()));
}

nb::object optional_attr(nb::handle obj, const Name &name) {
    PyObject *found = PyObject_GetAttr(obj.ptr(), name.ptr());
    if (found)
        return nb::steal(found);
    if (!PyErr_ExceptionMatches(PyExc_AttributeError))
        throw_pending();
    PyErr_Clear();
    return nb::object();
}

void set_attr(nb::handle obj, const Name &name, nb::handle value) {
    if (PyObject_SetAttr(obj.ptr(), name.ptr(), value.ptr()) != 0)
        throw_pending();
}

std::string_view str_view(nb::handle s) {
    Py_ssize_t size = 0;
    const char *data = PyUnicode_AsUTF8AndSize(s.ptr(), &size);
    if (!data)
        throw_pending();
    return std::string_view(data, static_cast<size_t>(size));
}

std::string to_text(nb::handle obj) {
    nb::object s = checked(PyObject_Str(obj.ptr()));
    return std::string(str_view(s));
}

nb::str make_str(std::string_view text) {
    return nb::steal<nb::str>(checked(PyUnicode_FromStringAndSize(text.data(), text.size())).release());
}

std::string length_text(nb::handle obj) {
    Py_ssize_t n = PyObject_Length(obj.ptr());
    if (n < 0)
        throw_pending();
    return std::to_string(n);
}

bool truth(nb::handle obj) {
    int r = PyObject_IsTrue(obj.ptr());
    if (r < 0)
        throw_pending();
    return r != 0;
}

}  // namespace brindle::interop
