// Python-visible functions and classes built from C++.
//
// nanobind's own function objects carry no __dict__, render a signature into
// __doc__ and defeat inspect.signature. The `function` type below is a small
// callable with a __dict__ (holding __doc__, __name__, __qualname__,
// __module__, __annotations__, __signature__ and __globals__), vectorcall argument binding
// by name with defaults, and a __get__ that binds like a Python function, so
// that methods, help() and inspect behave as they do for Python code.
#pragma once

#include "args.h"
#include "core.h"
#include "module.h"

#include <structmember.h>

#include <cstring>
#include <initializer_list>
#include <string>
#include <vector>

namespace brindle::interop {

// One parameter of a Python-visible callable: positional-or-keyword, or
// keyword-only (those come last, after a `*` in the signature).
struct Param {
    const char *name;
    const char *annotation = nullptr;  // annotation text, or none
    nb::object default_value{};        // empty: the argument is required
    bool keyword_only = false;

    Param(const char *n) : name(n) {}
    Param(const char *n, const char *ann) : name(n), annotation(ann) {}
    Param(const char *n, const char *ann, nb::object def)
        : name(n), annotation(ann), default_value(std::move(def)) {}
};

// The parameter, taken by keyword only.
Param keyword_only(Param p);

// A parameter list kept to build more than one callable from (a method and
// its awaitable twin take the same parameters).
using Params = std::vector<Param>;

// Implementation entry: receives the bound arguments in parameter order.
using Impl = nb::object (*)(const Args &);

struct FunctionSpec {
    std::string qualname;
    std::vector<nb::object> names;     // interned parameter names
    std::vector<nb::object> defaults;  // empty entry: required
    Py_ssize_t positional = 0;         // the leading parameters a positional argument may fill
    Impl impl = nullptr;
};

namespace detail {

struct FunctionObject {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    PyObject *dict;
    PyObject *weakrefs;
    FunctionSpec *spec;
};

// Upper bound on parameters; every public callable of the package stays far below.
constexpr Py_ssize_t kMaxParams = 12;

PyObject *fail_binding(const FunctionSpec &s, const std::string &what);

Py_ssize_t param_index(const FunctionSpec &s, PyObject *key);

// Binds positional and keyword arguments to parameter slots, Python-style.
bool bind_arguments(const FunctionSpec &s, PyObject *const *args, Py_ssize_t nargs,
                           PyObject *kwnames, PyObject **slots);

// Only Python errors and C++ standard exceptions are translated here. A
// forced unwind (a daemon thread ended at interpreter exit) is not an
// std::exception and must pass through untouched.
PyObject *invoke(const FunctionSpec &s, PyObject **slots);

PyObject *function_vectorcall(PyObject *self, PyObject *const *args, size_t nargsf,
                                     PyObject *kwnames);

PyObject *function_descr_get(PyObject *self, PyObject *obj, PyObject *);

PyObject *function_repr(PyObject *self);

// Everything the function keeps is visible to the collector: its __dict__
// and its default values (as nanobind's nb_func_traverse and CPython's
// partial_traverse do), or a cycle through a default would never be freed.
int function_traverse(PyObject *self, visitproc visit, void *arg);

// Breaks cycles. A cleared default makes its argument required, so a call
// on a half-collected function fails with TypeError rather than crashing.
int function_clear(PyObject *self);

void function_dealloc(PyObject *self);

// One `function` type per extension module; built on first use.
PyTypeObject *function_type();

nb::object make_signature(const Params &params, const char *returns);

nb::dict make_annotations(const Params &params, const char *returns);

}  // namespace detail

// What a Python-visible callable looks like from Python.
struct FunctionInfo {
    const char *module;    // __module__, e.g. "brindle.stowage"
    const char *qualname;  // "CacheStore.store" or "create_duckdb_view"
    const char *doc;       // __doc__, or nullptr for None
    const char *returns;   // return annotation text, or nullptr for none
};

// Builds a callable with the given parameters (self included for methods).
nb::object make_function(const FunctionInfo &info, const Params &params, Impl impl);

nb::object make_function(const FunctionInfo &info, std::initializer_list<Param> params,
                                Impl impl);

// Builds the callables of one module: method(qualname, doc, params, returns, impl).
class FunctionMaker {
public:
    explicit FunctionMaker(const char *module) : module_(module) {}

    nb::object operator()(const char *qualname, const char *doc, std::initializer_list<Param> params,
                          const char *returns, Impl impl) const {
        return make_function({module_, qualname, doc, returns}, params, impl);
    }

    nb::object operator()(const char *qualname, const char *doc, const Params &params, const char *returns,
                          Impl impl) const {
        return make_function({module_, qualname, doc, returns}, params, impl);
    }

private:
    const char *module_;
};

// A class attribute or method for make_class.
struct Member {
    const char *name;
    nb::object value;
};

// Builds a real Python class, type(name, (object,), namespace), so that it
// behaves like one written in Python: class attributes can be replaced,
// instances carry a __dict__, and callers may subclass it.
nb::object make_class(const char *module, const char *name, const char *doc,
                             std::initializer_list<Member> members);

// Wraps a function as a staticmethod (for __new__).
nb::object static_method(nb::object fn);

}  // namespace brindle::interop
