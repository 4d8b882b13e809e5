// Signalman: the class, its connections, versions and this process's own news.
#include "signalman.h"
#include "texts.h"
#include "interop/mapping.h"

#include <chrono>
#include <optional>

namespace brindle::signalman {
namespace {

const Name kGetLogger{"getLogger"};
const Name kEvent{"Event"};
const Name kLock{"Lock"};
const Name kSet{"set"};
const Name kIsAlive{"is_alive"};
const Name kJoin{"join"};
const Name kStartThread{"start"};
const Name kClose{"close"};
const Name kClosed{"closed"};
const Name kBroken{"broken"};
const Name kExecute{"execute"};
const Name kFetchall{"fetchall"};
const Name kFetchone{"fetchone"};
const Name kDumps{"dumps"};
const Name kGethostname{"gethostname"};
const Name kGetpid{"getpid"};
const Name kTimeNs{"time_ns"};
const Name kFromisoformat{"fromisoformat"};
const Name kReplace{"replace"};
const Name kAutocommit{"autocommit"};
const Name kRegisterAtexit{"_register_atexit"};
const Name kStopMethod{"stop"};
const Name kTtlRegistry{"_ttl_registry"};
const Name kExists{"exists"};
const Name kCopy{"copy"};
const Name kSetdefault{"setdefault"};
const Name kItems{"items"};

constexpr double kStopJoinSeconds = 5.0;
// How often a saver waiting for another process's save of the table asks again.
constexpr double kSaveLockSlice = 0.01;

nb::object signal_timeout(nb::handle self) { return attr(config_of(self), kSignalTimeout); }

// "<host>:<pid>:<n>": tells this manager's notifications from every other's.
nb::object make_identity() {
    static int made = 0;
    std::string host = to_text(call_method(this_module().get(kSocket), kGethostname));
    std::string pid = to_text(call_method(this_module().get(kOs), kGetpid));
    return make_str(host + ":" + pid + ":" + std::to_string(++made));
}

// The connection for our own notifications, (re)made when it is unusable;
// the caller holds _send_lock.
nb::object send_connection(nb::handle self) {
    nb::object connection = attr(self, kSend);
    if (is_none(connection) || is_unusable(connection)) {
        connection = call_method(self, kConnectMethod);
        set_attr(self, kSend, connection);
    }
    return connection;
}

// Runs a statement on the send connection; a connection that broke under it
// (a server restart) is replaced and the statement sent once more.
nb::object run_on_send(nb::handle self, const char *sql, nb::handle params, bool fetch_all) {
    PyLockGuard held(attr(self, kSendLock));
    for (int attempt = 0;; ++attempt) {
        nb::object connection = send_connection(self);
        try {
            nb::object cursor = run(connection, sql, params);
            return fetch_all ? call_method(cursor, kFetchall) : nb::none();
        } catch (nb::python_error &) {
            if (attempt > 0 || !is_unusable(connection))
                throw;
        }
    }
}

nb::object payload_text(nb::handle self, const char *kind, nb::handle database, nb::handle table,
                        std::int64_t version, nb::handle ttl, bool scheduler_managed) {
    nb::dict payload;
    payload["service"] = service_of(self);
    payload["kind"] = nb::str(kind);
    payload["database"] = database;
    payload["table"] = table;
    payload["version"] = nb::int_(version);
    payload["saver"] = attr(self, kIdentity);
    payload["ttl_minutes"] = ttl;
    payload["scheduler_managed"] = py_bool(scheduler_managed);
    return call_method(this_module().get(kJson), kDumps, payload);
}

void announce(nb::handle self, nb::handle database, nb::handle table, nb::handle payload) {
    guarded(
        [&] {
            run_on_send(self, text::kNotify, nb::make_tuple(attr(config_of(self), kSignalChannel), payload),
                        false);
        },
        [&](nb::python_error &e) {
            log_format(logger_of(self), Level::Warning, text::kNotifyFailed, database,
                       table.is_valid() && !is_none(table) ? nb::handle(table) : nb::handle(nb::str(text::kAllTables)),
                       exception_value(e));
        });
}

// stored_at text as the snapshot table keeps it (a TIMESTAMP without time
// zone takes the wall time and drops the offset), in microseconds since 1970.
std::int64_t version_of_text(nb::handle stored_at) {
    nb::object datetime_class = attr(this_module().get(kDatetime), kDatetime);
    nb::object parsed = call_method(datetime_class, kFromisoformat, stored_at);
    nb::object naive = parsed.attr(kReplace.handle())(nb::arg("tzinfo") = nb::none());
    nb::object epoch = datetime_class(1970, 1, 1);
    nb::object micro = this_module().get(kDatetime).attr(kTimedelta.handle())(nb::arg("microseconds") = 1);
    nb::object elapsed = checked(PyNumber_Subtract(naive.ptr(), epoch.ptr()));
    return nb::cast<std::int64_t>(checked(PyNumber_FloorDivide(elapsed.ptr(), micro.ptr())));
}

nb::object key_of(nb::handle database, nb::handle table) { return nb::make_tuple(database, table); }

}  // namespace

nb::object config_of(nb::handle self) { return attr(self, kConfig); }
nb::object service_of(nb::handle self) { return attr(config_of(self), kServiceName); }

nb::object run(nb::handle connection, const char *sql, nb::handle params) {
    return call_method(connection, kExecute, nb::str(sql), params);
}

bool is_unusable(nb::handle connection) {
    return truth(attr(connection, kClosed)) || truth(attr(connection, kBroken));
}

void close_quietly(nb::handle connection) {
    if (connection.is_valid() && !is_none(connection))
        ignore_failure([&] { call_method(connection, kClose); });
}

std::int64_t now_micros() {
    return nb::cast<std::int64_t>(call_method(this_module().get(kTime), kTimeNs)) / 1000;
}

std::int64_t held_version(nb::handle self, nb::handle database, nb::handle table) {
    nb::object held = call_method(attr(self, kManager), kHeldVersion, database, table);
    return is_none(held) ? -1 : nb::cast<std::int64_t>(nb::object(held[0]));
}

void note_version(nb::handle self, nb::handle database, nb::handle table, std::int64_t version,
                  const std::string &source) {
    call_method(attr(self, kManager), kNoteVersion, database, table, nb::int_(version), make_str(source));
}

std::int64_t dropped_version(nb::handle self, nb::handle database) {
    PyObject *found = PyDict_GetItemWithError(attr(self, kDropped).ptr(), database.ptr());
    if (!found) {
        if (PyErr_Occurred())
            throw_pending();
        return -1;
    }
    return nb::cast<std::int64_t>(nb::borrow(found));
}

nb::object signalman_init(const Args &a) {
    nb::handle self = a[0], manager = a[1], config = a[2];
    set_attr(self, kManager, manager);
    set_attr(self, kConfig, config);
    nb::object name = checked(PyNumber_Add(attr(config, kLogName).ptr(), nb::str(text::kLoggerSuffix).ptr()));
    set_attr(self, kLogger, call_method(this_module().get(kLogging), kGetLogger, name));
    set_attr(self, kIdentity, make_identity());
    set_attr(self, kInitial, nb::dict());
    set_attr(self, kDropped, nb::dict());
    set_attr(self, kRechecks, nb::list());
    set_attr(self, kStopEvent, call_method(this_module().get(kThreading), kEvent));
    set_attr(self, kThread, nb::none());
    set_attr(self, kSend, nb::none());
    set_attr(self, kSendLock, call_method(this_module().get(kThreading), kLock));
    return nb::none();
}

// Whole seconds for libpq, rounded up: it takes no fractions, and 0 would mean no bound.
long whole_seconds(double seconds) {
    long whole = static_cast<long>(seconds) + (seconds > static_cast<long>(seconds) ? 1 : 0);
    return std::max(1L, whole);
}

nb::object connect(const Args &a) {
    nb::handle self = a[0];
    nb::object dsn = attr(config_of(self), kSignalDsn);
    nb::object connection;
    if (PyCallable_Check(dsn.ptr())) {
        connection = call(dsn);
    } else {
        // Every statement, and the wait for a server that stopped answering
        // (a half-open connection), is bounded by signal_timeout_seconds;
        // the DSN's own settings win where it has them.
        double seconds = nb::cast<double>(signal_timeout(self));
        long whole = whole_seconds(seconds);
        nb::object psycopg = import("psycopg");
        nb::object given = call(attr(attr(psycopg, Name("conninfo")), Name("conninfo_to_dict")), dsn);
        nb::dict settings;
        settings["autocommit"] = py_bool(true);
        settings["connect_timeout"] = nb::int_(whole);
        std::string timeout = "-c statement_timeout=" + std::to_string(static_cast<long>(seconds * 1000));
        nb::object options = find_item(given, nb::str("options"));
        settings["options"] = make_str(options.is_valid() ? to_text(options) + " " + timeout : timeout);
        const std::pair<const char *, long> keepalives[] = {
            {"keepalives", 1}, {"keepalives_idle", whole}, {"keepalives_interval", 1}, {"keepalives_count", 3},
            {"tcp_user_timeout", whole * 1000}};
        for (auto [name, value] : keepalives)
            if (!find_item(given, nb::str(name)).is_valid())
                settings[name] = nb::int_(value);
        nb::object connect_fn = attr(psycopg, Name("connect"));
        connection = checked(PyObject_Call(connect_fn.ptr(), nb::make_tuple(dsn).ptr(), settings.ptr()));
    }
    set_attr(connection, kAutocommit, Py_True);
    return connection;
}

nb::object prepare(const Args &a) {
    nb::handle self = a[0];
    guarded(
        [&] {
            nb::object rows = run_on_send(self, text::kSelectVersions, nb::make_tuple(service_of(self)), true);
            nb::dict initial;
            for (nb::handle row : rows)
                initial[nb::make_tuple(row[0], row[1])] = row[2];
            set_attr(self, kInitial, initial);
        },
        [&](nb::python_error &e) {
            log_format(logger_of(self), Level::Warning, text::kPrepareFailed, exception_value(e));
        });
    return nb::none();
}

nb::object start(const Args &a) {
    nb::handle self = a[0];
    // A warmed table holds at least the version read before the warm-up; a
    // save in between only makes the catch-up load it once more.
    nb::object registry = attr(attr(self, kManager), kTtlRegistry);
    nb::object initial = attr(self, kInitial);
    set_attr(self, kInitial, nb::dict());
    nb::object items = checked(PySequence_List(call_method(initial, kItems).ptr()));
    for (nb::handle item : items) {
        nb::object key = item[0];
        if (truth(call_method(registry, kExists, key[0], key[1])))
            note_version(self, key[0], key[1], nb::cast<std::int64_t>(item[1]), text::kWarmUp);
    }
    nb::object threading = this_module().get(kThreading);
    // Told to stop by threading's own exit hook, which runs before the
    // interpreter waits for its threads.
    call_method(threading, kRegisterAtexit, attr(self, kStopMethod));
    nb::object thread = attr(threading, Name("Thread"))(nb::arg("target") = attr(self, kListenMethod),
                                                        nb::arg("name") = text::kThreadName,
                                                        nb::arg("daemon") = false);
    set_attr(self, kThread, thread);
    call_method(thread, kStartThread);
    return nb::none();
}

nb::object stored(const Args &a) {
    nb::handle self = a[0], database = a.str(1), table = a.str(2), stored_at = a.optional_str(3);
    nb::handle ttl = a[4];
    bool scheduler_managed = a.flag(5);
    if (!stored_at.is_valid()) {
        // Not saved: the rows are newer than what was held, but no saved
        // snapshot is outranked by them, so the next one that comes lands.
        note_version(self, database, table, held_version(self, database, table), text::kStoredNotSaved);
        return nb::none();
    }
    std::int64_t version = version_of_text(stored_at);
    note_version(self, database, table, version, text::kStoredHere);
    announce(self, database, table,
             payload_text(self, text::kKindStore, database, table, version, ttl, scheduler_managed));
    return nb::none();
}

nb::object invalidated(const Args &a) {
    nb::handle self = a[0], database = a.str(1), table = a.optional_str(2);
    std::int64_t version = now_micros();
    nb::object shown = table.is_valid() ? nb::borrow(table) : nb::none();
    if (table.is_valid()) {
        note_version(self, database, table, version, text::kInvalidatedHere);
    } else {
        if (PyDict_SetItem(attr(self, kDropped).ptr(), database.ptr(), nb::int_(version).ptr()) != 0)
            throw_pending();
        nb::object keys = checked(PySequence_List(call_method(attr(self, kManager), kManagerVersions).ptr()));
        for (nb::handle key : keys)
            if (PyObject_RichCompareBool(nb::object(key[0]).ptr(), database.ptr(), Py_EQ) == 1)
                note_version(self, database, key[1], version, text::kInvalidatedHere);
    }
    announce(self, database, shown, payload_text(self, text::kKindInvalidate, database, shown, version, nb::none(), false));
    return nb::none();
}

nb::object versions(const Args &a) { return call_method(attr(a[0], kManager), kManagerVersions); }

nb::object recheck(const Args &a) {
    nb::handle self = a[0], database = a.str(1), table = a.str(2);
    // Appended under the GIL; the listener takes the whole list at once.
    if (PyList_Append(attr(self, kRechecks).ptr(), key_of(database, table).ptr()) != 0)
        throw_pending();
    return nb::none();
}

namespace {

nb::object save_lock_name(nb::handle self, nb::handle database, nb::handle table) {
    return make_str(fill(text::kSaveLockName, {{"service", str_view(service_of(self))},
                                               {"database", str_view(database)},
                                               {"table", str_view(table)}}));
}

}  // namespace

nb::object lock_saves(const Args &a) {
    nb::handle self = a[0], database = a.str(1), table = a.str(2);
    nb::object name = save_lock_name(self, database, table);
    nb::object timeout = optional_attr(config_of(self), kExternalTimeout);
    double seconds = timeout.is_valid() && !is_none(timeout) ? nb::cast<double>(timeout) : -1;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                                                           std::chrono::duration<double>(std::max(0.0, seconds)));
    // Tried rather than waited for on the server: the session is shared by
    // every thread's notifications, which must not wait behind one save.
    for (;;) {
        nb::object rows = run_on_send(self, text::kTrySaveLock, nb::make_tuple(name), true);
        if (truth(nb::object(nb::object(rows[0])[0])))
            return nb::none();
        if (seconds >= 0 && std::chrono::steady_clock::now() >= deadline)
            throw_error(PyExc_TimeoutError, fill(text::kSaveLockTimeout, {{"database", str_view(database)},
                                                                          {"table", str_view(table)},
                                                                          {"timeout", to_text(timeout)}}));
        call_method(this_module().get(kTime), Name("sleep"), nb::float_(kSaveLockSlice));
    }
}

