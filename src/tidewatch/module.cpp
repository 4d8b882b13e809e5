#include "texts.h"
#include "tidewatch.h"

namespace brindle::tidewatch {

ModuleScope &scope() {
    static ModuleScope instance;
    return instance;
}

}  // namespace brindle::tidewatch

NB_MODULE(tidewatch, m) {
    using namespace brindle::tidewatch;
    scope().bind(m);
    m.doc() = text::kModuleDoc;
    // The module's own names, reached at call time so that they can be patched.
    scope().import_module("logging");
    scope().import_module("threading");
    scope().import_module("time");
    scope().import_from("datetime", "datetime");
    scope().import_from("dataclasses", "dataclass");
    // TTLEntry first: the registry's annotations name it.
    init_ttl_entry(m);
    init_ttl_registry(m);
    install_exit_guard();
}
