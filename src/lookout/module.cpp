#include "lookout.h"
#include "texts.h"

namespace brindle::lookout {

ModuleScope &scope() {
    static ModuleScope instance;
    return instance;
}

}  // namespace brindle::lookout

NB_MODULE(lookout, m) {
    using namespace brindle::lookout;
    scope().bind(m);
    m.doc() = text::kModuleDoc;
    // The module's own names, reached at call time so that they can be patched.
    scope().import_module("logging");
    scope().import_from("typing", "Optional");
    scope().import_from("typing", "List");
    scope().import_from("typing", "TYPE_CHECKING");
    scope().import_module("pandas", "pd");
    scope().import_sibling("errors", {"BrindleError", "BrindleNotFoundError"});
    init_cache_query(m);
}
