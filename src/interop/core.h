// Shared interop layer: Python object basics used by every brindle module.
//
// Thread rules for everything in this library: functions that take or return
// Python objects need the GIL; the ones that wait (locks, sleeps) say so.
#pragma once

#include <nanobind/nanobind.h>

#include <initializer_list>
#include <string>
#include <string_view>
#include <type_traits>

namespace brindle::interop {

namespace nb = nanobind;

// An interned Python string that lives as long as the process. Deliberately
// leaked: a static nb::object would be released after the interpreter is gone.
// Module-scope instances are built while the extension is being loaded, which
// happens with the GIL held.
class Name {
public:
    explicit Name(const char *text) : ptr_(PyUnicode_InternFromString(text)) {}
    PyObject *ptr() const { return ptr_; }
    nb::handle handle() const { return ptr_; }
    operator nb::handle() const { return ptr_; }

private:
    PyObject *ptr_;
};

// Throws the pending Python error as a C++ exception.
[[noreturn]] inline void throw_pending() { throw nb::python_error(); }

// Sets a Python exception of the given class and throws it.
[[noreturn]] inline void throw_error(PyObject *type, const std::string &message) {
    PyErr_SetString(type, message.c_str());
    throw nb::python_error();
}

[[noreturn]] inline void throw_type_error(const std::string &message) {
    throw_error(PyExc_TypeError, message);
}

[[noreturn]] inline void throw_value_error(const std::string &message) {
    throw_error(PyExc_ValueError, message);
}

// Steals a new reference from a C-API call, throwing the pending error on NULL.
nb::object checked(PyObject *result);

// obj.name, looked up now (never cached), so replaced attributes take effect.
nb::object attr(nb::handle obj, const Name &name);

// obj.name, or an invalid object when obj has no such attribute (any other
// failure of the lookup is raised).
nb::object optional_attr(nb::handle obj, const Name &name);

void set_attr(nb::handle obj, const Name &name, nb::handle value);

// obj.name(args...) on borrowed arguments; a new reference, or NULL with the
// error set. Usable where nothing may throw (destructors). The argument array
// is sized by the call itself, so no call can overrun it.
template <typename... Args>
PyObject *call_method_raw(PyObject *obj, const Name &name, Args *...args) {
    static_assert((std::is_same_v<Args, PyObject> && ...), "arguments are borrowed PyObject pointers");
    // Slot 0 stays free: PY_VECTORCALL_ARGUMENTS_OFFSET lets the callee use it.
    PyObject *argv[] = {nullptr, obj, args...};
    return PyObject_VectorcallMethod(name.ptr(), argv + 1, (sizeof...(Args) + 1) | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                     nullptr);
}

// obj.name(args...) through the vectorcall protocol.
template <typename... Args>
nb::object call_method(nb::handle obj, const Name &name, Args &&...args) {
    static_assert(sizeof...(Args) < 7, "too many arguments");
    nb::object converted[] = {nb::object(), nb::cast(std::forward<Args>(args))...};
    PyObject *argv[sizeof...(Args) + 2];
    argv[1] = obj.ptr();
    for (size_t i = 1; i <= sizeof...(Args); ++i)
        argv[i + 1] = converted[i].ptr();
    return checked(PyObject_VectorcallMethod(
        name.ptr(), argv + 1, (sizeof...(Args) + 1) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

// callable(args...) through the vectorcall protocol.
template <typename... Args>
nb::object call(nb::handle callable, Args &&...args) {
    nb::object converted[] = {nb::object(), nb::cast(std::forward<Args>(args))...};
    PyObject *argv[sizeof...(Args) + 1];
    for (size_t i = 1; i <= sizeof...(Args); ++i)
        argv[i] = converted[i].ptr();
    return checked(PyObject_Vectorcall(callable.ptr(), argv + 1,
                                       sizeof...(Args) | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                       nullptr));
}

// The UTF-8 text of an exact str, without copying into Python again.
std::string_view str_view(nb::handle s);

// str(obj) as UTF-8.
std::string to_text(nb::handle obj);

nb::str make_str(std::string_view text);

// len(obj) in decimal, as record texts show row counts.
std::string length_text(nb::handle obj);

bool truth(nb::handle obj);

inline bool is_none(nb::handle obj) { return obj.ptr() == Py_None; }

inline nb::object py_bool(bool value) { return nb::borrow(value ? Py_True : Py_False); }

// Imports a module by its full name.
inline nb::object import(const char *name) { return checked(PyImport_ImportModule(name)); }

}  // namespace brindle::interop
