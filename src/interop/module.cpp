// Module-level names reached at call time.
#include "module.h"

namespace brindle::interop {

nb::object ModuleScope::get(const Name &name) const {
    PyObject *v = PyDict_GetItemWithError(dict_, name.ptr());
    if (!v) {
        if (!PyErr_Occurred())
            PyErr_Format(PyExc_AttributeError, "module '%s' has no attribute '%U'", PyModule_GetName(module_),
                         name.ptr());
        throw_pending();
    }
    return nb::borrow(v);
}

nb::object ModuleScope::logger() const {
    static const Name kLogging{"logging"};
    static const Name kModuleName{"__name__"};
    return get_logger(get(kLogging), get(kModuleName));
}

void ModuleScope::set(const char *name, nb::handle value) const {
    if (PyDict_SetItemString(dict_, name, value.ptr()) != 0)
        throw_pending();
}

void ModuleScope::import_from(const char *module, const char *name, const char *as) const {
    nb::object mod = import(module);
    set(as ? as : name, mod.attr(name));
}

void ModuleScope::import_module(const char *module, const char *as) const { set(as ? as : module, import(module)); }

ModuleScope &this_module() {
    static ModuleScope instance;
    return instance;
}

nb::object init_with_module_logger(const Args &a) {
    set_attr(a[0], kLogger, this_module().logger());
    return nb::none();
}

void init_module(nb::module_ &m, const char *doc, std::initializer_list<Import> imports) {
    ModuleScope &scope = this_module();
    scope.bind(m);
    m.doc() = doc;
    for (const Import &i : imports) {
        if (i.name)
            scope.import_from(i.module, i.name, i.as);
        else
            scope.import_module(i.module, i.as);
    }
}

}  // namespace brindle::interop
