// Everything of the persistence coordinator that callers see as text:
// docstrings, statements, log lines and error messages.
#pragma once

namespace brindle::cellarage::text {

constexpr const char *kModuleDoc =
    "Persistence for brindle - database files, Parquet tables and external snapshots.";

constexpr const char *kClassDoc =
    "Decides where cached data lives outside process memory and moves it there and back.\n"
    "\n"
    "Three optional scenarios, driven by configuration: DuckDB databases opened on\n"
    "files, single tables written as Parquet files under the base path, and\n"
    "DataFrame snapshots stored as Parquet bytes in an external database reached\n"
    "through a connector supplied by the service.";

// Method docstrings.
constexpr const char *kInitDoc = "Keep the configuration, resolver and connector; set up the logger.";
constexpr const char *kGetDbFilePathDoc =
    "Return the database's .duckdb file path (creating its directory), or None for in-memory.";
constexpr const char *kIsDbFileBasedDoc = "Return True when the database is opened on a file.";
constexpr const char *kGetParquetPathDoc =
    "Return the Parquet file path of a table, or None when no base path is configured.";
constexpr const char *kShouldPersistTableDoc =
    "Return whether the table is written to Parquet (never for a file-based database).";
constexpr const char *kPersistTableDoc = "Write the DataFrame to the table's Parquet file.";
constexpr const char *kLoadTableDoc =
    "Read the table's Parquet file, or return None when there is none.";
constexpr const char *kListTablesDoc =
    "List the (database, table) pairs that have a Parquet file under the base path.";
constexpr const char *kHasConnectorDoc = "Return True when an external connector was given.";
constexpr const char *kSerializeDoc = "Encode a DataFrame as Parquet bytes.";
constexpr const char *kDeserializeDoc = "Decode Parquet bytes into a DataFrame.";
constexpr const char *kSaveDoc = "Store a snapshot of the DataFrame in the external database.";
constexpr const char *kLoadDoc =
    "Load one table's snapshot from the external database, or None when there is none.";
constexpr const char *kWarmAllDoc =
    "Load every snapshot of this service; return {database: [table, ...]}.\n"
    "\n"
    "The DataFrames are handed over by get_warm_snapshots().";
constexpr const char *kGetWarmSnapshotsDoc =
    "Hand over the (database, table, DataFrame) triples of the last warm-up, once.";
constexpr const char *kRemoveStaleDoc =
    "Remove temporary Parquet files left by writers that died; return how many went.\n"
    "\n"
    "A file is stale when the process named in it is gone, or when it is a day old.";
constexpr const char *kDeleteDoc =
    "Delete one table's snapshot, or every snapshot of the database when table is None or empty.";

// Parquet file layout.
constexpr const char *kParquetSuffix = ".parquet";
// A write goes to a hidden sibling first; it never ends in the suffix above,
// so the listing cannot mistake it for a table.
constexpr const char *kTempFileName = ".{file}.{unique}.tmp";
constexpr const char *kTempSuffix = ".tmp";
// A temporary file this old is stale whoever wrote it: no write of a table
// takes a day.
constexpr double kStaleTempSeconds = 24 * 3600;

// Statements for the external connector ("%s" placeholders, values bound).
constexpr const char *kDeleteOne =
    "DELETE FROM brindle_snapshots WHERE service_name = %s AND db_name = %s AND table_name = %s";
constexpr const char *kInsert =
    "INSERT INTO brindle_snapshots (service_name, db_name, table_name, data, stored_at, row_count) "
    "VALUES (%s, %s, %s, %s, %s, %s)";
constexpr const char *kSelectOne =
    "SELECT data FROM brindle_snapshots WHERE service_name = %s AND db_name = %s AND table_name = %s";
constexpr const char *kSelectService =
    "SELECT db_name, table_name, data FROM brindle_snapshots WHERE service_name = %s";
constexpr const char *kDeleteDatabase =
    "DELETE FROM brindle_snapshots WHERE service_name = %s AND db_name = %s";

// Log lines: "%s"-style, formatted by logging with their arguments.
constexpr const char *kResolvedPath = "Resolved DB file path for '%s': %s";
constexpr const char *kPersisted = "Persisted table '%s.%s' to Parquet (%d rows): %s";
constexpr const char *kLoadedParquet = "Loaded table '%s.%s' from Parquet (%d rows): %s";
constexpr const char *kListFailed = "Error listing persisted tables: %s";
constexpr const char *kSaved = "Saved snapshot '%s.%s' to external DB (%d rows, %d bytes)";
constexpr const char *kLoadedSnapshot = "Loaded snapshot '%s.%s' from external DB (%d rows)";
constexpr const char *kWarmed = "Loaded %d snapshots from external DB for service '%s'";
constexpr const char *kDeleted = "Deleted external snapshot(s): %s.%s";
constexpr const char *kDeleteFailed = "Failed to delete external snapshot '%s.%s': %s";
constexpr const char *kAllTables = "*";
constexpr const char *kRemovedTemp = "Removed stale temporary Parquet file %s";
constexpr const char *kRemoveTempFailed = "Could not remove temporary Parquet file %s: %s";
constexpr const char *kSkippedSnapshot = "Skipped snapshot '%s.%s' from external DB: %s";

// Errors.
constexpr const char *kCannotCreateDir = "Cannot create persist directory '{directory}': {error}";
constexpr const char *kPersistFailed = "Failed to persist table '{database}.{table}' to Parquet: {error}";
constexpr const char *kLoadFailed = "Failed to load table '{database}.{table}' from Parquet: {error}";
constexpr const char *kSaveFailed = "Failed to save '{database}.{table}' to external DB: {error}";
constexpr const char *kExternalLoadFailed = "Failed to load '{database}.{table}' from external DB: {error}";
constexpr const char *kWarmFailed = "Failed to warm from external DB: {error}";
constexpr const char *kConnectorBusy =
    "the connector stayed busy with another operation for {timeout} s (external_timeout_seconds)";
constexpr const char *kUnsafeDatabase =
    "Invalid database identifier '{name}' for persistence: it must be one non-empty path "
    "component (no '/', '\\', NUL, and not '.' or '..')";
constexpr const char *kUnsafeTable =
    "Invalid table name '{name}' for persistence: it must be one path component "
    "(no '/', '\\', NUL, and not '.' or '..')";
constexpr const char *kPathNotStr =
    "config_resolver.get_persist_path() must return str or None, not {type}";
constexpr const char *kDataNotBytes =
    "PersistenceCoordinator._deserialize_df() argument 'data' must be bytes, not {type}";

}  // namespace brindle::cellarage::text

