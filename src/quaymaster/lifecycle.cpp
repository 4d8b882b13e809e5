// The manager's life: construction, warm-ups, reload and shutdown.
#include "cached_reads.h"
#include "interop/singleton.h"
#include "quaymaster.h"
#include "signals.h"
#include "state.h"
#include "texts.h"

#include <vector>

namespace brindle::quaymaster {
namespace {

const Name kFromEnv{"from_env"};
const Name kGetLogger{"getLogger"};
const Name kLogName{"log_name"};
const Name kConfigFilePath{"config_file_path"};
const Name kCleanupIntervalMinutes{"cleanup_interval_minutes"};
const Name kStartCleanupThread{"start_cleanup_thread"};
const Name kStopCleanupThread{"stop_cleanup_thread"};
const Name kWarmAllFromExternal{"warm_all_from_external"};
const Name kGetWarmSnapshots{"get_warm_snapshots"};
const Name kLoadFromExternal{"load_from_external"};
const Name kListPersistedParquetTables{"list_persisted_parquet_tables"};
const Name kLoadTableFromParquet{"load_table_from_parquet"};
const Name kItems{"items"};
const Name kClear{"clear"};
const Name kExternalDsn{"external_dsn"};
const Name kSignalEnabled{"signal_enabled"};
const Name kPostgresConnector{"PostgresConnector"};
const Name kExternalConnector{"external_connector"};
// Ours: True when the manager built its connector from config.external_dsn,
// and so closes it at shutdown (a connector the service passed is the service's).
const Name kOwnsConnector{"_owns_connector"};

nb::object persistence_of(nb::handle self) { return attr(self, kPersistence); }

bool has_connector(nb::handle self) { return truth(call_method(persistence_of(self), kHasExternalConnector)); }

// self.store(database=..., table=..., df=..., scheduler_managed=True)
void store_warmed(nb::handle self, nb::handle database, nb::handle table, nb::handle df) {
    attr(self, kStoreMethod)(nb::arg("database") = database, nb::arg("table") = table, nb::arg("df") = df,
                             nb::arg("scheduler_managed") = true);
}

std::string warm_message(const char *tmpl, nb::handle database, nb::handle table, const std::string &detail) {
    return fill(tmpl, {{"database", to_text(database)},
                       {"table", to_text(table)},
                       {"rows", detail},
                       {"error", detail}});
}

// Warms one item; a failure of the Exception family is logged and absorbed.
// A Parquet file that is gone by the time it is read loads as None: skipped.
template <typename Load>
void warm_one(nb::handle self, nb::handle database, nb::handle table, const char *done, const char *failed,
              bool skip_none, Load &&load) {
    guarded(
        [&] {
            nb::object df = load();
            if (skip_none && is_none(df))
                return;
            store_warmed(self, database, table, df);
            log(logger_of(self), Level::Info, [&] { return warm_message(done, database, table, length_text(df)); });
        },
        [&](nb::python_error &e) {
            log(logger_of(self), Level::Warning,
                [&] { return warm_message(failed, database, table, error_text(e)); });
        });
}

// Temporary Parquet files of writers that died; best-effort (a coordinator
// without the method, or a failure, changes nothing).
void remove_stale_temp_files(nb::handle self) {
    static const Name kRemoveStale{text::kRemoveStaleTempFiles};
    ignore_failure([&] {
        nb::object persistence = persistence_of(self);
        if (PyObject_HasAttr(persistence.ptr(), kRemoveStale.ptr()))
            call_method(persistence, kRemoveStale);
    });
}

// The connector the manager uses: the one given, or, with none given and
// config.external_dsn set, a PostgresConnector on that database (invalid
// when there is none to build).
nb::object connector_to_build(nb::handle config) {
    nb::object dsn = optional_attr(config, kExternalDsn);
    if (!dsn.is_valid() || !truth(dsn))
        return nb::object();
    return this_module().get(kPostgresConnector)(nb::arg("dsn") = dsn);
}

// Signalling announces snapshots: without a connector there are none, so a
// refresh would reach this process only.
void warn_if_signalling_alone(nb::handle self) {
    nb::object enabled = optional_attr(config_of(self), kSignalEnabled);
    if (enabled.is_valid() && truth(enabled) && !has_connector(self))
        log(logger_of(self), Level::Warning, [] { return std::string(text::kSignalWithoutConnector); });
}

void close_own_connector(nb::handle self) {
    nb::object owns = optional_attr(self, kOwnsConnector);
    if (!owns.is_valid() || !truth(owns))
        return;
    guarded([&] { call_method(attr(persistence_of(self), kExternalConnector), kClose); },
            [&](nb::python_error &e) {
                log(logger_of(self), Level::Error,
                    [&] { return fill(text::kErrorClosingConnector, {{"error", error_text(e)}}); });
            });
}


// The tables of a connection shutdown closed are gone (a database file keeps
// them on disk, but the cache no longer serves them): their registry entries
// go too, so that exists(), query() and get_table_info() agree that they are
// not cached, and stats() lists none of them.
void forget_tables_of(nb::handle self, const std::vector<nb::object> &keys) {
    nb::object registry = attr(self, kTtlRegistry);
    for (const nb::object &key : keys) {
        nb::object database = key[0], table = key[1];
        if (is_none(table))
            call_method(registry, kRemoveDatabase, database);
        else
            call_method(registry, kRemove, database, table);
    }
}

}  // namespace

nb::object manager_new(const Args &a) { return singleton_new(a[0]); }

nb::object manager_init(const Args &a) {
    nb::handle self = a[0], config_arg = a[1];
    nb::object connector = nb::borrow(a[2]);
    if (truth(attr(self, kInitialized)))
        return nb::none();
    nb::object config = truth(config_arg) ? nb::borrow(config_arg)
                                          : call_method(this_module().get(kBrindleConfig), kFromEnv);
    set_attr(self, kConfig, config);
    set_attr(self, kLogger, call_method(this_module().get(kLogging), kGetLogger, attr(config_of(self), kLogName)));
    set_attr(self, kConnections, nb::dict());
    set_attr(self, kLocks, nb::dict());
    set_attr(self, kStore, call(this_module().get(kCacheStore)));
    set_attr(self, kQuery, call(this_module().get(kCacheQuery)));
    set_attr(self, kTtlRegistry, call(this_module().get(kTTLRegistry)));
    set_attr(self, kConfigResolver, call(this_module().get(kCacheConfigResolver), attr(config_of(self), kConfigFilePath)));
    nb::object built = is_none(connector) ? connector_to_build(config_of(self)) : nb::object();
    if (built.is_valid())
        connector = built;
    set_attr(self, kPersistence,
             this_module().get(kPersistenceCoordinator)(nb::arg("config") = config_of(self),
                                                  nb::arg("config_resolver") = attr(self, kConfigResolver),
                                                  nb::arg("external_connector") = connector));
    set_attr(self, kConnectionLock, call_method(this_module().get(kThreading), kLock));
    set_attr(self, kOwnsConnector, py_bool(built.is_valid()));
    set_attr(self, kStateAttr, new_state());
    set_attr(self, kAsyncPool, Py_None);
    attr(attr(self, kTtlRegistry), kStartCleanupThread)(
        nb::arg("cleanup_callback") = attr(self, kCleanupExpiredTable),
        nb::arg("interval_minutes") = attr(config_of(self), kCleanupIntervalMinutes));
    log(logger_of(self), Level::Info, [&] {
        nb::object cfg = config_of(self);
        return fill(text::kInitialized, {{"mode", to_text(attr(cfg, kDefaultMode))}, {"ttl", to_text(attr(cfg, kDefaultTtl))}});
    });
    set_attr(self, kInitialized, Py_True);
    remove_stale_temp_files(self);
    warn_if_signalling_alone(self);
    signal_open(self);
    if (has_connector(self))
        guarded([&] { call_method(self, kWarmInternal); },
                [&](nb::python_error &e) {
                    log(logger_of(self), Level::Warning,
                        [&] { return fill(text::kAutoWarmFailed, {{"error", error_text(e)}}); });
                });
    signal_start(self);
    return nb::none();
}

nb::object get_persistence(const Args &a) { return persistence_of(a[0]); }

nb::object warm_from_external_internal(const Args &a) {
    nb::handle self = a[0];
    nb::object persistence = persistence_of(self);
    if (!truth(call_method(persistence, kWarmAllFromExternal)))
        return nb::none();
    nb::object snapshots = call_method(persistence, kGetWarmSnapshots);
    for (nb::handle item : snapshots) {
        std::vector<nb::object> parts = unpack(item, 3);
        warm_one(self, parts[0], parts[1], text::kWarmedExternal, text::kWarmFailed, false, [&] { return parts[2]; });
    }
    return nb::none();
}

nb::object warm_from_external(const Args &a) {
    nb::handle self = a[0], database = a.optional_str(1), table = a.optional_str(2);
    if (!has_connector(self))
        raise_error(kBrindleError, text::kNoConnector);
    if (database.is_valid() && truth(database) && table.is_valid() && truth(table)) {
        nb::object df = call_method(persistence_of(self), kLoadFromExternal, database, table);
        if (is_none(df))
            return nb::none();
        store_warmed(self, database, table, df);
        log(logger_of(self), Level::Info, [&] { return fill_names(text::kReloadedExternal, database, table); });
        return nb::none();
    }
    call_method(self, kWarmInternal);
    return nb::none();
}

nb::object warm_from_parquet(const Args &a) {
    nb::handle self = a[0];
    remove_stale_temp_files(self);
    nb::object tables = call_method(persistence_of(self), kListPersistedParquetTables);
    for (nb::handle item : tables) {
        std::vector<nb::object> parts = unpack(item, 2);
        warm_one(self, parts[0], parts[1], text::kWarmedParquet, text::kWarmParquetFailed, true, [&] {
            return call_method(persistence_of(self), kLoadTableFromParquet, parts[0], parts[1]);
        });
    }
    return nb::none();
}

nb::object reload(const Args &a) {
    nb::handle self = a[0];
    call_method(self, kWarmFromParquet);
    if (has_connector(self))
        call_method(self, kWarmInternal);
    log(logger_of(self), Level::Info, [] { return std::string(text::kReloadComplete); });
    return nb::none();
}

nb::object shutdown(const Args &a) {
    nb::handle self = a[0];
    nb::object logger = logger_of(self);
    log(logger, Level::Info, [] { return std::string(text::kShuttingDown); });
    call_method(attr(self, kTtlRegistry), kStopCleanupThread);
    shut_async_pool(self);
    signal_stop(self);
    std::vector<nb::object> keys;
    std::vector<connections::CloseOutcome> outcomes = connections::close_all(self, keys);
    forget_instances(self, nb::handle());
    // Records are written once _connection_lock is free, in the order of the closes.
    connections::log_outcomes(self, outcomes);
    forget_tables_of(self, keys);
    forget_all_answers(self);
    close_own_connector(self);
    log(logger, Level::Info, [] { return std::string(text::kShutdownComplete); });
    return nb::none();
}

}  // namespace brindle::quaymaster
