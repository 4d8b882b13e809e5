#include "quaymaster.h"
#include "texts.h"

namespace brindle::quaymaster {

ModuleScope &scope() {
    static ModuleScope instance;
    return instance;
}

}  // namespace brindle::quaymaster

NB_MODULE(quaymaster, m) {
    using namespace brindle::quaymaster;
    scope().bind(m);
    m.doc() = text::kModuleDoc;
    // The module's own names, in the order a Python module would import them,
    // reached at call time so that they can be patched.
    scope().import_module("logging");
    scope().import_module("threading");
    for (const char *name : {"Optional", "Dict", "List", "Tuple"})
        scope().import_from("typing", name);
    scope().import_from("datetime", "datetime");
    scope().import_module("duckdb");
    scope().import_module("pandas", "pd");
    scope().import_sibling("config", {"BrindleConfig", "CacheConfigResolver"});
    scope().import_sibling("stowage", {"CacheStore"});
    scope().import_sibling("lookout", {"CacheQuery"});
    scope().import_sibling("tidewatch", {"TTLRegistry"});
    scope().import_sibling("cellarage", {"PersistenceCoordinator"});
    scope().import_sibling("errors", {"BrindleError", "BrindleNotFoundError", "BrindleLockError", "BrindleStaleError"});
    init_manager(m);
}
