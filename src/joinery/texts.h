// Everything of the table utilities that callers see as text: the module
// docstring, the statements and the error messages.
#pragma once

namespace brindle::joinery::text {

constexpr const char *kModuleDoc =
    "\nDuckDB Table Creation Utilities\n\nHelpers for creating and managing DuckDB tables in cache.\n";

// Function docstrings.
constexpr const char *kCreateFromFrameDoc =
    "Create or fill a table from a DataFrame; if_exists is 'replace', 'append' or 'fail'.";
constexpr const char *kCreateViewDoc = "Create a view, or a materialized view, from a SELECT statement.";
constexpr const char *kGetSchemaDoc = "Return the table's column names mapped to their DuckDB types, in order.";
constexpr const char *kOptimizeDoc = "Refresh the table's statistics (ANALYZE).";
constexpr const char *kDropDoc = "Drop the table; a missing table is an error only when if_exists is false.";
constexpr const char *kGetInfoDoc =
    "Return the table's name, row count, columns, column types and estimated size in bytes.";
constexpr const char *kCreateIndexDoc =
    "Create an index on one column, named idx_<table>_<column> unless a name is given.";
constexpr const char *kExportDoc = "Write the table to a Parquet file.";
constexpr const char *kImportDoc =
    "Create or fill a table from a Parquet file; if_exists is 'replace', 'append' or 'fail'.";

// The if_exists modes, matched exactly.
constexpr const char *kModeReplace = "replace";
constexpr const char *kModeAppend = "append";
constexpr const char *kModeFail = "fail";

// The frame handed to create_duckdb_table_from_df is registered under this
// name for the duration of its statements.
constexpr const char *kFrameName = "df";

// Statements. Names are spliced verbatim; {file_path} receives the path with
// its single quotes doubled, so the quotes around it always enclose the whole path.
constexpr const char *kDropIfExists = "DROP TABLE IF EXISTS {table_name}";
constexpr const char *kDrop = "DROP TABLE {table_name}";
constexpr const char *kTableExists =
    "SELECT name FROM sqlite_master WHERE type='table' AND name='{table_name}'";
constexpr const char *kCreateFromFrame = "CREATE TABLE {table_name} AS SELECT * FROM df";
constexpr const char *kInsertFromFrame = "INSERT INTO {table_name} SELECT * FROM df";
constexpr const char *kCreateFromParquet =
    "CREATE TABLE {table_name} AS SELECT * FROM read_parquet('{file_path}')";
constexpr const char *kInsertFromParquet =
    "INSERT INTO {table_name} SELECT * FROM read_parquet('{file_path}')";
constexpr const char *kCreateView = "CREATE {replace_clause}{view_type} {view_name} AS {select_query}";
constexpr const char *kReplaceClause = "OR REPLACE ";
constexpr const char *kMaterializedView = "MATERIALIZED VIEW";
constexpr const char *kView = "VIEW";
constexpr const char *kAnalyze = "ANALYZE {table_name}";
constexpr const char *kCountRows = "SELECT COUNT(*) FROM {table_name}";
constexpr const char *kEstimatedSize =
    "\n"
    "        SELECT \n"
    "            estimated_size\n"
    "        FROM duckdb_tables()\n"
    "        WHERE table_name = '{table_name}'\n"
    "    ";
constexpr const char *kCreateIndex = "CREATE INDEX {index_name} ON {table_name}({column_name})";
constexpr const char *kDefaultIndexName = "idx_{table_name}_{column_name}";
constexpr const char *kExportParquet = "COPY {table_name} TO '{file_path}' (FORMAT PARQUET)";

// Keys of the table summary, in the order they are inserted.
constexpr const char *kKeyTableName = "table_name";
constexpr const char *kKeyRowCount = "row_count";
constexpr const char *kKeyColumns = "columns";
constexpr const char *kKeyColumnTypes = "column_types";
constexpr const char *kKeyEstimatedSize = "estimated_size_bytes";

// Errors.
constexpr const char *kBadFrameMode =
    "Invalid if_exists value: {if_exists}. Must be 'replace', 'append', or 'fail'";
constexpr const char *kBadParquetMode = "Invalid if_exists value: {if_exists}";
constexpr const char *kNullInPath = "embedded null character in file_path";

}  // namespace brindle::joinery::text
