#include "signalman.h"
#include "texts.h"

NB_MODULE(signalman, m) {
    using namespace brindle::signalman;
    // The module's own names, reached at call time so that they can be
    // patched. psycopg is imported when the first connection is made, so
    // that a service that leaves this off needs no driver.
    init_module(m, text::kModuleDoc,
                {{"json"}, {"logging"}, {"os"}, {"socket"}, {"threading"}, {"time"}, {"datetime"},
                 {"typing", "Any"}, {"typing", "Callable"}, {"typing", "Dict"}, {"typing", "Optional"},
                 {"typing", "Tuple"}, {"pandas", nullptr, "pd"}, {"brindle.config", "BrindleConfig"}});
    init_signalman(m);
}
