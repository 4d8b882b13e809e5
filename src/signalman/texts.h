// Everything of the signalman that callers see as text: docstrings,
// statements, log lines.
#pragma once

namespace brindle::signalman::text {

constexpr const char *kModuleDoc =
    "Cross-process coherence for brindle - PostgreSQL notifications and load locks.\n"
    "\n"
    "Every process of a service that turns it on (BrindleConfig.signal_enabled) hears of\n"
    "the others' stores and invalidations and reloads the table from the outside\n"
    "snapshot store; get_or_load runs one loader for the whole cluster.";

constexpr const char *kClassDoc =
    "Carries news of stores and invalidations between the processes of one service.\n"
    "\n"
    "It holds one listening connection (a background thread) and one connection for\n"
    "its own notifications, both to the database of the snapshot store, and keeps the\n"
    "snapshot version each table was last stored or reloaded at.";

constexpr const char *kInitDoc = "Keep the manager and the configuration; connect nothing yet.";
constexpr const char *kConnectDoc =
    "Open a new autocommit connection from config.signal_dsn (a DSN, or a callable returning one).";
constexpr const char *kPrepareDoc =
    "Read the versions of every snapshot of the service, before the manager's warm-up.";
constexpr const char *kStartDoc =
    "Adopt the versions read by prepare() for the tables the warm-up stored; start listening.";
constexpr const char *kStoredDoc =
    "Note a store of this process; announce it when its snapshot was saved (stored_at given).";
constexpr const char *kInvalidatedDoc = "Announce an invalidation of one table, or of the whole database.";
constexpr const char *kVersionsDoc = "Return {(database, table): (version, source)} of the tables this process holds.";
constexpr const char *kRecheckDoc =
    "Have the listener look at the table's snapshot again (news put off while this process stored it).";
constexpr const char *kLockSavesDoc =
    "Take the table's save turn among the service's processes (raises TimeoutError after\n"
    "external_timeout_seconds).";
constexpr const char *kUnlockSavesDoc = "Give the table's save turn back.";
constexpr const char *kLoadOnceDoc =
    "Run loader and store its frame in one process of the cluster; the others wait and reload.\n"
    "\n"
    "Returns True once the table is stored here, by this process or from the leader's snapshot.";
constexpr const char *kStopDoc = "Stop listening and close the connections (waits up to 5 s for the thread).";
constexpr const char *kListenDoc = "The listening thread's loop.";

constexpr const char *kThreadName = "BrindleSignalman";
constexpr const char *kLoggerSuffix = ".signalman";

// Sources of a version, as stats() shows them.
constexpr const char *kStoredHere = "stored here";
constexpr const char *kStoredNotSaved = "stored here, not saved";
constexpr const char *kWarmUp = "warm-up";
constexpr const char *kNotifiedBy = "notified by {saver}";
constexpr const char *kCaughtUp = "catch-up";
constexpr const char *kLoadedByCluster = "loaded by another process";
constexpr const char *kInvalidatedHere = "invalidated here";
constexpr const char *kInvalidatedBy = "invalidated by {saver}";

constexpr const char *kKindStore = "store";
constexpr const char *kKindInvalidate = "invalidate";

// Statements (psycopg "%s" placeholders, values bound). The version of a
// snapshot is its stored_at in microseconds since 1970 (UTC), read from the
// column as it is.
constexpr const char *kListen = "LISTEN {channel}";
constexpr const char *kNotify = "SELECT pg_notify(%s, %s)";
constexpr const char *kSelectVersions =
    "SELECT db_name, table_name, (EXTRACT(EPOCH FROM stored_at) * 1000000)::bigint "
    "FROM brindle_snapshots WHERE service_name = %s";
constexpr const char *kSelectSnapshot =
    "SELECT data, (EXTRACT(EPOCH FROM stored_at) * 1000000)::bigint "
    "FROM brindle_snapshots WHERE service_name = %s AND db_name = %s AND table_name = %s";
constexpr const char *kTryLock = "SELECT pg_try_advisory_lock(hashtext(%s))";
constexpr const char *kUnlock = "SELECT pg_advisory_unlock(hashtext(%s))";
constexpr const char *kLockName = "brindle:{service}:{database}:{table}";
// The save turn of a table: session advisory locks of the send connection.
constexpr const char *kTrySaveLock = "SELECT pg_try_advisory_lock(hashtext(%s))";
constexpr const char *kUnlockSave = "SELECT pg_advisory_unlock(hashtext(%s))";
constexpr const char *kSaveLockName = "brindle-save:{service}:{database}:{table}";
constexpr const char *kSaveLockTimeout =
    "another process's save of {database}.{table} did not end within {timeout}s";

// Log lines ("%s"-style, formatted by logging).
constexpr const char *kListening = "Listening for snapshot news on channel '%s' as %s";
constexpr const char *kReloaded = "Reloaded '%s.%s' from the snapshot store (version %d, %s)";
constexpr const char *kInvalidatedRemote = "Invalidated '%s.%s' (version %d, %s)";
constexpr const char *kReloadFailed = "Failed to reload '%s.%s' from the snapshot store: %s";
constexpr const char *kNotifyFailed = "Failed to announce '%s.%s' to the other processes: %s";
constexpr const char *kPrepareFailed = "Could not read snapshot versions before the warm-up: %s";
constexpr const char *kListenerLost = "Snapshot listener lost its connection (%s); reconnecting in %.1f s";
constexpr const char *kCaughtUpCount = "Caught up with the snapshot store: %d table(s) reloaded";
constexpr const char *kBadPayload = "Ignored a notification that is not brindle's: %r";
constexpr const char *kLeading = "Loading '%s.%s' for the cluster";
constexpr const char *kFollowing = "Waiting for another process to load '%s.%s'";
constexpr const char *kLockFailed = "Cluster load lock for '%s.%s' unavailable (%s); loading here";

constexpr const char *kAllTables = "*";

}  // namespace brindle::signalman::text