nb::object unlock_saves(const Args &a) {
    nb::handle self = a[0], database = a.str(1), table = a.str(2);
    run_on_send(self, text::kUnlockSave, nb::make_tuple(save_lock_name(self, database, table)), true);
    return nb::none();
}

nb::object stop(const Args &a) {
    nb::handle self = a[0];
    call_method(attr(self, kStopEvent), kSet);
    nb::object thread = attr(self, kThread);
    if (!is_none(thread) && truth(call_method(thread, kIsAlive)) &&
        !PyObject_RichCompareBool(thread.ptr(), call_method(this_module().get(kThreading), Name("current_thread")).ptr(), Py_EQ))
        thread.attr(kJoin.handle())(nb::arg("timeout") = kStopJoinSeconds);
    PyLockGuard held(attr(self, kSendLock));
    close_quietly(attr(self, kSend));
    set_attr(self, kSend, nb::none());
    return nb::none();
}

void init_signalman(nb::module_ &m) {
    const FunctionMaker method(kModule);
    nb::object cls = make_class(kModule, "Signalman", text::kClassDoc, {
        {"__init__", method("Signalman.__init__", text::kInitDoc,
                            {"self", {"manager", "Any"}, {"config", "BrindleConfig"}}, nullptr, signalman_init)},
        {"connect", method("Signalman.connect", text::kConnectDoc, {"self"}, "Any", connect)},
        {"prepare", method("Signalman.prepare", text::kPrepareDoc, {"self"}, nullptr, prepare)},
        {"start", method("Signalman.start", text::kStartDoc, {"self"}, nullptr, start)},
        {"stored", method("Signalman.stored", text::kStoredDoc,
                          {"self", {"database", "str"}, {"table", "str"}, {"stored_at", "Optional[str]"},
                           {"ttl_minutes", "Optional[int]", nb::none()}, {"scheduler_managed", "bool", py_bool(false)}},
                          nullptr, stored)},
        {"invalidated", method("Signalman.invalidated", text::kInvalidatedDoc,
                               {"self", {"database", "str"}, {"table", "Optional[str]", nb::none()}}, nullptr,
                               invalidated)},
        {"versions", method("Signalman.versions", text::kVersionsDoc, {"self"},
                            "Dict[Tuple[str, str], Tuple[int, str]]", versions)},
        {"_recheck", method("Signalman._recheck", text::kRecheckDoc,
                            {"self", {"database", "str"}, {"table", "str"}}, nullptr, recheck)},
        {"_lock_saves", method("Signalman._lock_saves", text::kLockSavesDoc,
                               {"self", {"database", "str"}, {"table", "str"}}, nullptr, lock_saves)},
        {"_unlock_saves", method("Signalman._unlock_saves", text::kUnlockSavesDoc,
                                 {"self", {"database", "str"}, {"table", "str"}}, nullptr, unlock_saves)},
        {"load_once", method("Signalman.load_once", text::kLoadOnceDoc,
                             {"self", {"database", "str"}, {"table", "str"}, {"loader", "Callable[[], pd.DataFrame]"},
                              {"ttl_minutes", "Optional[int]", nb::none()}, {"scheduler_managed", "bool", py_bool(false)}},
                             "bool", load_once)},
        {"stop", method("Signalman.stop", text::kStopDoc, {"self"}, nullptr, stop)},
        {"_listen", method("Signalman._listen", text::kListenDoc, {"self"}, nullptr, listen)},
    });
    m.attr("Signalman") = cls;
}

}  // namespace brindle::signalman
