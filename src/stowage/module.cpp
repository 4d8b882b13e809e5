#include "stowage.h"
#include "texts.h"

namespace brindle::stowage {

ModuleScope &scope() {
    static ModuleScope instance;
    return instance;
}

}  // namespace brindle::stowage

NB_MODULE(stowage, m) {
    using namespace brindle::stowage;
    scope().bind(m);
    m.doc() = text::kModuleDoc;
    // The module's own names, reached at call time so that they can be patched.
    scope().import_module("logging");
    scope().import_module("threading");
    scope().import_module("duckdb");
    scope().import_module("pandas", "pd");
    scope().import_sibling("errors", {"BrindleError"});
    init_cache_store(m);
}
