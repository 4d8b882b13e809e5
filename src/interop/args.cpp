// Argument checks shared by every public callable.
#include "args.h"

namespace brindle::interop {

nb::handle Args::str(size_t i) const { return encodable(i, exactly(i, &PyUnicode_Type, "str", false)); }

nb::handle Args::optional_str(size_t i) const {
    return encodable(i, exactly(i, &PyUnicode_Type, "str or None", true));
}

// DuckDB, file paths and log handlers all need the text as UTF-8; a str
// holding a lone surrogate has none, and would otherwise fail deep inside
// one call with UnicodeEncodeError and pass another unnoticed.
nb::handle Args::encodable(size_t i, nb::handle text) const {
    if (!text.is_valid() || PyUnicode_IS_ASCII(text.ptr()))
        return text;
    if (PyUnicode_AsUTF8AndSize(text.ptr(), nullptr))
        return text;  // the UTF-8 form is now kept by the str for its next use
    if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError))
        throw_pending();
    PyErr_Clear();
    throw_value_error(std::string(qualname_) + "() argument '" + to_text(names_[i]) +
                      "' must be text that has a UTF-8 form, not " + to_text(checked(PyObject_ASCII(text.ptr()))) +
                      ", which holds a lone surrogate");
}

nb::handle Args::list(size_t i) const { return exactly(i, &PyList_Type, "list", false); }

nb::handle Args::optional_list(size_t i) const { return exactly(i, &PyList_Type, "list or None", true); }

nb::object Args::integer(size_t i) const {
    nb::handle v = slots_[i];
    if (PyLong_CheckExact(v.ptr()))
        return nb::borrow(v);
    if (is_none(v) || !PyNumber_Check(v.ptr()))
        refuse(i, "int");
    PyObject *converted = PyNumber_Long(v.ptr());
    if (!converted) {
        PyErr_Clear();
        refuse(i, "int");
    }
    return nb::steal(converted);
}

nb::object Args::non_negative_integer(size_t i) const {
    nb::object v = integer(i);
    int negative = PyObject_RichCompareBool(v.ptr(), nb::int_(0).ptr(), Py_LT);
    if (negative < 0)
        throw_pending();
    if (negative)
        throw_value_error(std::string(qualname_) + "() argument '" + to_text(names_[i]) +
                          "' must be at least 0, not " + to_text(v));
    return v;
}

nb::object Args::optional_integer(size_t i) const {
    nb::handle v = slots_[i];
    if (is_none(v))
        return nb::object();
    if (!PyNumber_Check(v.ptr()))
        refuse(i, "int or None");
    return integer(i);
}

nb::handle Args::optional_params(size_t i) const {
    nb::handle v = slots_[i];
    if (is_none(v))
        return nb::handle();
    if (!PyList_Check(v.ptr()) && !PyTuple_Check(v.ptr()) && !PyDict_Check(v.ptr()))
        refuse(i, "list, tuple, dict or None");
    return v;
}

nb::handle Args::instance_of(size_t i, nb::handle cls, const char *expected) const {
    nb::handle v = slots_[i];
    int is_instance = PyObject_IsInstance(v.ptr(), cls.ptr());
    if (is_instance < 0)
        throw_pending();
    if (!is_instance)
        refuse(i, expected);
    return v;
}

nb::handle Args::callable(size_t i) const {
    nb::handle v = slots_[i];
    if (!PyCallable_Check(v.ptr()))
        refuse(i, "callable");
    return v;
}

nb::handle Args::exactly(size_t i, PyTypeObject *type, const char *expected, bool or_none) const {
    nb::handle v = slots_[i];
    if (or_none && is_none(v))
        return nb::handle();
    if (Py_TYPE(v.ptr()) != type)
        refuse(i, expected);
    return v;
}

void Args::refuse(size_t i, const char *expected) const {
    PyObject *v = slots_[i];
    throw_type_error(std::string(qualname_) + "() argument '" + to_text(names_[i]) + "' must be " + expected +
                     ", not " + Py_TYPE(v)->tp_name);
}

}  // namespace brindle::interop
