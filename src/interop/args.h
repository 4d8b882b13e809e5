// Argument checks shared by every public callable.
//
// The rules: a parameter declared `str` or `list` takes exactly that type (no
// subclass, no None); `int` takes any number, converted with int() unless it
// already is an exact int; Optional[...] also takes None; `bool` is taken by
// its truth value. A wrong type raises TypeError before anything happens.
// (A number that must not be negative, and a str with no UTF-8 form, are
// checked the same way, as ValueError.)
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

    // Exactly str, with a UTF-8 form (no lone surrogates: a ValueError).
    nb::handle str(size_t i) const;
    // Exactly str, or None (returned as an invalid handle).
    nb::handle optional_str(size_t i) const;
    // Exactly list.
    nb::handle list(size_t i) const;
    // Exactly list, or None (returned as an invalid handle).
    nb::handle optional_list(size_t i) const;
    // Any number, as an exact int.
    nb::object integer(size_t i) const;
    // Any number, as an exact int of at least 0; a negative one is a
    // ValueError, raised before anything happens like a wrong type is.
    nb::object non_negative_integer(size_t i) const;
    // None, or any number as an exact int (None returned as an invalid object).
    nb::object optional_integer(size_t i) const;
    // Values to bind to a statement's placeholders: a list or tuple (for `?`
    // and `$1`), a dict (for `$name`), or None (returned as an invalid handle).
    nb::handle optional_params(size_t i) const;
    // An instance of `cls` (subclasses too); `expected` names it in the TypeError.
    nb::handle instance_of(size_t i, nb::handle cls, const char *expected) const;
    // Taken by its truth value.
    bool flag(size_t i) const { return truth(slots_[i]); }
    // Anything callable.
    nb::handle callable(size_t i) const;

private:
    // The argument if its type is exactly `type` (a subclass is refused);
    // None as an invalid handle when `or_none`.
    nb::handle exactly(size_t i, PyTypeObject *type, const char *expected, bool or_none) const;
    [[noreturn]] void refuse(size_t i, const char *expected) const;
    // `text` (a str, or invalid for None) when it has a UTF-8 form.
    nb::handle encodable(size_t i, nb::handle text) const;

    const char *qualname_;
    PyObject *const *slots_;
    const nb::object *names_;
    size_t count_;
};

}  // namespace brindle::interop
