// The signalman module: shared declarations of its translation units.
//
// Threads and locks. The listening thread (a non-daemon threading.Thread,
// told to finish by threading's exit hook before the interpreter joins its
// threads, so no C++ frame of it is ever unwound at exit) is the only one
// that reads notifications and reloads tables. It takes no lock of a table:
// it reads a snapshot, then hands it to the manager with its version, and the
// manager decides under the table's write (its writer record, bounded by
// lock_timeout_seconds) whether it is newer than what is held; the versions
// live in those records. _send_lock guards the connection used for our own
// notifications and the save turns (advisory locks of that session), held
// for one statement at a time. Every wait gives up the GIL, and every
// statement is bounded by the connections' statement_timeout.
#pragma once

#include "interop/interop.h"

#include <cstdint>

namespace brindle::signalman {

using namespace brindle::interop;

inline const char *const kModule = "brindle.signalman";

// Module attributes.
inline const Name kJson{"json"};
inline const Name kLogging{"logging"};
inline const Name kOs{"os"};
inline const Name kSocket{"socket"};
inline const Name kThreading{"threading"};
inline const Name kTime{"time"};
inline const Name kDatetime{"datetime"};
inline const Name kTimedelta{"timedelta"};

// Instance attributes.
inline const Name kManager{"manager"};
inline const Name kConfig{"config"};
inline const Name kIdentity{"identity"};
inline const Name kInitial{"_initial"};
inline const Name kDropped{"_dropped"};
inline const Name kStopEvent{"_stop"};
inline const Name kThread{"_thread"};
inline const Name kSend{"_send"};
inline const Name kSendLock{"_send_lock"};
inline const Name kRechecks{"_rechecks"};

// Configuration attributes.
inline const Name kServiceName{"service_name"};
inline const Name kLogName{"log_name"};
inline const Name kSignalDsn{"signal_dsn"};
inline const Name kSignalChannel{"signal_channel"};
inline const Name kSignalTimeout{"signal_timeout_seconds"};
inline const Name kReconnectMax{"signal_reconnect_max_seconds"};
inline const Name kExternalTimeout{"external_timeout_seconds"};

// Methods reached through the instance, so that a patched one takes effect.
inline const Name kConnectMethod{"connect"};
inline const Name kListenMethod{"_listen"};

// The manager's methods a reload goes through.
inline const Name kApplyRemoteStore{"_apply_remote_store"};
inline const Name kApplyRemoteInvalidate{"_apply_remote_invalidate"};
inline const Name kHeldVersion{"_held_version"};
inline const Name kNoteVersion{"_note_version"};
inline const Name kManagerVersions{"_versions"};

// --- shared helpers -----------------------------------------------------------------

nb::object config_of(nb::handle self);
nb::object service_of(nb::handle self);
// conn.execute(sql, params): the cursor.
nb::object run(nb::handle connection, const char *sql, nb::handle params);
// Whether a connection can no longer be used (closed, or broken by the server).
bool is_unusable(nb::handle connection);
// Closes a connection, ignoring failures.
void close_quietly(nb::handle connection);
// Microseconds since 1970 by this host's clock, as versions are counted.
std::int64_t now_micros();
// The held version of (database, table); -1 when none.
std::int64_t held_version(nb::handle self, nb::handle database, nb::handle table);
void note_version(nb::handle self, nb::handle database, nb::handle table, std::int64_t version,
                  const std::string &source);
// The version an invalidation of the whole database left; -1 when none.
std::int64_t dropped_version(nb::handle self, nb::handle database);

// Reloads a table from its snapshot when the snapshot is newer than what is
// held; true when it did. Failures of the connection propagate, others are logged.
bool reload(nb::handle self, nb::handle connection, nb::handle database, nb::handle table, nb::handle ttl,
            bool scheduler_managed, const std::string &source);
// Reloads the tables the manager asked to look at again.
void recheck_tables(nb::handle self, nb::handle connection);
// Handles one notification received by the listener.
void on_notification(nb::handle self, nb::handle connection, nb::handle notification);
// Reloads every table whose snapshot is newer than what is held.
void catch_up(nb::handle self, nb::handle connection);

// Method implementations (self first).
nb::object signalman_init(const Args &a);
nb::object connect(const Args &a);
nb::object prepare(const Args &a);
nb::object start(const Args &a);
nb::object stored(const Args &a);
nb::object invalidated(const Args &a);
nb::object versions(const Args &a);
nb::object recheck(const Args &a);
nb::object lock_saves(const Args &a);
nb::object unlock_saves(const Args &a);
nb::object load_once(const Args &a);
nb::object stop(const Args &a);
nb::object listen(const Args &a);

void init_signalman(nb::module_ &m);

}  // namespace brindle::signalman
