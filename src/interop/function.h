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
inline Param keyword_only(Param p) {
    p.keyword_only = true;
    return p;
}

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

inline PyObject *fail_binding(const FunctionSpec &s, const std::string &what) {
    PyErr_SetString(PyExc_TypeError, (s.qualname + "() " + what).c_str());
    return nullptr;
}

inline Py_ssize_t param_index(const FunctionSpec &s, PyObject *key) {
    const Py_ssize_t n = static_cast<Py_ssize_t>(s.names.size());
    for (Py_ssize_t i = 0; i < n; ++i)
        if (s.names[i].ptr() == key)
            return i;
    for (Py_ssize_t i = 0; i < n; ++i) {
        int eq = PyUnicode_Compare(s.names[i].ptr(), key);
        if (eq == 0)
            return i;
    }
    return -1;
}

// Binds positional and keyword arguments to parameter slots, Python-style.
inline bool bind_arguments(const FunctionSpec &s, PyObject *const *args, Py_ssize_t nargs,
                           PyObject *kwnames, PyObject **slots) {
    const Py_ssize_t n = static_cast<Py_ssize_t>(s.names.size());
    if (nargs > s.positional) {
        const Py_ssize_t p = s.positional;
        fail_binding(s, "takes " + std::to_string(p) + " positional argument" +
                            (p == 1 ? "" : "s") + " but " + std::to_string(nargs) +
                            (nargs == 1 ? " was" : " were") + " given");
        return false;
    }
    for (Py_ssize_t i = 0; i < nargs; ++i)
        slots[i] = args[i];
    const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        PyObject *key = PyTuple_GET_ITEM(kwnames, k);
        Py_ssize_t idx = param_index(s, key);
        if (idx < 0) {
            fail_binding(s, "got an unexpected keyword argument '" + to_text(key) + "'");
            return false;
        }
        if (slots[idx]) {
            fail_binding(s, "got multiple values for argument '" + to_text(key) + "'");
            return false;
        }
        slots[idx] = args[nargs + k];
    }
    for (Py_ssize_t i = 0; i < n; ++i) {
        if (slots[i])
            continue;
        if (!s.defaults[i].is_valid()) {
            fail_binding(s, "missing required argument: '" + to_text(s.names[i]) + "'");
            return false;
        }
        slots[i] = s.defaults[i].ptr();
    }
    return true;
}

// Only Python errors and C++ standard exceptions are translated here. A
// forced unwind (a daemon thread ended at interpreter exit) is not an
// std::exception and must pass through untouched.
inline PyObject *invoke(const FunctionSpec &s, PyObject **slots) {
    try {
        return s.impl(Args(s.qualname.c_str(), slots, s.names.data(), s.names.size())).release().ptr();
    } catch (nb::python_error &e) {
        e.restore();
    } catch (const nb::builtin_exception &e) {
        PyErr_SetString(PyExc_RuntimeError, e.what());
    } catch (const std::bad_alloc &) {
        PyErr_NoMemory();
    } catch (const std::exception &e) {
        PyErr_SetString(PyExc_RuntimeError, e.what());
    }
    return nullptr;
}

inline PyObject *function_vectorcall(PyObject *self, PyObject *const *args, size_t nargsf,
                                     PyObject *kwnames) {
    const FunctionSpec &s = *reinterpret_cast<FunctionObject *>(self)->spec;
    PyObject *slots[kMaxParams] = {};
    if (!bind_arguments(s, args, PyVectorcall_NARGS(nargsf), kwnames, slots))
        return nullptr;
    return invoke(s, slots);
}

inline PyObject *function_descr_get(PyObject *self, PyObject *obj, PyObject *) {
    if (obj == nullptr || obj == Py_None)
        return Py_NewRef(self);
    return PyMethod_New(self, obj);
}

