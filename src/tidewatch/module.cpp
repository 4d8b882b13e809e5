#include "texts.h"
#include "tidewatch.h"

NB_MODULE(tidewatch, m) {
    using namespace brindle::tidewatch;
    // The module's own names, reached at call time so that they can be patched.
    init_module(m, text::kModuleDoc,
                {{"logging"}, {"threading"}, {"time"}, {"datetime", "datetime"},
                 {"dataclasses", "dataclass"}});
    // TTLEntry first: the registry's annotations name it.
    init_ttl_entry(m);
    init_ttl_registry(m);
    install_exit_guard();
}
