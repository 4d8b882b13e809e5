// Python-visible functions and classes built from C++.
#include "interop/function.h"

namespace brindle::interop {

Param keyword_only(Param p) {
    p.keyword_only = true;
    return p;
}

}  // namespace brindle::interop

namespace brindle::interop::detail {

PyObject *fail_binding(const FunctionSpec &s, const std::string &what) {
    PyErr_SetString(PyExc_TypeError, (s.qualname + "() " + what).c_str());
    return nullptr;
}

Py_ssize_t param_index(const FunctionSpec &s, PyObject *key) {
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

bool bind_arguments(const FunctionSpec &s, PyObject *const *args, Py_ssize_t nargs,
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

PyObject *invoke(const FunctionSpec &s, PyObject **slots) {
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

PyObject *function_vectorcall(PyObject *self, PyObject *const *args, size_t nargsf,
                                     PyObject *kwnames) {
    const FunctionSpec &s = *reinterpret_cast<FunctionObject *>(self)->spec;
    PyObject *slots[kMaxParams] = {};
    if (!bind_arguments(s, args, PyVectorcall_NARGS(nargsf), kwnames, slots))
        return nullptr;
    return invoke(s, slots);
}

PyObject *function_descr_get(PyObject *self, PyObject *obj, PyObject *) {
    if (obj == nullptr || obj == Py_None)
        return Py_NewRef(self);
    return PyMethod_New(self, obj);
}

PyObject *function_repr(PyObject *self) {
    const FunctionSpec &s = *reinterpret_cast<FunctionObject *>(self)->spec;
    return PyUnicode_FromFormat("<function %s at %p>", s.qualname.c_str(), self);
}

int function_traverse(PyObject *self, visitproc visit, void *arg) {
    auto *f = reinterpret_cast<FunctionObject *>(self);
    Py_VISIT(f->dict);
    if (f->spec)
        for (const nb::object &d : f->spec->defaults)
            Py_VISIT(d.ptr());
    Py_VISIT(Py_TYPE(self));
    return 0;
}

int function_clear(PyObject *self) {
    auto *f = reinterpret_cast<FunctionObject *>(self);
    Py_CLEAR(f->dict);
    if (f->spec)
        for (nb::object &d : f->spec->defaults)
            d = nb::object();
    return 0;
}

void function_dealloc(PyObject *self) {
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

PyTypeObject *function_type() {
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

nb::object make_signature(const Params &params, const char *returns) {
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

nb::dict make_annotations(const Params &params, const char *returns) {
    nb::dict ann;
    for (const Param &p : params)
        if (p.annotation)
            ann[p.name] = nb::str(p.annotation);
    if (returns)
        ann["return"] = nb::str(returns);
    return ann;
}

}  // namespace brindle::interop::detail

namespace brindle::interop {

nb::object make_function(const FunctionInfo &info, const Params &params, Impl impl) {
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

nb::object make_function(const FunctionInfo &info, std::initializer_list<Param> params,
                                Impl impl) {
    return make_function(info, Params(params), impl);
}

nb::object make_class(const char *module, const char *name, const char *doc,
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

nb::object static_method(nb::object fn) {
    return checked(PyStaticMethod_New(fn.ptr()));
}

}  // namespace brindle::interop
