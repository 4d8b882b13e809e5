// The listening thread: notifications, catch-up and reloads; and the
// cluster-wide load of get_or_load.
#include "signalman.h"
#include "texts.h"

#include <algorithm>
#include <chrono>

namespace brindle::signalman {
namespace {

const Name kIsSet{"is_set"};
const Name kWait{"wait"};
const Name kFetchall{"fetchall"};
const Name kFetchone{"fetchone"};
const Name kNotifies{"notifies"};
const Name kPayload{"payload"};
const Name kLoads{"loads"};
const Name kGet{"get"};
const Name kPersistence{"persistence"};
const Name kDeserializeDf{"_deserialize_df"};
const Name kExistsMethod{"exists"};
const Name kStoreMethod{"store"};
const Name kSleep{"sleep"};
const Name kService{"service"};
const Name kKind{"kind"};
const Name kDatabase{"database"};
const Name kTable{"table"};
const Name kVersion{"version"};
const Name kSaver{"saver"};
const Name kTtlMinutes{"ttl_minutes"};
const Name kSchedulerManaged{"scheduler_managed"};

// How long one wait for notifications lasts: also how soon a stop is seen.
constexpr double kPollSeconds = 0.5;
// Notifications are the fast path; this is the slow one, for news a
// notification never brought (a dropped connection nobody noticed).
constexpr auto kCatchUpEvery = std::chrono::seconds(60);
constexpr double kFirstBackoff = 0.2;
// How often a process waiting for another's load looks again.
constexpr double kFollowSlice = 0.05;

bool stopping(nb::handle self) { return truth(call_method(attr(self, kStopEvent), kIsSet)); }

nb::object payload_field(nb::handle payload, const Name &name) { return call_method(payload, kGet, name.handle()); }

bool is_exact_str(nb::handle obj) { return PyUnicode_CheckExact(obj.ptr()); }

nb::object as_bytes(nb::handle data) {
    if (PyBytes_CheckExact(data.ptr()))
        return nb::borrow(data);
    return checked(PyBytes_FromObject(data.ptr()));
}

void on_invalidation(nb::handle self, nb::handle database, nb::handle table, std::int64_t version,
                     const std::string &source) {
    nb::object logger = logger_of(self);
    bool whole = is_none(table);
    if (whole) {
        if (version <= dropped_version(self, database))
            return;
        if (PyDict_SetItem(attr(self, kDropped).ptr(), database.ptr(), nb::int_(version).ptr()) != 0)
            throw_pending();
    } else if (version <= held_version(self, database, table)) {
        return;
    }
    // The manager compares the version with what it holds, table by table,
    // under each table's write.
    bool applied = guarded(
        [&] {
            return truth(call_method(attr(self, kManager), kApplyRemoteInvalidate, database, table,
                                     nb::int_(version), make_str(source)));
        },
        [&](nb::python_error &e) {
            log_format(logger, Level::Warning, text::kReloadFailed, database,
                       whole ? nb::handle(nb::str(text::kAllTables)) : table, exception_value(e));
            return false;
        });
    if (applied)
        log_format(logger, Level::Info, text::kInvalidatedRemote, database,
                   whole ? nb::handle(nb::str(text::kAllTables)) : table, nb::int_(version), make_str(source));
}

// Reloads unless the snapshot is older than at_least (or what is held).
bool reload_at_least(nb::handle self, nb::handle connection, nb::handle database, nb::handle table, nb::handle ttl,
                     bool scheduler_managed, const std::string &source, std::int64_t at_least) {
    return guarded(
        [&] {
            nb::object row = call_method(run(connection, text::kSelectSnapshot,
                                             nb::make_tuple(service_of(self), database, table)),
                                         kFetchone);
            if (is_none(row))
                return false;
            std::int64_t version = nb::cast<std::int64_t>(nb::object(row[1]));
            if (version < at_least || version <= held_version(self, database, table) ||
                version <= dropped_version(self, database))
                return false;
            nb::object manager = attr(self, kManager);
            nb::object df = call_method(attr(manager, kPersistence), kDeserializeDf, as_bytes(row[0]));
            // Decided again by the manager under the table's write: a store
            // of this process may have come in since the snapshot was read.
            if (!truth(call(attr(manager, kApplyRemoteStore), database, table, df, ttl, py_bool(scheduler_managed),
                            nb::int_(version), make_str(source))))
                return false;
            log_format(logger_of(self), Level::Info, text::kReloaded, database, table, nb::int_(version),
                       make_str(source));
            return true;
        },
        [&](nb::python_error &e) -> bool {
            if (is_unusable(connection))
                throw;
            log_format(logger_of(self), Level::Warning, text::kReloadFailed, database, table, exception_value(e));
            // The table's write stayed taken past lock_timeout_seconds (a long
            // store here): looked at again after the next wait for news.
            if (e.matches(attr(import("brindle.errors"), Name("BrindleLockError"))) &&
                PyList_Append(attr(self, kRechecks).ptr(), nb::make_tuple(database, table).ptr()) != 0)
                throw_pending();
            return false;
        });
}

// Listens on one connection until it fails or the signalman stops.
void listen_on(nb::handle self, nb::handle connection) {
    nb::object channel = attr(config_of(self), kSignalChannel);
    run(connection, fill(text::kListen, {{"channel", str_view(channel)}}).c_str(), nb::make_tuple());
    log_format(logger_of(self), Level::Info, text::kListening, channel, attr(self, kIdentity));
    catch_up(self, connection);
    auto caught_up = std::chrono::steady_clock::now();
    while (!stopping(self)) {
        // Collected first: the generator holds the connection, and a reload
        // needs it. What arrives meanwhile waits in psycopg's backlog.
        nb::object batch = checked(PySequence_List(
            connection.attr(kNotifies.handle())(nb::arg("timeout") = kPollSeconds, nb::arg("stop_after") = 1).ptr()));
        for (nb::handle notification : batch)
            on_notification(self, connection, notification);
        recheck_tables(self, connection);
        if (std::chrono::steady_clock::now() - caught_up >= kCatchUpEvery) {
            catch_up(self, connection);
            caught_up = std::chrono::steady_clock::now();
        }
    }
}

}  // namespace

bool reload(nb::handle self, nb::handle connection, nb::handle database, nb::handle table, nb::handle ttl,
            bool scheduler_managed, const std::string &source) {
    return reload_at_least(self, connection, database, table, ttl, scheduler_managed, source, -1);
}

void recheck_tables(nb::handle self, nb::handle connection) {
    nb::object rechecks = attr(self, kRechecks);
    if (PyList_GET_SIZE(rechecks.ptr()) == 0)
        return;
    set_attr(self, kRechecks, nb::list());
    // The time-to-live is not in the snapshot store: like a catch-up, the
    // table is scheduler-managed.
    for (nb::handle key : rechecks)
        reload(self, connection, nb::object(key[0]), nb::object(key[1]), nb::none(), true, text::kCaughtUp);
}

void on_notification(nb::handle self, nb::handle connection, nb::handle notification) {
    nb::object text_payload = attr(notification, kPayload);
    nb::object payload = guarded([&] { return call_method(this_module().get(kJson), kLoads, text_payload); },
                                 [&](nb::python_error &) { return nb::object(); });
    if (!payload.is_valid() || !PyDict_Check(payload.ptr())) {
        log_format(logger_of(self), Level::Debug, text::kBadPayload, text_payload);
        return;
    }
    nb::object service = payload_field(payload, kService), saver = payload_field(payload, kSaver);
    nb::object database = payload_field(payload, kDatabase), table = payload_field(payload, kTable);
    nb::object version = payload_field(payload, kVersion), kind = payload_field(payload, kKind);
    if (!is_exact_str(service) || !is_exact_str(database) || !PyLong_CheckExact(version.ptr()) ||
        !is_exact_str(kind) || !is_exact_str(saver) || !(is_none(table) || is_exact_str(table))) {
        log_format(logger_of(self), Level::Debug, text::kBadPayload, text_payload);
        return;
    }
    if (PyObject_RichCompareBool(service.ptr(), service_of(self).ptr(), Py_EQ) != 1 ||
        PyObject_RichCompareBool(saver.ptr(), attr(self, kIdentity).ptr(), Py_EQ) == 1)
        return;
    std::int64_t number = nb::cast<std::int64_t>(version);
    std::string by(str_view(saver));
    if (str_view(kind) == text::kKindInvalidate) {
        on_invalidation(self, database, table, number, fill(text::kInvalidatedBy, {{"saver", by}}));
        return;
    }
    if (str_view(kind) != text::kKindStore || is_none(table))
        return;
    if (number <= held_version(self, database, table))
        return;  // never back to older rows
    nb::object ttl = payload_field(payload, kTtlMinutes);
    if (!is_none(ttl) && !PyLong_CheckExact(ttl.ptr()))
        ttl = nb::none();
    reload(self, connection, database, table, ttl, truth(payload_field(payload, kSchedulerManaged)),
           fill(text::kNotifiedBy, {{"saver", by}}));
}

void catch_up(nb::handle self, nb::handle connection) {
    nb::object rows = call_method(run(connection, text::kSelectVersions, nb::make_tuple(service_of(self))), kFetchall);
    long reloaded = 0;
    for (nb::handle row : rows) {
        nb::object database = row[0], table = row[1];
        std::int64_t version = nb::cast<std::int64_t>(nb::object(row[2]));
        if (version <= held_version(self, database, table) || version <= dropped_version(self, database))
            continue;
        // The time-to-live is not in the snapshot store: like a warm-up, the
        // table is scheduler-managed.
        if (reload(self, connection, database, table, nb::none(), true, text::kCaughtUp))
            ++reloaded;
    }
    if (reloaded > 0)
        log_format(logger_of(self), Level::Info, text::kCaughtUpCount, nb::int_(reloaded));
}

nb::object listen(const Args &a) {
    nb::handle self = a[0];
    double backoff = kFirstBackoff;
    while (!stopping(self)) {
        nb::object connection;
        guarded(
            [&] {
                connection = call_method(self, kConnectMethod);
                backoff = kFirstBackoff;
                listen_on(self, connection);
            },
            [&](nb::python_error &e) {
                if (stopping(self))
                    return;
                log_format(logger_of(self), Level::Warning, text::kListenerLost, exception_value(e),
                           nb::float_(backoff));
            });
        close_quietly(connection);
        if (stopping(self))
            break;
        attr(self, kStopEvent).attr(kWait.handle())(nb::float_(backoff));
        double most = nb::cast<double>(attr(config_of(self), kReconnectMax));
        backoff = std::min(backoff * 2, most);
    }
    return nb::none();
}

nb::object load_once(const Args &a) {
    nb::handle self = a[0], database = a.str(1), table = a.str(2), loader = a.callable(3);
    nb::object ttl = a.optional_integer(4);
    if (!ttl.is_valid())
        ttl = nb::none();
    bool scheduler_managed = a.flag(5);
    nb::object manager = attr(self, kManager);
    std::string lock_name = fill(text::kLockName, {{"service", str_view(service_of(self))},
                                                   {"database", str_view(database)},
                                                   {"table", str_view(table)}});
    nb::object name = make_str(lock_name);
    // A session of its own: the lock goes with it if this process dies.
    nb::object connection = guarded([&] { return call_method(self, kConnectMethod); },
                                    [&](nb::python_error &e) {
                                        log_format(logger_of(self), Level::Warning, text::kLockFailed, database, table,
                                                   exception_value(e));
                                        return nb::object();
                                    });
    if (!connection.is_valid())
        return py_bool(false);
    // A snapshot saved within the caller's time-to-live is as fresh as a load
    // of its own (the leader's, finished before this process asked); without
    // one, only a snapshot saved after the call began is.
    std::int64_t fresh_from = now_micros();
    if (!is_none(ttl))
        fresh_from -= nb::cast<std::int64_t>(ttl) * 60 * 1000000;
    bool announced = false;
    try {
        for (;;) {
            bool leading = truth(nb::object(call_method(run(connection, text::kTryLock, nb::make_tuple(name)), kFetchone)[0]));
            if (leading) {
                log_format(logger_of(self), Level::Debug, text::kLeading, database, table);
                // The leader before us may have finished after we began to
                // wait; our listener may be applying its news right now (the
                // manager lands only the newer of the two).
                auto cached = [&] { return truth(call_method(manager, kExistsMethod, database, table)); };
                if (!cached() &&
                    !reload_at_least(self, connection, database, table, ttl, scheduler_managed,
                                     text::kLoadedByCluster, fresh_from) &&
                    !cached()) {
                    nb::object df = call(loader);
                    manager.attr(kStoreMethod.handle())(database, table, df, nb::arg("ttl_minutes") = ttl,
                                                        nb::arg("scheduler_managed") = py_bool(scheduler_managed));
                }
                ignore_failure([&] { run(connection, text::kUnlock, nb::make_tuple(name)); });
                break;
            }
            if (!announced) {
                log_format(logger_of(self), Level::Info, text::kFollowing, database, table);
                announced = true;
            }
            // The listener reloads the table when the leader's news comes.
            call_method(this_module().get(kTime), kSleep, nb::float_(kFollowSlice));
            if (truth(call_method(manager, kExistsMethod, database, table)))
                break;
        }
    } catch (...) {
        close_quietly(connection);
        throw;
    }
    close_quietly(connection);
    return py_bool(true);
}

}  // namespace brindle::signalman
