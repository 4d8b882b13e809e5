#include "lookout.h"
#include "texts.h"

NB_MODULE(lookout, m) {
    using namespace brindle::lookout;
    // The module's own names, reached at call time so that they can be patched.
    init_module(m, text::kModuleDoc,
                {{"logging"}, {"typing", "Optional"}, {"typing", "List"}, {"typing", "TYPE_CHECKING"},
                 {"pandas", nullptr, "pd"}, {"brindle.errors", "BrindleError"},
                 {"brindle.errors", "BrindleNotFoundError"},
                 // Ours: for the annotation of the values bound to a statement.
                 {"typing", "Any"}, {"typing", "Dict"}, {"typing", "Sequence"}, {"typing", "Union"}});
    init_cache_query(m);
}
