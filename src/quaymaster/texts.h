// Everything of the cache manager that callers see as text: docstrings, log
// lines and error messages.
#pragma once

namespace brindle::quaymaster::text {

constexpr const char *kModuleDoc = "Main cache manager - orchestrates storage, querying, and TTL management.";

constexpr const char *kClassDoc =
    "Main interface for DuckDB in-memory cache.\n"
    "\n"
    "Singleton pattern - one instance per process.\n"
    "\n"
    "Features:\n"
    "- Two storage modes: single_db (one DuckDB database per database identifier,\n"
    "  shared by its tables) and per_table_db (one database per table)\n"
    "- Atomic swap for concurrent writes: readers see the old rows or the new ones\n"
    "- TTL expiry with a background cleanup thread; tables being read are only\n"
    "  marked stale, scheduler-managed tables never expire\n"
    "- Optional file-based persistence per database, or per-table Parquet files\n"
    "- Optional snapshots in an external database for warm reloads after a restart\n"
    "- SQL query interface: WHERE text, column list and row limit, or free SQL\n"
    "- Thread safety: one write lock per connection; reads take no write lock\n"
    "\n"
    "Usage:\n"
    "    cache = BrindleManager()\n"
    "    cache.store(\"sales\", \"orders\", df)\n"
    "    recent = cache.query(\"sales\", \"orders\", sql_where=\"amount > 1000\",\n"
    "                         columns=[\"order_id\", \"amount\"])\n"
    "    if cache.exists(\"sales\", \"orders\"):\n"
    "        ...";

// Method docstrings: the first line of each is the one services know.
constexpr const char *kInitDoc =
    "Initialize cache manager.\n"
    "\n"
    "Only the first construction in the process builds the manager; later ones\n"
    "return the same object and ignore their arguments. config defaults to\n"
    "BrindleConfig.from_env(); external_connector, when given, is the object the\n"
    "external snapshots are read and written through, and the cache is warmed\n"
    "from it before the constructor returns (a failed warm-up is logged, not\n"
    "raised). Raises ConfigError when a BRINDLE_* variable or the configuration\n"
    "file is invalid.";
constexpr const char *kGetLockKeyDoc = "Get lock key based on storage mode.";
constexpr const char *kGetLockDoc = "Get or create a lock for the given database/table.";
constexpr const char *kGetConnectionDoc =
    "Get or create DuckDB connection based on mode.\n"
    "\n"
    "Returns None when create is false and there is no connection yet.\n"
    "Raises BrindleError in per_table_db mode without a table name.";
constexpr const char *kStoreDoc =
    "Store DataFrame in cache with atomic swap.\n"
    "\n"
    "df is a pandas DataFrame, a pyarrow.Table or a Polars DataFrame (stored as\n"
    "its to_arrow() table); a pandas frame's dtypes are given back by query().\n"
    "ttl_minutes and scheduler_managed default to the configuration file's\n"
    "answers. Returns None once the table is swapped in, registered and, when\n"
    "configured, persisted (persistence failures are logged, not raised).\n"
    "Raises BrindleLockError when the write lock is not obtained within\n"
    "lock_timeout_seconds, and BrindleError when the table name is not a plain\n"
    "identifier or the swap fails.";
constexpr const char *kQueryDoc =
    "Query data from cache with optional SQL filtering.\n"
    "\n"
    "sql_where is raw SQL for the WHERE clause, columns a list of select-list\n"
    "entries, limit a row limit (0 or None for all rows); params (a list or\n"
    "tuple for ? and $1, a dict for $name) are values DuckDB binds to the\n"
    "placeholders, never spliced into the text. Returns a new\n"
    "DataFrame whose columns read straight from a stored pandas column (no\n"
    "columns, or an entry that only names it) have the stored dtype where\n"
    "converting back loses nothing; computed columns keep DuckDB's type. A question asked again of an unchanged table may be answered\n"
    "from the result cache (config.result_cache_bytes) with a copy of the\n"
    "answer DuckDB gave. Raises BrindleNotFoundError when the table is not\n"
    "cached, is stale or has expired, and BrindleError when the query fails.";
constexpr const char *kQueryArrowDoc =
    "Query data from cache as a pyarrow Table.\n"
    "\n"
    "Takes the parameters of query() and makes the same checks: raises\n"
    "BrindleNotFoundError when the table is not cached, is stale or has\n"
    "expired, and BrindleError when the query fails; counted as a reader and\n"
    "a query as query() is. Returns the rows as DuckDB exports them to Arrow\n"
    "(an ENUM is a dictionary column, a DECIMAL a decimal128), with no pandas\n"
    "step. Always asks DuckDB: the result cache neither answers nor keeps it.";
constexpr const char *kExecuteSqlDoc =
    "Execute raw SQL query (useful for JOINs in single_db mode).\n"
    "\n"
    "params (a list or tuple for ? and $1, a dict for $name) are bound by\n"
    "DuckDB. Returns the result as a DataFrame, in DuckDB's own dtypes; a SELECT of cached tables asked\n"
    "again of unchanged tables is answered from the result cache. SQL that is not\n"
    "all SELECT statements drops the database's answers from the result cache. Raises\n"
    "BrindleNotFoundError when the database has no connection, and\n"
    "BrindleError when the SQL fails or the database is in per_table_db mode.";
constexpr const char *kExistsDoc =
    "Check if table exists in cache and is not stale.\n"
    "\n"
    "Returns False for a table never stored, marked stale or past its TTL\n"
    "(which marks it stale); scheduler-managed tables are always fresh.\n"
    "Raises TypeError when database or table is not a str.";
constexpr const char *kInvalidateDoc =
    "Remove table(s) from cache immediately.\n"
    "\n"
    "With a table name, removes that table; without one (or with \"\"), every\n"
    "table of the database. Parquet files and external snapshots are kept.\n"
    "A connection still being read closes when its running reads end.\n"
    "Returns None. Raises the close's own error when a connection cannot be\n"
    "closed (the table then stays cached).";
constexpr const char *kCleanupTableDoc = "Remove a single table from cache.";
constexpr const char *kCleanupDatabaseDoc = "Remove all tables for a database.";
constexpr const char *kCleanupExpiredTableDoc = "Callback for TTL cleanup thread.";
constexpr const char *kGetLastUpdatedDoc =
    "Get last updated timestamp for a table.\n"
    "\n"
    "Returns the time of the last store (a naive local datetime), or None\n"
    "for a table not cached. Raises TypeError when database or table is not\n"
    "a str.";
constexpr const char *kGetTableInfoDoc =
    "Get metadata about a cached table.\n"
    "\n"
    "Returns a dict with row_count, columns and column_types. Raises\n"
    "BrindleNotFoundError when the table or its connection is not cached.";
constexpr const char *kGetRawConnectionDoc =
    "Get raw DuckDB connection for advanced operations.\n"
    "\n"
    "Returns the live connection (not a copy). Work done on it bypasses the\n"
    "TTL registry, the reader counts and the write locks; nothing read through\n"
    "it is kept in the result cache for as long as it lives. Raises\n"
    "BrindleNotFoundError when there is no connection yet.";
constexpr const char *kStatsDoc =
    "Describe every cached table and how it has been used.\n"
    "\n"
    "Returns a list of plain dicts, one per cached table, sorted by database and\n"
    "table, with the keys:\n"
    "\n"
    "- database, table, mode\n"
    "- rows, columns: the table's size in DuckDB now\n"
    "- memory_bytes: memory held by the DuckDB database the table lives in; in\n"
    "  single_db mode that is the whole database's figure, shared by its tables\n"
    "- loaded_at (naive local datetime), age_seconds, ttl_seconds\n"
    "- stale: a query would refuse the table as marked stale or past its TTL\n"
    "- scheduler_managed, active_readers\n"
    "- counters since the table was first stored in this process: queries\n"
    "  (served), not_found (answers), stores, store_failures, last_store_ms\n"
    "  (duration of the last successful store, None before one), expirations\n"
    "  (by the cleanup thread), invalidations, parquet_write_failures,\n"
    "  external_write_failures\n"
    "- result_cache_hits, result_cache_misses (queries DuckDB answered while\n"
    "  the result cache was on for the table), result_cache_bytes (held now)\n"
    "\n"
    "Takes no write lock and never waits for a store; safe to call from a\n"
    "monitoring thread. Raises nothing for tables that go away meanwhile: they\n"
    "are left out.";
constexpr const char *kGetOrLoadDoc =
    "Return the cached table, loading it once for all callers when it is not.\n"
    "\n"
    "If the table is fresh, returns query(database, table, sql_where, columns,\n"
    "limit, params=params): the rows asked for, not the whole table. Otherwise exactly\n"
    "one caller runs loader() (a callable returning a DataFrame) and stores its\n"
    "result with ttl_minutes and scheduler_managed as store() takes them; every\n"
    "other caller asking for the same table meanwhile waits for that load, then\n"
    "reads the stored rows. Loads of different tables run in parallel.\n"
    "\n"
    "With serve_stale=True, a table that is stale or expired but still cached\n"
    "is returned at once to every caller but the one refreshing it; a table\n"
    "never loaded still waits.\n"
    "\n"
    "Returns a new DataFrame. Raises whatever the loader or the store raised\n"
    "(the same exception object in every waiting caller; a failure is never\n"
    "remembered, the next call loads again; an interrupted loader thread\n"
    "fails only itself), BrindleError when called for a\n"
    "table from that table's own loader, and TypeError when loader is not\n"
    "callable.";
constexpr const char *kWarmInternalDoc = "Internal: load all snapshots from external DB and store in cache.";
constexpr const char *kWarmFromExternalDoc =
    "Explicitly reload data from external DB into cache.\n"
    "\n"
    "With a database and a table, reloads that table; otherwise every snapshot\n"
    "of the service. Returns None. Raises BrindleError when no external\n"
    "connector is configured, and BrindlePersistenceError when loading fails.";
constexpr const char *kWarmFromParquetDoc =
    "Load all persisted Parquet tables from disk into cache.\n"
    "\n"
    "Each table is stored as scheduler-managed. A table that fails to load is\n"
    "logged and skipped, and so is a directory that cannot be listed.\n"
    "Returns None; raises nothing of its own.";
constexpr const char *kReloadDoc =
    "Reload all persisted data \xe2\x80\x94 from Parquet files and external DB.\n"
    "\n"
    "Parquet first, the external store second; a table that fails to load is\n"
    "logged and skipped. Returns None; raises nothing of its own.";
constexpr const char *kPersistenceDoc = "Access the persistence coordinator for advanced operations.";
constexpr const char *kShutdownDoc =
    "Gracefully shutdown cache manager - close all connections.\n"
    "\n"
    "Stops the cleanup thread and closes every connection; a connection still\n"
    "being read is closed as soon as its running reads end. The tables of the\n"
    "closed connections are no longer cached: exists() is False for them and\n"
    "query() and get_table_info() raise BrindleNotFoundError. The manager stays\n"
    "usable: a later store opens new connections. Returns None; a connection\n"
    "that fails to close is logged, not raised.";

// The awaitable methods: each takes its synchronous twin's parameters and
// runs it on the manager's thread pool (async_pool_size threads).
constexpr const char *kAStoreDoc =
    "Awaitable store(): swaps the frame in on the manager's thread pool.\n"
    "\n"
    "Takes the parameters of store(); the event loop is never blocked.\n"
    "Returns None. A store that has started when the awaiting task is\n"
    "cancelled still completes (the table is stored, the lock released); one\n"
    "that has not started never runs.";
constexpr const char *kAQueryDoc =
    "Awaitable query(): runs the query on the manager's thread pool.\n"
    "\n"
    "Takes the parameters of query(); the event loop is never blocked.\n"
    "Returns what query() returns and raises what it raises. Cancelling the\n"
    "awaiting task stops only the wait: a call that has started runs to its\n"
    "end; one that has not started never runs.";
constexpr const char *kAQueryArrowDoc =
    "Awaitable query_arrow(): runs the query on the manager's thread pool.\n"
    "\n"
    "Takes the parameters of query_arrow(); the event loop is never blocked.\n"
    "Returns what query_arrow() returns and raises what it raises. Cancelling\n"
    "the awaiting task stops only the wait: a call that has started runs to\n"
    "its end; one that has not started never runs.";
constexpr const char *kAExecuteSqlDoc =
    "Awaitable execute_sql(): runs the SQL on the manager's thread pool.\n"
    "\n"
    "Takes the parameters of execute_sql(); the event loop is never blocked.\n"
    "Returns what execute_sql() returns and raises what it raises. Cancelling the\n"
    "awaiting task stops only the wait: a call that has started runs to its\n"
    "end; one that has not started never runs.";
constexpr const char *kAInvalidateDoc =
    "Awaitable invalidate(): removes table(s) on the manager's thread pool.\n"
    "\n"
    "Takes the parameters of invalidate(); the event loop is never blocked.\n"
    "Returns what invalidate() returns and raises what it raises. Cancelling the\n"
    "awaiting task stops only the wait: a call that has started runs to its\n"
    "end; one that has not started never runs.";
constexpr const char *kAGetTableInfoDoc =
    "Awaitable get_table_info(): describes the table on the manager's thread pool.\n"
    "\n"
    "Takes the parameters of get_table_info(); the event loop is never blocked.\n"
    "Returns what get_table_info() returns and raises what it raises. Cancelling the\n"
    "awaiting task stops only the wait: a call that has started runs to its\n"
    "end; one that has not started never runs.";
constexpr const char *kAWarmFromExternalDoc =
    "Awaitable warm_from_external(): reloads on the manager's thread pool.\n"
    "\n"
    "Takes the parameters of warm_from_external(); the event loop is never blocked.\n"
    "Returns what warm_from_external() returns and raises what it raises. Cancelling the\n"
    "awaiting task stops only the wait: a call that has started runs to its\n"
    "end; one that has not started never runs.";
constexpr const char *kAWarmFromParquetDoc =
    "Awaitable warm_from_parquet(): loads on the manager's thread pool.\n"
    "\n"
    "Takes the parameters of warm_from_parquet(); the event loop is never blocked.\n"
    "Returns what warm_from_parquet() returns and raises what it raises. Cancelling the\n"
    "awaiting task stops only the wait: a call that has started runs to its\n"
    "end; one that has not started never runs.";
constexpr const char *kAReloadDoc =
    "Awaitable reload(): reloads on the manager's thread pool.\n"
    "\n"
    "Takes the parameters of reload(); the event loop is never blocked.\n"
    "Returns what reload() returns and raises what it raises. Cancelling the\n"
    "awaiting task stops only the wait: a call that has started runs to its\n"
    "end; one that has not started never runs.";
constexpr const char *kAStatsDoc =
    "Awaitable stats(): gathers the figures on the manager's thread pool.\n"
    "\n"
    "Takes the parameters of stats(); the event loop is never blocked.\n"
    "Returns what stats() returns and raises what it raises. Cancelling the\n"
    "awaiting task stops only the wait: a call that has started runs to its\n"
    "end; one that has not started never runs.";
constexpr const char *kAGetOrLoadDoc =
    "Awaitable get_or_load(): reads or loads on the manager's thread pool.\n"
    "\n"
    "Takes the parameters of get_or_load(); the event loop is never blocked.\n"
    "Returns what get_or_load() returns. Cancelling the awaiting task never\n"
    "cancels a load under way: it is stored, and every caller waiting for it\n"
    "gets its one result.";
constexpr const char *kAsyncThreadPrefix = "BrindleAsync";

constexpr const char *kSingleDb = "single_db";

// Rows, columns and table memory of every table one DuckDB database holds, in
// one pass over its catalog: all catalogs of a shared instance ($1 true), or
// the connection's own. Only the memory of table data is counted
// (IN_MEMORY_TABLE): the statement's own working memory is tagged otherwise.
// Names are matched without regard to case by the reader, and the memory is
// cast to BIGINT so that it is read as an int column.
// The last column is the database's table memory: what DuckDB holds for
// table data, in memory or buffered from its file, in the instance.
constexpr const char *kTablesFactsStatement =
    "SELECT CASE WHEN $1 THEN database_name ELSE '' END, table_name, estimated_size, column_count, "
    "(SELECT CAST(COALESCE(SUM(memory_usage_bytes), 0) AS BIGINT) FROM duckdb_memory() "
    "WHERE tag IN ('IN_MEMORY_TABLE', 'BASE_TABLE')) "
    "FROM duckdb_tables() WHERE schema_name = 'main' AND ($1 OR database_name = current_database())";
// Tables' column segments: row group, column part, whether it is in the
// database file and in which block, its type, rows and, for strings, their
// total length (DuckDB reports segments' types and row counts, not their
// sizes). Many tables are read in one statement: a statement per table
// costs more than its work. Bytes are worked out from the rows, not in SQL,
// whose planning of such an expression in every branch costs more still.
// {index} is the table's place in the batch, {name} its name as a string
// literal (the table function takes no parameter here).
constexpr const char *kTableSegmentsBranch =
    "SELECT {index}, row_group_id, column_path, persistent, block_id, segment_type, count, "
    "TRY_CAST(stats['total_string_length'] AS BIGINT) FROM pragma_storage_info({name})";
constexpr const char *kUnionAll = " UNION ALL ";
// The columns of the tables of databases held in memory (none in a database
// file): what a small table's storage is reckoned from.
constexpr const char *kMemoryTablesColumnsStatement =
    "SELECT CASE WHEN $1 THEN c.database_name ELSE '' END, c.table_name, "
    "list(c.column_name ORDER BY c.column_index), list(c.data_type ORDER BY c.column_index) "
    "FROM duckdb_columns() c JOIN duckdb_databases() d ON d.database_name = c.database_name "
    "WHERE c.schema_name = 'main' AND d.path IS NULL AND ($1 OR c.database_name = current_database()) "
    "GROUP BY c.database_name, c.table_name";
// A table's rows and one string column's total length, as one branch of a
// statement over many tables (a list of every column's length costs DuckDB
// more than a branch per column).
constexpr const char *kStringBytesBranch =
    "SELECT {index}, {column_index}, count(*), CAST(COALESCE(SUM(strlen({column})), 0) AS BIGINT) FROM {table}";
constexpr const char *kNotApplicable = "N/A";

// Log lines.
constexpr const char *kInitialized = "BrindleManager initialized (mode={mode}, ttl={ttl}min)";
constexpr const char *kAutoWarmFailed = "Auto-warm from external DB failed: {error}";
constexpr const char *kSignalWithoutConnector =
    "signal_enabled is set but there is no external connector: stores stay in this process "
    "(set external_dsn or pass external_connector)";
constexpr const char *kErrorClosingConnector = "Error closing the external connector: {error}";
// A table of a per_table_db database in memory gets a catalog of its own in
// the database's one DuckDB instance; the connection handed out makes it the default.
constexpr const char *kSignalFailed = "Cross-process signalling failed: {error}";
constexpr const char *kApplyRemoteStoreDoc =
    "Store another process's snapshot of the table when it is newer than what is held: no snapshot\n"
    "is saved and nothing announced. Returns whether it landed.";
constexpr const char *kApplyRemoteInvalidateDoc =
    "Invalidate as another process did, where what is held is older: nothing announced.";
constexpr const char *kHeldVersionDoc = "Return (version, source) of the table's contents, or None.";
constexpr const char *kNoteVersionDoc = "Note the version and source of the table's contents.";
constexpr const char *kVersionsDoc = "Return {(database, table): (version, source)} of every table with a version.";
constexpr const char *kRemoveStaleTempFiles = "_remove_stale_temp_files";
constexpr const char *kStored =
    "Stored {rows} rows in {database}.{table} (mode={mode}, ttl={ttl}min, scheduler_managed={scheduler_managed})";
constexpr const char *kParquetFailed = "Parquet persistence failed for {database}.{table}: {error}";
constexpr const char *kExternalSaveFailed = "External DB save failed for {database}.{table}: {error}";
constexpr const char *kPersistSkipped =
    "Skipped persisting {database}.{table}: a later store of it has already been persisted";
constexpr const char *kExecuteSqlMode = "execute_sql() called in {mode} mode - cross-table JOINs may not work";
constexpr const char *kMarkedStale = "Table {database}.{table} is marked stale";
constexpr const char *kExpiredTtl = "Table {database}.{table} has expired TTL";
constexpr const char *kCleanupLockFailed = "Failed to acquire lock for cleanup: {database}.{table}";
constexpr const char *kClosedTableConnection = "Closed connection for {database}.{table}";
constexpr const char *kClosedDatabaseConnection = "Closed connection for database: {database}";
constexpr const char *kClosedConnections = "Closed {count} connections for database: {database}";
constexpr const char *kTtlCleanupTriggered = "TTL cleanup triggered for {database}.{table}";
constexpr const char *kCleanupNoLongerDue =
    "Skipped TTL cleanup of {database}.{table}: no longer expired, re-stored, being read or scheduler-managed";
constexpr const char *kWarmedExternal = "Warmed {database}.{table} from external DB ({rows} rows)";
constexpr const char *kWarmFailed = "Failed to warm {database}.{table}: {error}";
constexpr const char *kReloadedExternal = "Reloaded {database}.{table} from external DB";
constexpr const char *kWarmedParquet = "Warmed {database}.{table} from Parquet ({rows} rows)";
constexpr const char *kWarmParquetFailed = "Failed to warm {database}.{table} from Parquet: {error}";
constexpr const char *kReloadComplete = "Cache reload complete";
constexpr const char *kShuttingDown = "Shutting down BrindleManager...";
constexpr const char *kShutdownComplete = "BrindleManager shutdown complete";

// Errors.
constexpr const char *kTableRequired = "Table name required for per_table_db mode";
constexpr const char *kNoConnector = "No external connector configured";
constexpr const char *kWriteReEntered =
    "Cannot write {database}.{table} from within a write of it on the same thread "
    "(a log handler or hook called by the cache is writing it again)";
constexpr const char *kPersistHandedOver =
    "Left persisting {database}.{table} to the store persisting it now: its turn did not come "
    "within external_timeout_seconds";
constexpr const char *kLockTimeout = "Failed to acquire lock for {database}.{table} within {timeout}s";
constexpr const char *kTableNotFound = "Table {database}.{table} not found in cache";
constexpr const char *kConnectionNotFound = "Connection not found for {database}.{table}";
constexpr const char *kDatabaseConnectionNotFound = "Connection not found for database: {database}";
constexpr const char *kTtlNotInt = "get_ttl() must return int or None, not {type}";
constexpr const char *kTtlNone =
    "get_ttl() returned None for {database}.{table}: the table needs a time-to-live in minutes";
constexpr const char *kCaseCollision =
    "Table name '{table}' differs only in case from cached table '{cached}' of database '{database}' "
    "(DuckDB reads them as one table): invalidate '{cached}' first";
constexpr const char *kStateMissing = "BrindleManager._state is not the manager's state";
constexpr const char *kLoadReentered =
    "get_or_load() of {database}.{table} called from its own loader: it would wait for itself";
constexpr const char *kInfoNotDict = "get_table_info() must return dict or None, not {type}";

}  // namespace brindle::quaymaster::text

// PrometheusCollector: stats() as Prometheus metrics.
namespace brindle::quaymaster::text {

constexpr const char *kCollectorClassDoc =
    "The manager's stats() as Prometheus metrics, for a prometheus_client registry.\n"
    "\n"
    "Every scrape calls manager.stats() once and yields one family per figure,\n"
    "labelled by database and table: gauges for what a table is now (rows,\n"
    "memory, age, readers, ...) and counters for what happened to it since its\n"
    "first store in this process (queries, misses, stores, failures, ...).\n"
    "Needs prometheus_client (brindle[metrics]), imported only by the collector.\n"
    "\n"
    "    from prometheus_client import REGISTRY\n"
    "    REGISTRY.register(PrometheusCollector(cache))";
constexpr const char *kCollectorInitDoc = "Keep the manager whose stats() every scrape reads.";
constexpr const char *kCollectorCollectDoc = "Return the metric families of one stats() call.";
constexpr const char *kCollectorDescribeDoc = "Return the metric families without samples (reads no stats).";
constexpr const char *kNeedsPrometheusClient =
    "PrometheusCollector needs prometheus_client: pip install 'brindle[metrics]' ({error})";

}  // namespace brindle::quaymaster::text
