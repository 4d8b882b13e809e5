// The cache manager module: shared declarations of its translation units.
//
// Locks, in the order they are taken when nested (never the other way); the
// full table is docs/concurrency.md:
//   1. a table's writer record (interop/turns.h): its write, taken by every
//      store, invalidation, expiry and reload of another process's news,
//      within lock_timeout_seconds; refused at once to the thread holding it;
//   2. a connection key's write lock (threading.Lock in _locks), within what
//      is left of the same timeout, through its own acquire(), which waits
//      with the GIL released; refused at once to the thread holding it;
//   3. _connection_lock (threading.Lock): guards _connections and _locks;
//      held only for a lookup, an insertion or a removal and the open or
//      close tied to it; no log record is emitted and no resolver or
//      coordinator code runs while it is held;
//   4. the registry's _registry_lock (inside TTLRegistry's own methods);
//   5. the C++ mutexes of ConnectionUse and of the writer records, held only
//      for a few map operations, waited for with the GIL released, and never
//      held while Python code runs.
// A store's persistence runs after 1 and 2 are let go, under the table's
// persistence turn (part of its writer record), waited for within
// external_timeout_seconds.
#pragma once

#include "connections/connections.h"
#include "duck/duckdb.h"
#include "interop/dtypes.h"
#include "interop/turns.h"
#include "interop/interop.h"
#include "interop/mapping.h"

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>

