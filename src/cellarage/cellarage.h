// The persistence module: shared declarations of its translation units.
#pragma once

#include "interop/interop.h"

namespace brindle::cellarage {

using namespace brindle::interop;

inline const char *const kModule = "brindle.cellarage";

// Module attributes.
inline const Name kIo{"io"};
inline const Name kOs{"os"};
inline const Name kLogging{"logging"};
inline const Name kDatetime{"datetime"};
inline const Name kTimezone{"timezone"};
inline const Name kPd{"pd"};
inline const Name kPersistenceError{"BrindlePersistenceError"};

// Instance attributes of PersistenceCoordinator.
inline const Name kConfig{"config"};
inline const Name kConfigResolver{"config_resolver"};
inline const Name kExternalConnector{"external_connector"};
inline const Name kWarmSnapshots{"_warm_snapshots"};
inline const Name kConnectorLock{"_connector_lock"};
// Ours: the stored_at text of this coordinator's last save of each table.
inline const Name kSavedAt{"_saved_at"};

// Configuration attributes.
inline const Name kPersistBasePath{"persist_base_path"};
inline const Name kServiceName{"service_name"};
inline const Name kLogName{"log_name"};
inline const Name kExternalTimeout{"external_timeout_seconds"};

// Methods reached through the instance, as Python code calling self.x() would.
inline const Name kGetDbFilePath{"get_db_file_path"};
inline const Name kIsDbFileBased{"is_db_file_based"};
inline const Name kGetParquetPath{"_get_parquet_path"};
inline const Name kSerializeDf{"_serialize_df"};
inline const Name kDeserializeDf{"_deserialize_df"};

// Small helpers shared by the file and snapshot halves.
nb::object row_count(nb::handle df);  // len(df) as a Python int
// df.to_parquet(target, index=False): the index is never stored; categories
// pandas cannot record go in DataFrame.attrs. An Arrow table is written as it is.
void write_parquet(nb::handle df, nb::handle target);
// pd.read_parquet(source) through the module's own `pd`, with the dtypes the
// file records given back (units Parquet lacks, object strings, categories).
nb::object read_parquet(nb::handle source);
// The per-coordinator lock around connector calls (a threading.RLock).
nb::object connector_lock(nb::handle self);
[[noreturn]] void raise_persistence_error(const std::string &message, const nb::python_error &cause);
[[noreturn]] void raise_persistence_error(const std::string &message);
// `tmpl` with {database} and {table} shown (when given) and {error} the
// caught error's text.
std::string failure_message(const char *tmpl, nb::handle database, nb::handle table,
                            const nb::python_error &e);

// Runs body; a failure of the Exception family is raised again as
// BrindlePersistenceError(failure_message(failure, ...)), chained to it.
template <typename Body>
auto persistence_step(const char *failure, nb::handle database, nb::handle table, Body &&body)
    -> decltype(body()) {
    return guarded(body, [&](nb::python_error &e) -> decltype(body()) {
        raise_persistence_error(failure_message(failure, database, table, e), e);
    });
}

// Method implementations (self first, as bound by make_function).
nb::object coordinator_init(const Args &a);

nb::object get_db_file_path(const Args &a);
nb::object is_db_file_based(const Args &a);
nb::object get_parquet_path(const Args &a);
nb::object should_persist_table(const Args &a);
nb::object persist_table_to_parquet(const Args &a);
nb::object load_table_from_parquet(const Args &a);
nb::object list_persisted_parquet_tables(const Args &a);

nb::object has_external_connector(const Args &a);
nb::object serialize_df(const Args &a);
nb::object deserialize_df(const Args &a);
nb::object save_to_external(const Args &a);
nb::object load_from_external(const Args &a);
nb::object warm_all_from_external(const Args &a);
nb::object get_warm_snapshots(const Args &a);
nb::object delete_from_external(const Args &a);
nb::object remove_stale_temp_files(const Args &a);

// Adds the PersistenceCoordinator class to the module.
void init_coordinator(nb::module_ &m);
// Adds the PostgresConnector class to the module.
void init_postgres_connector(nb::module_ &m);

}  // namespace brindle::cellarage
