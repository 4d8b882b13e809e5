#include "joinery.h"
#include "texts.h"

NB_MODULE(joinery, m) {
    using namespace brindle::joinery;
    // The typing names callers see on the module; nothing else is imported:
    // the functions drive whatever connection they are given.
    init_module(m, text::kModuleDoc,
                {{"typing", "Any"}, {"typing", "Dict"}, {"typing", "List"}, {"typing", "Optional"},
                 {"typing", "Union"}});
    init_tables(m);
    init_inspection(m);
}
