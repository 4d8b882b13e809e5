#include "cellarage.h"
#include "texts.h"

NB_MODULE(cellarage, m) {
    using namespace brindle::cellarage;
    // The module's own names, reached at call time so that they can be patched.
    init_module(m, text::kModuleDoc,
                {{"io"}, {"os"}, {"logging"}, {"datetime", "datetime"}, {"datetime", "timezone"},
                 {"pandas", nullptr, "pd"}, {"brindle.errors", "BrindlePersistenceError"}});
    init_coordinator(m);
    init_postgres_connector(m);
}
