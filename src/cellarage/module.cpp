#include "cellarage.h"
#include "texts.h"

namespace brindle::cellarage {

ModuleScope &scope() {
    static ModuleScope instance;
    return instance;
}

}  // namespace brindle::cellarage

NB_MODULE(cellarage, m) {
    using namespace brindle::cellarage;
    scope().bind(m);
    m.doc() = text::kModuleDoc;
    // The module's own names, reached at call time so that they can be patched.
    scope().import_module("io");
    scope().import_module("os");
    scope().import_module("logging");
    scope().import_from("datetime", "datetime");
    scope().import_from("datetime", "timezone");
    scope().import_module("pandas", "pd");
    scope().import_sibling("errors", {"BrindlePersistenceError"});
    init_coordinator(m);
}
