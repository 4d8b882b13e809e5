#include "stowage.h"
#include "texts.h"

NB_MODULE(stowage, m) {
    using namespace brindle::stowage;
    // The module's own names, reached at call time so that they can be patched.
    init_module(m, text::kModuleDoc,
                {{"logging"}, {"threading"}, {"duckdb"}, {"pandas", nullptr, "pd"},
                 {"brindle.errors", "BrindleError"}});
    init_cache_store(m);
}
