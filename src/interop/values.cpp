// Small conversions of Python values that several modules need.
#include "values.h"

namespace brindle::interop {

std::string name_text(nb::handle name) {
    Py_ssize_t size = 0;
    if (const char *data = PyUnicode_AsUTF8AndSize(name.ptr(), &size))
        return std::string(data, static_cast<size_t>(size));
    PyErr_Clear();
    return to_text(checked(PyObject_ASCII(name.ptr())));
}

std::vector<nb::object> unpack(nb::handle item, size_t count) {
    nb::object it = checked(PyObject_GetIter(item.ptr()));
    std::vector<nb::object> out;
    while (PyObject *value = PyIter_Next(it.ptr())) {
        if (out.size() == count) {
            Py_DECREF(value);
            throw_value_error("too many values to unpack (expected " + std::to_string(count) + ")");
        }
        out.push_back(nb::steal(value));
    }
    if (PyErr_Occurred())
        throw_pending();
    if (out.size() < count)
        throw_value_error("not enough values to unpack (expected " + std::to_string(count) + ", got " +
                          std::to_string(out.size()) + ")");
    return out;
}

}  // namespace brindle::interop
