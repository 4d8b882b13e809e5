// Everything of the table store that callers see as text: docstrings,
// statements, log lines and error messages.
#pragma once

namespace brindle::stowage::text {

constexpr const char *kModuleDoc = "Storage operations for brindle - atomic writes and table management.";
constexpr const char *kClassDoc = "Handles storage operations with atomic swap guarantees.";

// Method docstrings.
constexpr const char *kInitDoc = "Set up the store's logger.";
constexpr const char *kStoreDoc =
    "Swap the DataFrame into the table atomically; the caller holds the connection's write lock.";
constexpr const char *kDropTableDoc =
    "Drop the table if it exists; the caller holds the connection's write lock.";
constexpr const char *kTableExistsDoc = "Return whether a table of that name exists on the connection.";
constexpr const char *kGetRowCountDoc = "Return the table's row count, or 0 when it cannot be counted.";
constexpr const char *kGetTableColumnsDoc =
    "Return the table's column names in order, or [] when it cannot be described.";

// The temporary table of a swap driven step by step and the frame being
// stored are named with a '~', which no table name the cache accepts holds,
// so neither can ever meet a table of the cache (and they are quoted in the
// statements).
constexpr const char *kTempSuffix = "~new";
constexpr const char *kFrameName = "brindle~frame";

// Statements; {table} is spliced verbatim, {temp_table} quoted.
constexpr const char *kCreateTemp = "CREATE TABLE \"{temp_table}\" AS SELECT * FROM \"brindle~frame\"";
constexpr const char *kDropTable = "DROP TABLE IF EXISTS {table}";
constexpr const char *kDropTemp = "DROP TABLE IF EXISTS \"{temp_table}\"";
constexpr const char *kRename = "ALTER TABLE \"{temp_table}\" RENAME TO {table}";
constexpr const char *kBegin = "BEGIN TRANSACTION";
constexpr const char *kCommit = "COMMIT";
constexpr const char *kRollback = "ROLLBACK";
// The whole swap at once, from BEGIN to COMMIT: the statements above in order.
constexpr const char *kSwap =
    "BEGIN TRANSACTION; CREATE TABLE \"{temp_table}\" AS SELECT * FROM \"brindle~frame\"; "
    "DROP TABLE IF EXISTS {table}; ALTER TABLE \"{temp_table}\" RENAME TO {table}; COMMIT";
constexpr const char *kTableExists =
    "SELECT COUNT(*) FROM information_schema.tables WHERE table_name = ?";
constexpr const char *kCountRows = "SELECT COUNT(*) FROM {table}";

// Log lines.
constexpr const char *kEmptyFrame = "Attempting to store empty DataFrame to table '{table}'";
constexpr const char *kCreating = "Creating temporary table '{temp_table}' ({rows} rows)";
constexpr const char *kDropping = "Dropping existing table '{table}' if present";
constexpr const char *kRenaming = "Renaming '{temp_table}' to '{table}'";
constexpr const char *kStored = "Successfully stored {rows} rows in table '{table}'";
constexpr const char *kDropped = "Dropped table '{table}'";
constexpr const char *kExistsFailed = "Error checking if table '{table}' exists: {error}";

// Errors.
constexpr const char *kStoreFailed = "Failed to store data in table '{table}': {error}";
constexpr const char *kDropFailed = "Failed to drop table '{table}': {error}";

}  // namespace brindle::stowage::text