inline PyObject *function_repr(PyObject *self) {
    const FunctionSpec &s = *reinterpret_cast<FunctionObject *>(self)->spec;
    return PyUnicode_FromFormat("<function %s at %p>", s.qualname.c_str(), self);
}

// Everything the function keeps is visible to the collector: its __dict__
// and its default values (as nanobind's nb_func_traverse and CPython's
// partial_traverse do), or a cycle through a default would never be freed.
inline int function_traverse(PyObject *self, visitproc visit, void *arg) {
    auto *f = reinterpret_cast<FunctionObject *>(self);
    Py_VISIT(f->dict);
    if (f->spec)
        for (const nb::object &d : f->spec->defaults)
            Py_VISIT(d.ptr());
    Py_VISIT(Py_TYPE(self));
    return 0;
}

// Breaks cycles. A cleared default makes its argument required, so a call
// on a half-collected function fails with TypeError rather than crashing.
inline int function_clear(PyObject *self) {
    auto *f = reinterpret_cast<FunctionObject *>(self);
    Py_CLEAR(f->dict);
    if (f->spec)
        for (nb::object &d : f->spec->defaults)
            d = nb::object();
    return 0;
}

inline void function_dealloc(PyObject *self) {
    auto *f = reinterpret_cast<FunctionObject *>(self);
    PyTypeObject *tp = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    if (f->weakrefs)
        PyObject_ClearWeakRefs(self);
    function_clear(self);
    delete f->spec;
    tp->tp_free(self);
    Py_DECREF(tp);
}

// One `function` type per extension module; built on first use.
inline PyTypeObject *function_type() {
    static PyTypeObject *type = [] {
        static PyMemberDef members[] = {
            {"__vectorcalloffset__", T_PYSSIZET, offsetof(FunctionObject, vectorcall), READONLY, nullptr},
            {"__dictoffset__", T_PYSSIZET, offsetof(FunctionObject, dict), READONLY, nullptr},
            {"__weaklistoffset__", T_PYSSIZET, offsetof(FunctionObject, weakrefs), READONLY, nullptr},
            {nullptr, 0, 0, 0, nullptr}};
        static PyGetSetDef getset[] = {
            {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
            {nullptr, nullptr, nullptr, nullptr, nullptr}};
        static PyType_Slot slots[] = {
            {Py_tp_dealloc, reinterpret_cast<void *>(function_dealloc)},
            {Py_tp_traverse, reinterpret_cast<void *>(function_traverse)},
            {Py_tp_clear, reinterpret_cast<void *>(function_clear)},
            {Py_tp_call, reinterpret_cast<void *>(PyVectorcall_Call)},
            {Py_tp_descr_get, reinterpret_cast<void *>(function_descr_get)},
            {Py_tp_repr, reinterpret_cast<void *>(function_repr)},
            {Py_tp_members, members},
            {Py_tp_getset, getset},
            {0, nullptr}};
        static PyType_Spec spec = {
            "brindle.function", sizeof(FunctionObject), 0,
            Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL |
                Py_TPFLAGS_METHOD_DESCRIPTOR,
            slots};
        PyObject *t = PyType_FromSpec(&spec);
        if (!t)
            throw_pending();
        return reinterpret_cast<PyTypeObject *>(t);
    }();
    return type;
}

inline nb::object make_signature(const Params &params, const char *returns) {
    nb::object inspect = import("inspect");
    nb::object parameter = inspect.attr("Parameter");
    nb::object positional = parameter.attr("POSITIONAL_OR_KEYWORD");
    nb::object keyword = parameter.attr("KEYWORD_ONLY");
    nb::object empty = parameter.attr("empty");
    nb::list list;
    for (const Param &p : params) {
        nb::object ann = p.annotation ? nb::object(nb::str(p.annotation)) : empty;
        nb::object def = p.default_value.is_valid() ? p.default_value : empty;
        list.append(parameter(nb::str(p.name), p.keyword_only ? keyword : positional, nb::arg("default") = def,
                              nb::arg("annotation") = ann));
    }
    nb::object ret = returns ? nb::object(nb::str(returns)) : empty;
    return inspect.attr("Signature")(list, nb::arg("return_annotation") = ret);
}

inline nb::dict make_annotations(const Params &params, const char *returns) {
    nb::dict ann;
    for (const Param &p : params)
        if (p.annotation)
            ann[p.name] = nb::str(p.annotation);
    if (returns)
        ann["return"] = nb::str(returns);
    return ann;
}

}  // namespace detail

