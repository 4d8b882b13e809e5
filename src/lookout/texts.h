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

// Statements (the SELECT of a query, its log lines and errors are in
// duck/select.h); names are spliced verbatim.
constexpr const char *kCountRows = "SELECT COUNT(*) FROM {table}";

// Log lines.

// Errors.
constexpr const char *kInfoFailed = "Failed to get info for table '{table}': {error}";

// Keys of a table description, in order.
constexpr const char *kRowCount = "row_count";
constexpr const char *kColumns = "columns";
constexpr const char *kColumnTypes = "column_types";

}  // namespace brindle::lookout::text
