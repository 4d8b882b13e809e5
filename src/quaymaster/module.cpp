#include "quaymaster.h"
#include "cached_reads.h"
#include "texts.h"

NB_MODULE(quaymaster, m) {
    using namespace brindle::quaymaster;
    // The module's own names, in the order a Python module would import them,
    // reached at call time so that they can be patched.
    init_module(m, text::kModuleDoc,
                {{"logging"}, {"threading"}, {"typing", "Optional"}, {"typing", "Dict"}, {"typing", "List"},
                 {"typing", "Tuple"}, {"datetime", "datetime"}, {"duckdb"}, {"pandas", nullptr, "pd"},
                 {"brindle.config", "BrindleConfig"}, {"brindle.config", "CacheConfigResolver"},
                 {"brindle.stowage", "CacheStore"}, {"brindle.lookout", "CacheQuery"},
                 {"brindle.tidewatch", "TTLRegistry"}, {"brindle.cellarage", "PersistenceCoordinator"},
                 {"brindle.errors", "BrindleError"}, {"brindle.errors", "BrindleNotFoundError"},
                 {"brindle.errors", "BrindleLockError"}, {"brindle.errors", "BrindleStaleError"},
                 // Ours: for the annotations of stats() and get_or_load().
                 {"typing", "Any"}, {"typing", "Callable"}, {"typing", "Sequence"}, {"typing", "Union"},
                 // Ours: the cross-process signalling, used when a service turns it on.
                 {"brindle.signalman", "Signalman"},
                 // Ours: the connector built for config.external_dsn.
                 {"brindle.cellarage", "PostgresConnector"}});
    init_manager(m);
    init_metrics(m);
    init_cached_reads();
}
