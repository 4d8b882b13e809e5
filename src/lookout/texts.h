// Everything of the query layer that callers see as text: docstrings,
// statements, log lines and error messages.
#pragma once

namespace brindle::lookout::text {

constexpr const char *kModuleDoc = "Query operations for brindle - SQL filtering and data retrieval.";
constexpr const char *kClassDoc = "Handles query operations on cached data.";

// Method docstrings.
constexpr const char *kInitDoc = "Set up the query layer's logger.";
constexpr const char *kQueryDoc =
    "Select from the table, with an optional filter, column list and row limit, as a DataFrame.\n"
    "\n"
    "params (a list or tuple for ? and $1, a dict for $name) are bound by DuckDB.";
constexpr const char *kExecuteSqlDoc =
    "Run free SQL on a cursor of its own and return the result as a DataFrame.\n"
    "\n"
    "params (a list or tuple for ? and $1, a dict for $name) are bound by DuckDB.";
constexpr const char *kGetTableInfoDoc = "Describe the table: its row count, column names and column types.";

// Statements (the SELECT of a query is built in interop/select.h); names
// are spliced verbatim.
constexpr const char *kCountRows = "SELECT COUNT(*) FROM {table}";
constexpr const char *kDescribe = "DESCRIBE {table}";

// Log lines.
constexpr const char *kExecuting = "Executing query: ";
constexpr const char *kQueryReturned = "Query returned {rows} rows from table '{table}'";
constexpr const char *kExecutingRaw = "Executing raw SQL: {sql_prefix}...";
constexpr const char *kRawReturned = "Raw SQL query returned {rows} rows";
constexpr size_t kSqlPrefixLength = 100;

// Errors.
constexpr const char *kNotFound = "Table '{table}' not found in cache";
constexpr const char *kQueryFailed = "Query failed on table '{table}': {error}";
constexpr const char *kInfoFailed = "Failed to get info for table '{table}': {error}";
constexpr const char *kRawFailed = "Raw SQL execution failed: {error}";

// Words in a failure that mean the table is missing.
constexpr const char *kMissingMarkers[] = {"does not exist", "not found"};

// Keys of a table description, in order.
constexpr const char *kRowCount = "row_count";
constexpr const char *kColumns = "columns";
constexpr const char *kColumnTypes = "column_types";

}  // namespace brindle::lookout::text