namespace brindle::quaymaster {

namespace nb = nanobind;
using namespace brindle::interop;
using connections::ConnectionUse;
using connections::HeldWriteLock;
using connections::WriteDeadline;
using connections::close_connection;
using connections::forget_instances;
using connections::mark_handed_out;
using connections::retire_connection;
using connections::seconds_setting;

constexpr const char *kModuleName = "brindle.quaymaster";

// Module attributes.
inline const Name kLogging{"logging"};
inline const Name kThreading{"threading"};
inline const Name kDuckdb{"duckdb"};
inline const Name kBrindleConfig{"BrindleConfig"};
inline const Name kCacheConfigResolver{"CacheConfigResolver"};
inline const Name kCacheStore{"CacheStore"};
inline const Name kCacheQuery{"CacheQuery"};
inline const Name kTTLRegistry{"TTLRegistry"};
inline const Name kPersistenceCoordinator{"PersistenceCoordinator"};
inline const Name kBrindleNotFoundError{"BrindleNotFoundError"};
inline const Name kBrindleLockError{"BrindleLockError"};

// Instance attributes, in the order __init__ creates them.
inline const Name kInitialized{"_initialized"};
inline const Name kConfig{"config"};
inline const Name kConnections{"_connections"};
inline const Name kLocks{"_locks"};
inline const Name kStore{"_store"};
inline const Name kQuery{"_query"};
inline const Name kTtlRegistry{"_ttl_registry"};
inline const Name kConfigResolver{"_config_resolver"};
inline const Name kPersistence{"_persistence"};
inline const Name kConnectionLock{"_connection_lock"};
inline const Name kStateAttr{"_state"};  // ours: the C++ state behind stats() and get_or_load()
inline const Name kAsyncPool{"_async_pool"};  // ours: the awaitable methods' thread pool, or None

// Configuration attributes.
inline const Name kDefaultMode{"default_mode"};
inline const Name kDefaultTtl{"default_tidewatch_minutes"};
using connections::kLockTimeoutSeconds;
inline const Name kExternalTimeoutSeconds{"external_timeout_seconds"};

// Methods reached through the instance, as Python code calling self.x() would,
// so that a patched method takes effect.
inline const Name kGetLockKey{"_get_lock_key"};
inline const Name kGetLock{"_get_lock"};
inline const Name kGetConnection{"_get_connection"};
inline const Name kStoreMethod{"store"};
inline const Name kExistsMethod{"exists"};
inline const Name kQueryMethod{"query"};
inline const Name kQueryArrowMethod{"query_arrow"};
inline const Name kCleanupTable{"_cleanup_table"};
inline const Name kCleanupDatabase{"_cleanup_database"};
inline const Name kWarmInternal{"_warm_from_external_internal"};
inline const Name kWarmFromParquet{"warm_from_parquet"};
inline const Name kExecuteSqlMethod{"execute_sql"};
inline const Name kGetOrLoadMethod{"get_or_load"};
inline const Name kInvalidateMethod{"invalidate"};
inline const Name kGetTableInfoMethod{"get_table_info"};
inline const Name kStatsMethod{"stats"};
inline const Name kWarmFromExternalMethod{"warm_from_external"};
inline const Name kReloadMethod{"reload"};
inline const Name kCleanupExpiredTable{"_cleanup_expired_table"};

// Methods of the components and of the objects they hand back.
inline const Name kClose{"close"};
inline const Name kHasExternalConnector{"has_external_connector"};
inline const Name kLock{"Lock"};
inline const Name kExists{"exists"};
inline const Name kIsExpired{"is_expired"};
inline const Name kGetAllEntries{"get_all_entries"};
inline const Name kIsSchedulerManaged{"is_scheduler_managed"};
inline const Name kRemove{"remove"};
inline const Name kRemoveDatabase{"remove_database"};

// --- helpers shared by the manager's translation units ------------------------

inline nb::object config_of(nb::handle self) { return attr(self, kConfig); }

// self._config_resolver.get_mode(database, self.config.default_mode)
nb::object mode_of(nb::handle self, nb::handle database);
// mode == "single_db"
bool is_single_db(nb::handle mode);

// A store of this process, from its swap until its persistence has ended:
// news of another process meanwhile is put off (the store's version is
// noted after it) and looked at again once the last such store is done.
class LocalStore {
public:
    LocalStore(WriterRecord &record, bool local) : record_(local ? &record : nullptr) {
        if (record_)
            record_->local_started();
    }
    ~LocalStore() { finish(); }
    LocalStore(const LocalStore &) = delete;
    LocalStore &operator=(const LocalStore &) = delete;
    // True when news put off meanwhile is to be looked at again.
    bool finish() {
        WriterRecord *record = record_;
        record_ = nullptr;
        return record && record->local_finished();
    }

private:
    WriterRecord *record_;
};

// A table's key in the manager's C++ maps: database and table text.
std::string table_key(nb::handle database, nb::handle table);
// The start every table_key of the database shares.
std::string database_key(nb::handle database);

// "{database}.{table}" and the like, filled from Python strings.
std::string fill_names(const char *tmpl, nb::handle database, nb::handle table);

// Raises the module's error class `name` with `message`, not chained.
[[noreturn]] void raise_error(const Name &name, const std::string &message);

// The query layer's query() of the table on its connection, counted as a
// reader of the table and as a query served; an invalid object when the table
// has no connection or its connection has been retired. Takes no freshness
// check of its own. `params` (invalid or None: none) are bound by DuckDB.
nb::object read_table(nb::handle self, nb::handle database, nb::handle table, nb::handle sql_where,
                      nb::handle columns, nb::handle limit, nb::handle params);

// --- dtypes of stored frames (stored_dtypes.cpp) ---------------------------------

// The stored frame's dtypes its answers may not carry; null when none. Read
// before the write lock is taken: it may look through object columns.
std::shared_ptr<const KeptDtypes> dtypes_to_restore(nb::handle df);
// The table was stored from a frame with these kept dtypes (null: none).
void dtypes_stored(nb::handle self, nb::handle database, nb::handle table, std::shared_ptr<const KeptDtypes> kept);
// The table of that table_key was dropped; with whole_database, every table
// whose key starts with `key_start` (a database_key; "" for all).
void forget_dtypes(nb::handle self, const std::string &key_start, bool whole_database);
// A query() answer of the table: its columns read straight from a stored
// column get their stored dtype back where that loses nothing, in place.
void restore_answer_dtypes(nb::handle self, nb::handle database, nb::handle table, nb::handle columns,
                           nb::handle frame);

// --- names that differ only in case ---------------------------------------------

// The registered name of another table of the database that DuckDB reads as
// `table` (the same letters in another case); invalid when there is none.
nb::object other_spelling(nb::handle self, nb::handle database, nb::handle table);
// Raises BrindleError when other_spelling() finds one.
void refuse_case_collision(nb::handle self, nb::handle database, nb::handle table);
// `table` as the registry spells it: itself when registered, else the other
// spelling when there is one, else itself.
nb::object cached_spelling(nb::handle self, nb::handle database, nb::handle table);

// --- counters for stats() ------------------------------------------------------------

enum class Event {
    Store,
    Query,
    NotFound,
    StoreFailure,
    Expiration,
    Invalidation,
    ParquetFailure,
    ExternalFailure,
    ResultHit,
    ResultMiss,
};

// Counts one event of a table. A table has counters from its first successful
// swap (Event::Store) on; other events of a table never stored in this process
// are not counted, so that asking for arbitrary names costs no memory.
void count_event(nb::handle self, nb::handle database, nb::handle table, Event event);

// How long the table's last successful store() took, persistence included.
void record_store_time(nb::handle self, nb::handle database, nb::handle table, double milliseconds);

// --- method implementations, each (self, ...) as make_function binds them -----

nb::object manager_new(const Args &a);
nb::object manager_init(const Args &a);
nb::object get_persistence(const Args &a);

nb::object get_lock_key(const Args &a);
nb::object get_lock(const Args &a);
nb::object get_connection(const Args &a);

nb::object store(const Args &a);
nb::object query(const Args &a);
nb::object query_arrow(const Args &a);
nb::object execute_sql(const Args &a);
nb::object exists(const Args &a);
nb::object get_last_updated(const Args &a);
nb::object get_table_info(const Args &a);
nb::object get_raw_connection(const Args &a);
nb::object stats(const Args &a);
nb::object get_or_load(const Args &a);

nb::object invalidate(const Args &a);
nb::object cleanup_table(const Args &a);
nb::object cleanup_database(const Args &a);
nb::object cleanup_expired_table(const Args &a);

nb::object warm_from_external_internal(const Args &a);
nb::object warm_from_external(const Args &a);
nb::object warm_from_parquet(const Args &a);
nb::object reload(const Args &a);
nb::object shutdown(const Args &a);

// --- awaitable methods -----------------------------------------------------------------

// What a(method)(self, ...) returns: an awaitable that runs
// self.<method>(...) with the same arguments on the manager's thread pool.
nb::object run_on_pool(const Args &a, const Name &method);

// Shuts the pool down (calls not started are cancelled); the next awaitable
// call makes a new one.
void shut_async_pool(nb::handle self);

// Adds the BrindleManager class to the module.
void init_manager(nb::module_ &m);
// Adds the PrometheusCollector class to the module.
void init_metrics(nb::module_ &m);

}  // namespace brindle::quaymaster