// PostgresConnector: the connector brindle ships for PostgreSQL through psycopg 3.
namespace brindle::cellarage::text {

constexpr const char *kConnectorClassDoc =
    "A connector for the external snapshot store over one psycopg 3 connection.\n"
    "\n"
    "brindle sends each save as two statements, a DELETE of the table's old\n"
    "snapshot and an INSERT of the new one. Every statement commits on its own,\n"
    "except that a save's DELETE waits for the INSERT that follows it: the two\n"
    "commit together, and a failed INSERT rolls the DELETE back, so the old\n"
    "snapshot stays. A DELETE that no INSERT follows (delete_from_external) is\n"
    "committed by the next call, or at once by commit().\n"
    "\n"
    "The connection is opened on first use. One found broken (a server restart,\n"
    "a terminated backend) is replaced and the statement sent again, the save's\n"
    "DELETE with it when an INSERT is under way. Each statement is given\n"
    "`timeout` seconds; one that takes longer (a frozen backend) raises\n"
    "TimeoutError and its connection is abandoned (closed as soon as it answers),\n"
    "so the next call starts on a new one. Needs psycopg 3 (brindle[postgres]).\n"
    "\n"
    "    connector = PostgresConnector(dsn=\"host=db.internal dbname=cache user=svc\", timeout=10)\n"
    "    cache = BrindleManager(config, external_connector=connector)";
constexpr const char *kConnectorInitDoc =
    "Keep the libpq connection string and the per-statement timeout; nothing is connected yet.";
constexpr const char *kConnectorExecuteDoc =
    "Run one statement with its '%s' parameters, reconnecting once when the connection broke.";
constexpr const char *kConnectorFetchoneDoc = "Return the next row of the last statement, or None.";
constexpr const char *kConnectorFetchallDoc = "Return the remaining rows of the last statement.";
constexpr const char *kConnectorCommitDoc = "Commit what is pending (a DELETE awaiting its INSERT).";
constexpr const char *kConnectorCloseDoc =
    "Commit what is pending and close the connection; a later call opens a new one.";

constexpr const char *kWorkerThreadName = "PostgresConnector";
constexpr const char *kNeedsPsycopg =
    "PostgresConnector needs psycopg 3: pip install 'brindle[postgres]' ({error})";
constexpr const char *kTimeoutNotNumber = "PostgresConnector() argument 'timeout' must be a number of seconds, not {type}";
constexpr const char *kTimeoutNotPositive =
    "PostgresConnector() argument 'timeout' must be a finite number of seconds above 0, not {value}";
constexpr const char *kNoAnswer = "PostgreSQL did not answer within {timeout} s";
constexpr const char *kConnectorInUse = "PostgresConnector stayed busy with another call for {timeout} s";
constexpr const char *kNothingToFetch = "no result to fetch: the last statement failed or none was executed";

}  // namespace brindle::cellarage::text
