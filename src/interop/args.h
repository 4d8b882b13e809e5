// Argument checks shared by every public callable.
//
// The rules: a parameter declared `str` or `list` takes exactly that type (no
// subclass, no None); `int` takes any number, converted with int() unless it
// already is an exact int; Optional[...] also takes None; `bool` is taken by
// its truth value. A wrong type raises TypeError before anything happens.
// (A number that must not be negative is checked the same way, as ValueError.)
#pragma once

#include "core.h"

namespace brindle::interop {

// How a parameter taking values to bind is annotated; the module binds the
// typing names it uses.
constexpr const char *kParamsAnnotation = "Optional[Union[Sequence[Any], Dict[str, Any]]]";

class Args {
public:
    Args(const char *qualname, PyObject *const *slots, const nb::object *names, size_t count)
        : qualname_(qualname), slots_(slots), names_(names), count_(count) {}

    nb::handle operator[](size_t i) const { return slots_[i]; }

    // How many parameters the callable has (every slot is filled), and the
    // name of each.
    size_t size() const { return count_; }
    nb::handle name(size_t i) const { return names_[i]; }

    // Exactly str.
    nb::handle str(size_t i) const { return exactly(i, &PyUnicode_Type, "str", false); }

    // Exactly str, or None (returned as an invalid handle).
    nb::handle optional_str(size_t i) const { return exactly(i, &PyUnicode_Type, "str or None", true); }

    // Exactly list.
    nb::handle list(size_t i) const { return exactly(i, &PyList_Type, "list", false); }

    // Exactly list, or None (returned as an invalid handle).
    nb::handle optional_list(size_t i) const { return exactly(i, &PyList_Type, "list or None", true); }

    // Any number, as an exact int.
    nb::object integer(size_t i) const {
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

    // Any number, as an exact int of at least 0; a negative one is a
    // ValueError, raised before anything happens like a wrong type is.
    nb::object non_negative_integer(size_t i) const {
        nb::object v = integer(i);
        int negative = PyObject_RichCompareBool(v.ptr(), nb::int_(0).ptr(), Py_LT);
        if (negative < 0)
            throw_pending();
        if (negative)
            throw_value_error(std::string(qualname_) + "() argument '" + to_text(names_[i]) +
                              "' must be at least 0, not " + to_text(v));
        return v;
    }

    // None, or any number as an exact int (None returned as an invalid object).
    nb::object optional_integer(size_t i) const {
        nb::handle v = slots_[i];
        if (is_none(v))
            return nb::object();
        if (!PyNumber_Check(v.ptr()))
            refuse(i, "int or None");
        return integer(i);
    }

    // Values to bind to a statement's placeholders: a list or tuple (for `?`
    // and `$1`), a dict (for `$name`), or None (returned as an invalid handle).
    nb::handle optional_params(size_t i) const {
        nb::handle v = slots_[i];
        if (is_none(v))
            return nb::handle();
        if (!PyList_Check(v.ptr()) && !PyTuple_Check(v.ptr()) && !PyDict_Check(v.ptr()))
            refuse(i, "list, tuple, dict or None");
        return v;
    }

    // An instance of `cls` (subclasses too); `expected` names it in the TypeError.
    nb::handle instance_of(size_t i, nb::handle cls, const char *expected) const {
        nb::handle v = slots_[i];
        int is_instance = PyObject_IsInstance(v.ptr(), cls.ptr());
        if (is_instance < 0)
            throw_pending();
        if (!is_instance)
            refuse(i, expected);
        return v;
    }

    // Taken by its truth value.
    bool flag(size_t i) const { return truth(slots_[i]); }

    // Anything callable.
    nb::handle callable(size_t i) const {
        nb::handle v = slots_[i];
        if (!PyCallable_Check(v.ptr()))
            refuse(i, "callable");
        return v;
    }

private:
    // The argument if its type is exactly `type` (a subclass is refused);
    // None as an invalid handle when `or_none`.
    nb::handle exactly(size_t i, PyTypeObject *type, const char *expected, bool or_none) const {
        nb::handle v = slots_[i];
        if (or_none && is_none(v))
            return nb::handle();
        if (Py_TYPE(v.ptr()) != type)
            refuse(i, expected);
        return v;
    }

    [[noreturn]] void refuse(size_t i, const char *expected) const {
        PyObject *v = slots_[i];
        throw_type_error(std::string(qualname_) + "() argument '" + to_text(names_[i]) +
                         "' must be " + expected + ", not " + Py_TYPE(v)->tp_name);
    }

    const char *qualname_;
    PyObject *const *slots_;
    const nb::object *names_;
    size_t count_;
};

}  // namespace brindle::interop
