// Everything of the query layer that callers see as text: docstrings,
// statements, log lines and error messages.
#pragma once

namespace brindle::lookout::text {

constexpr const char *kModuleDoc = "Query operations for brindle - SQL filtering and data retrieval.";
constexpr const char *kClassDoc = "Handles query operations on cached data.";

// Method docstrings.
constexpr const char *kInitDoc = "Set up the query layer's logger.";
constexpr const char *kQueryDoc =
    "Select from the table, with an optional filter, column list, row limit and bound params, as a DataFrame.";
constexpr const char *kQueryArrowDoc =
    "Select as query() does, with the same checks and errors, and return the rows as a pyarrow Table "
    "typed as DuckDB exports them, with no pandas step.";
constexpr const char *kExecuteSqlDoc =
    "Run free SQL, with bound params, on a cursor of its own and return the result as a DataFrame.";
constexpr const char *kGetTableInfoDoc = "Describe the table: its row count, column names and column types.";

// Statements (the SELECT of a query is built in interop/select.h); names
// are spliced verbatim.
// Only the catalog the statement ran in counts: a table of that name in
// another catalog of the same instance is not the one the statement names.
constexpr const char *kTableCount =
    "SELECT COUNT(*) FROM duckdb_tables() WHERE database_name = current_database() "
    "AND lower(table_name) = lower(?)";
constexpr const char *kCountRows = "SELECT COUNT(*) FROM {table}";
// A bare DESCRIBE reads `schemas`, `tables`, `databases` and `variables` as
// SHOW commands; describing a SELECT always names the table.
constexpr const char *kDescribe = "DESCRIBE SELECT * FROM {table}";

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
constexpr const char *kSeveralStatements =
    "Query failed on table '{table}': the WHERE text or a column entry holds more than one statement";
constexpr const char *kNoStatement = "the SQL text holds no statement";

// Keys of a table description, in order.
constexpr const char *kRowCount = "row_count";
constexpr const char *kColumns = "columns";
constexpr const char *kColumnTypes = "column_types";

}  // namespace brindle::lookout::text