// What a Python-visible callable looks like from Python.
struct FunctionInfo {
    const char *module;    // __module__, e.g. "brindle.stowage"
    const char *qualname;  // "CacheStore.store" or "create_duckdb_view"
    const char *doc;       // __doc__, or nullptr for None
    const char *returns;   // return annotation text, or nullptr for none
};

// Builds a callable with the given parameters (self included for methods).
inline nb::object make_function(const FunctionInfo &info, const Params &params, Impl impl) {
    if (static_cast<Py_ssize_t>(params.size()) > detail::kMaxParams)
        throw_value_error("too many parameters");
    auto *spec = new FunctionSpec;
    spec->qualname = info.qualname;
    spec->impl = impl;
    for (const Param &p : params) {
        spec->names.push_back(nb::steal(PyUnicode_InternFromString(p.name)));
        spec->defaults.push_back(p.default_value);
        if (!p.keyword_only && spec->positional != static_cast<Py_ssize_t>(spec->names.size()) - 1) {
            delete spec;
            throw_value_error("a positional parameter follows a keyword-only one");
        }
        if (!p.keyword_only)
            ++spec->positional;
    }
    auto *f = PyObject_GC_New(detail::FunctionObject, detail::function_type());
    if (!f) {
        delete spec;
        throw_pending();
    }
    f->vectorcall = detail::function_vectorcall;
    f->dict = nullptr;
    f->weakrefs = nullptr;
    f->spec = spec;
    PyObject_GC_Track(f);
    nb::object fn = nb::steal(reinterpret_cast<PyObject *>(f));

    const char *dot = std::strrchr(info.qualname, '.');
    nb::dict d;
    d["__name__"] = nb::str(dot ? dot + 1 : info.qualname);
    d["__qualname__"] = nb::str(info.qualname);
    d["__module__"] = nb::str(info.module);
    d["__doc__"] = info.doc ? nb::object(nb::str(info.doc)) : nb::none();
    d["__annotations__"] = detail::make_annotations(params, info.returns);
    d["__signature__"] = detail::make_signature(params, info.returns);
    // As a Python function's: typing.get_type_hints() resolves the annotation
    // texts in it.
    if (nb::handle globals = this_module().dict(); globals.is_valid())
        d["__globals__"] = globals;
    f->dict = d.release().ptr();
    return fn;
}

inline nb::object make_function(const FunctionInfo &info, std::initializer_list<Param> params,
                                Impl impl) {
    return make_function(info, Params(params), impl);
}

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
inline nb::object make_class(const char *module, const char *name, const char *doc,
                             std::initializer_list<Member> members) {
    nb::dict ns;
    ns["__module__"] = nb::str(module);
    ns["__qualname__"] = nb::str(name);
    ns["__doc__"] = doc ? nb::object(nb::str(doc)) : nb::none();
    for (const Member &m : members)
        ns[m.name] = m.value;
    nb::object type = nb::borrow(reinterpret_cast<PyObject *>(&PyType_Type));
    return type(nb::str(name), nb::make_tuple(nb::borrow(reinterpret_cast<PyObject *>(&PyBaseObject_Type))), ns);
}

// Wraps a function as a staticmethod (for __new__).
inline nb::object static_method(nb::object fn) {
    return checked(PyStaticMethod_New(fn.ptr()));
}

}  // namespace brindle::interop
