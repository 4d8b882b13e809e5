// The manager's DuckDB connections: the connection map (_connections, guarded
// by _connection_lock), the opening of a key's connection, the per-table
// catalogs of in-memory per_table_db databases, the write locks of the keys
// and the bookkeeping that lets a connection be retired while statements
// still run on it. A static library of the manager's module.
//
// Locks (see docs/concurrency.md): _connection_lock is held only for a
// lookup, an insertion or a removal of the map, never while a connection is
// opened or closed and never while a record is written or resolver code
// runs. A key being opened is marked in a C++ record (its mutex held only for
// the mark, waited for with the GIL released): other threads wanting that key
// wait for the opening, within lock_timeout_seconds; every other key, and
// every lookup, goes on.
#pragma once

#include "duck/duckdb.h"
#include "interop/interop.h"
#include "interop/mapping.h"
#include "interop/turns.h"

#include <chrono>
#include <string>
#include <vector>

namespace brindle::connections {

namespace nb = nanobind;
using namespace brindle::interop;

// --- settings ---------------------------------------------------------------------

// config.<name> in seconds; below 0 (no bound) when the configuration has no
// such setting or it is None.
double seconds_setting(nb::handle self, const Name &name);

inline const Name kLockTimeoutSeconds{"lock_timeout_seconds"};

// The bound of one write: lock_timeout_seconds from the moment it began,
// shared by every wait of the write (its record, then the key's lock).
class WriteDeadline {
public:
    explicit WriteDeadline(nb::handle self);
    double left() const;  // seconds, never below 0 (below 0: no bound)

private:
    double seconds_;
    std::chrono::steady_clock::time_point start_;
};

// --- write locks --------------------------------------------------------------------

// A connection key's write lock (the threading.Lock of _locks) held for the
// scope. acquire() waits with the GIL released (the lock's own acquire) and
// refuses at once a lock this thread holds already: in single_db mode a
// handler storing another table of the database would otherwise wait for
// its own thread.
class HeldWriteLock {
public:
    explicit HeldWriteLock(nb::handle lock) : lock_(nb::borrow(lock)) {}
    ~HeldWriteLock();
    HeldWriteLock(const HeldWriteLock &) = delete;
    HeldWriteLock &operator=(const HeldWriteLock &) = delete;
    Wait acquire(double timeout_seconds);

private:
    nb::object lock_;
    bool held_ = false;
};

// The key's write lock from _locks, made on first use (under _connection_lock).
nb::object write_lock(nb::handle self, nb::handle key);

// --- opening ----------------------------------------------------------------------

// The key's connection from _connections; an invalid object when it has none.
nb::object find_connection(nb::handle self, nb::handle key);

// The key's connection, opened when it has none: a .duckdb file at `path`
// when it is truthy, otherwise an instance of its own (single_db) or a
// catalog of the database's instance (per_table_db). The open runs with
// _connection_lock free; others wanting the same key wait for it. Logs the
// creation once the connection is in the map. Raises BrindleLockError when
// another thread's opening of the key outlasts lock_timeout_seconds.
nb::object open_connection(nb::handle self, nb::handle key, nb::handle database, bool single_db, nb::handle path,
                           nb::handle settings);

// The connect() config of the database: the configuration's settings, as the
// resolver's file overrides them for the database.
nb::object duckdb_settings_of(nb::handle self, nb::handle database);

// --- connections in use -----------------------------------------------------------

// Keeps count of the manager's statements running on each connection, so that
// a connection retired by invalidation or shutdown is closed only once they
// have ended (DuckDB refuses to close a connection while a cursor of it runs a
// statement). Connections are known by their identity; a connection object
// that cannot be tracked (one without weak references) is used untracked.
class ConnectionUse {
public:
    // Enters the connection; refused() tells whether it has been retired.
    ConnectionUse(nb::handle connection, nb::handle logger);
    ~ConnectionUse();
    ConnectionUse(const ConnectionUse &) = delete;
    ConnectionUse &operator=(const ConnectionUse &) = delete;

    bool refused() const { return refused_; }
    // get_raw_connection() has handed the connection out.
    bool handed_out() const { return handed_out_; }

private:
    nb::object connection_;
    nb::object logger_;
    bool entered_ = false;
    bool refused_ = false;
    bool handed_out_ = false;
};

// Remembers, for as long as the connection lives, that get_raw_connection()
// handed it out. False when the connection cannot be tracked.
bool mark_handed_out(nb::handle connection);

// Retires a connection that is leaving the manager. Returns how many of the
// manager's statements are still running on it: with 0, the connection is
// closed here and now (a failing close puts it back in service and raises);
// otherwise the last of those statements closes it.
long retire_connection(nb::handle connection);

// connection.close(), then, for a table's own catalog in a shared instance,
// the catalog's detach.
void close_connection(nb::handle connection);

// Lets go of the DuckDB instance the manager keeps for a per_table_db
// database in memory (all of them with an invalid database); it closes once
// its last table's catalog is detached.
void forget_instances(nb::handle self, nb::handle database);

// --- leaving the map ------------------------------------------------------------------

struct Retired {
    std::string key;
    long running;  // statements that still run on it; the last one closes it
};

// Takes the keys' connections out of _connections under _connection_lock,
// then retires them with the lock free, so that a slow close (a checkpoint
// of a file) stalls no other database's queries. A failing close puts that
// connection and the ones not yet retired back (unless their keys have been
// opened again meanwhile) and raises.
void retire_keys(nb::handle self, const std::vector<nb::object> &keys, std::vector<Retired> &retired);
// Every key of _connections whose database is `database`, in order.
std::vector<nb::object> keys_of_database(nb::handle self, nb::handle database);
// Writes the DEBUG record of each close left to a connection's last statement.
void log_deferred(nb::handle self, const std::vector<Retired> &retired);

// How closing one connection at shutdown went.
struct CloseOutcome {
    std::string key;
    bool failed;
    std::string error;
    long running;
};

// Empties _connections and retires every connection (closing with
// _connection_lock free); `keys` receives the keys in map order.
std::vector<CloseOutcome> close_all(nb::handle self, std::vector<nb::object> &keys);
// The records of close_all's outcomes, once every lock is free.
void log_outcomes(nb::handle self, const std::vector<CloseOutcome> &outcomes);

}  // namespace brindle::connections
