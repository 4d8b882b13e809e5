// Module-level names reached at call time.
//
// Each module keeps the names it imports (duckdb, pd, BrindleError, ...) as
// attributes of itself; C++ looks them up in the module's dict on every use,
// so that mock.patch("brindle.<module>.<name>") takes effect.
#pragma once

#include "args.h"
#include "core.h"
#include "logging.h"

#include <initializer_list>

namespace brindle::interop {

class ModuleScope {
public:
    // Called once from the module's init with the module object.
    void bind(nb::module_ &m) {
        module_ = m.ptr();
        dict_ = PyModule_GetDict(m.ptr());
    }

    nb::handle module() const { return module_; }

    // The module's namespace; an invalid handle before bind().
    nb::handle dict() const { return dict_; }

    // The module attribute `name` as it stands now.
    nb::object get(const Name &name) const;

    // logging.getLogger(__name__) through the module's own `logging` name.
    nb::object logger() const;

    void set(const char *name, nb::handle value) const;

    // from <module> import <name>, bound here as `as`.
    void import_from(const char *module, const char *name, const char *as = nullptr) const;

    void import_module(const char *module, const char *as = nullptr) const;

private:
    PyObject *module_ = nullptr;  // borrowed: a loaded module lives until exit
    PyObject *dict_ = nullptr;
};

// The scope of the extension module this code is built into. Each module is
// a shared library of its own (hidden visibility, loaded RTLD_LOCAL) linking
// its own copy of this library, so each has its own instance, as it has its
// own `function` type.
ModuleScope &this_module();

// An __init__ that only gives the instance its module's logger, as
// `self.logger = logging.getLogger(__name__)` would.
nb::object init_with_module_logger(const Args &a);

// A name a module keeps as its own attribute: `import <module> [as <as>]`,
// or with `name`, `from <module> import <name> [as <as>]`.
struct Import {
    const char *module;
    const char *name = nullptr;
    const char *as = nullptr;
};

// The start of every module's init: binds this_module() to the module, sets
// its docstring and imports, in order, the names it keeps.
void init_module(nb::module_ &m, const char *doc, std::initializer_list<Import> imports);

}  // namespace brindle::interop
