#include "joinery.h"
#include "texts.h"

namespace brindle::joinery {

ModuleScope &scope() {
    static ModuleScope instance;
    return instance;
}

}  // namespace brindle::joinery

NB_MODULE(joinery, m) {
    using namespace brindle::joinery;
    scope().bind(m);
    m.doc() = text::kModuleDoc;
    // The typing names callers see on the module; nothing else is imported:
    // the functions drive whatever connection they are given.
    for (const char *name : {"Any", "Dict", "List", "Optional", "Union"})
        scope().import_from("typing", name);
    init_tables(m);
    init_inspection(m);
}
