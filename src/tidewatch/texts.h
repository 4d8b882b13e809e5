// Everything of the TTL registry that callers see as text: docstrings and
// log lines.
#pragma once

namespace brindle::tidewatch::text {

constexpr const char *kModuleDoc = "TTL registry and cleanup management for brindle.";

constexpr const char *kEntryDoc = "Metadata for a cached table.";
constexpr const char *kRegistryDoc =
    "Thread-safe registry for tracking cache TTL and staleness.\n"
    "\n"
    "Singleton pattern - maintains single source of truth for all cache metadata.";

// Method docstrings.
constexpr const char *kRegisterDoc = "Register or update a table in the registry.";
constexpr const char *kUpdateLoadedTimeDoc = "Update the loaded_at timestamp and clear stale flag.";
constexpr const char *kMarkStaleDoc = "Mark a table as stale (needs refresh).";
constexpr const char *kIsStaleDoc = "Check if a table is marked as stale.";
constexpr const char *kIsExpiredDoc = "Check if a table has exceeded its TTL.";
constexpr const char *kExistsDoc = "Check if a table is registered.";
constexpr const char *kIncrementReadersDoc = "Increment active reader count.";
constexpr const char *kDecrementReadersDoc = "Decrement active reader count.";
constexpr const char *kHasActiveReadersDoc = "Check if table has active readers.";
constexpr const char *kIsSchedulerManagedDoc = "Check if table is scheduler-managed (bypasses TTL expiry).";
constexpr const char *kRemoveDoc = "Remove a table from the registry.";
constexpr const char *kRemoveDatabaseDoc = "Remove all tables for a database.";
constexpr const char *kGetAllEntriesDoc = "Get a snapshot of all registry entries (for cleanup thread).";
constexpr const char *kGetLastUpdatedDoc = "Get the last updated timestamp for a table.";
constexpr const char *kGetEntryDoc = "Internal: Get entry without lock (caller must hold lock).";
constexpr const char *kStartCleanupDoc =
    "Start background cleanup thread.\n"
    "\n"
    "Args:\n"
    "    cleanup_callback: Function(database, table) to call for expired entries\n"
    "    interval_minutes: How often to run cleanup";
constexpr const char *kStopCleanupDoc = "Stop the background cleanup thread.";
constexpr const char *kCleanupLoopDoc = "Background thread loop for TTL cleanup.";
constexpr const char *kRunCleanupDoc = "Execute cleanup pass - mark stale or trigger removal.";

constexpr const char *kThreadName = "BrindleCleanup";

// Registry log lines.
constexpr const char *kRegistered =
    "Registered cache entry: {database}.{table} (TTL={ttl_minutes}min, scheduler_managed={scheduler_managed})";
constexpr const char *kUpdatedLoadedTime = "Updated loaded time: {database}.{table}";
constexpr const char *kMarkedStale = "Marked as stale: {database}.{table}";
constexpr const char *kReaderUp = "Reader count++ for {database}.{table}: {active_readers}";
constexpr const char *kReaderDown = "Reader count-- for {database}.{table}: {active_readers}";
constexpr const char *kRemoved = "Removed from registry: {database}.{table}";
constexpr const char *kRemovedDatabase = "Removed all tables for database: {database}";

// Cleanup thread log lines.
constexpr const char *kAlreadyRunning = "Cleanup thread already running";
constexpr const char *kStarted = "Started cleanup thread (interval={interval_minutes}min)";
constexpr const char *kStopped = "Stopped cleanup thread";
constexpr const char *kStillRunning =
    "Cleanup thread still in a pass after {seconds} s; it ends when the pass does";
constexpr const char *kLoopError = "Error in cleanup loop: {error}";
constexpr const char *kExpiredWithReaders =
    "Table {database}.{table} expired but has {active_readers} readers - marked stale";
constexpr const char *kCleaningUp = "Cleaning up expired table: {database}.{table}";
constexpr const char *kCallbackFailed = "Cleanup callback failed for {database}.{table}: {error}";

}  // namespace brindle::tidewatch::text
