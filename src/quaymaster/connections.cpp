// Connection keys, write locks and connections; the bookkeeping that lets a
// connection be retired while statements still run on it.
#include "quaymaster.h"
#include "texts.h"

#include <mutex>
#include <unordered_map>

namespace brindle::quaymaster {
namespace {

const Name kGetMode{"get_mode"};
const Name kGetDbFilePath{"get_db_file_path"};
const Name kConnect{"connect"};
const Name kPartial{"partial"};
const Name kSingleDb{text::kSingleDb};

// --- connections in use ---------------------------------------------------------

struct UseState {
    long running = 0;       // manager statements running on the connection
    bool retired = false;   // left the manager: refuse new statements, close after the last
    bool handed_out = false;  // get_raw_connection() gave it away: writes we cannot see
    PyObject *watch = nullptr;  // owned weakref whose callback forgets this state
};

// Guards the states; never held while Python code runs, waited for without the GIL.
std::mutex g_use_mutex;
// Keyed by connection identity. An entry lives exactly as long as its
// connection object: the weakref callback removes it, before the address can
// be reused. Leaked on purpose: connections may outlive module teardown.
auto &g_use_states = *new std::unordered_map<PyObject *, UseState>();

// Called by a connection's weakref when the connection goes: forget(address, ref).
nb::object forget_connection(const Args &a) {
    auto *connection = static_cast<PyObject *>(PyLong_AsVoidPtr(a[0].ptr()));
    if (!connection && PyErr_Occurred())
        throw_pending();
    PyObject *watch = nullptr;
    {
        MutexGuardNoGil<> held(g_use_mutex);
        auto it = g_use_states.find(connection);
        if (it != g_use_states.end()) {
            watch = it->second.watch;
            g_use_states.erase(it);
        }
    }
    Py_XDECREF(watch);
    return nb::none();
}

nb::object forget_function() {
    static PyObject *fn = make_function({kModuleName, "_forget_connection", nullptr, nullptr},
                                        {"address", "ref"}, forget_connection)
                              .release()
                              .ptr();  // process lifetime
    return nb::borrow(fn);
}

// Makes sure the connection has a state. False when it cannot be tracked.
bool track(nb::handle connection) {
    {
        MutexGuardNoGil<> held(g_use_mutex);
        if (g_use_states.count(connection.ptr()))
            return true;
    }
    nb::object address = checked(PyLong_FromVoidPtr(connection.ptr()));
    nb::object callback = call(attr(import("functools"), kPartial), forget_function(), address);
    PyObject *watch = PyWeakref_NewRef(connection.ptr(), callback.ptr());
    if (!watch) {
        if (!PyErr_ExceptionMatches(PyExc_TypeError))
            throw_pending();
        PyErr_Clear();
        return false;
    }
    PyObject *spare = nullptr;
    {
        MutexGuardNoGil<> held(g_use_mutex);
        auto [it, inserted] = g_use_states.try_emplace(connection.ptr());
        if (inserted)
            it->second.watch = watch;
        else
            spare = watch;
    }
    Py_XDECREF(spare);
    return true;
}

enum class Entry { Entered, Refused, Untracked };

Entry enter(nb::handle connection, bool &handed_out) {
    for (int attempt = 0; attempt < 2; ++attempt) {
        {
            MutexGuardNoGil<> held(g_use_mutex);
            auto it = g_use_states.find(connection.ptr());
            if (it != g_use_states.end()) {
                if (it->second.retired)
                    return Entry::Refused;
                ++it->second.running;
                handed_out = it->second.handed_out;
                return Entry::Entered;
            }
        }
        if (!track(connection))
            return Entry::Untracked;
    }
    return Entry::Untracked;
}

// True when this was the last statement on a retired connection.
bool leave(PyObject *connection) {
    MutexGuardNoGil<> held(g_use_mutex);
    auto it = g_use_states.find(connection);
    if (it == g_use_states.end())
        return false;
    --it->second.running;
    return it->second.retired && it->second.running == 0;
}

void set_retired(nb::handle connection, bool retired, long *running) {
    MutexGuardNoGil<> held(g_use_mutex);
    auto it = g_use_states.find(connection.ptr());
    if (it == g_use_states.end())
        return;
    it->second.retired = retired;
    if (running)
        *running = it->second.running;
}

// --- keys --------------------------------------------------------------------------

nb::object key_of(nb::handle database, nb::handle table) {
    return nb::make_tuple(database, table.is_valid() ? table : nb::none());
}

bool missing_table(nb::handle table) {
    return !table.is_valid() || is_none(table) || PyUnicode_GET_LENGTH(table.ptr()) == 0;
}

}  // namespace

// --- helpers shared by the module --------------------------------------------------

nb::object mode_of(nb::handle self, nb::handle database) {
    nb::object default_mode = attr(config_of(self), kDefaultMode);
    return call_method(attr(self, kConfigResolver), kGetMode, database, default_mode);
}

bool is_single_db(nb::handle mode) { return equal(mode, kSingleDb); }

std::string table_key(nb::handle database, nb::handle table) {
    // A table name is a plain identifier (no NUL), so the last NUL separates the two.
    return database_key(database) + name_text(table);
}

std::string database_key(nb::handle database) { return name_text(database) + '\0'; }

std::string fill_names(const char *tmpl, nb::handle database, nb::handle table) {
    return fill(tmpl, {{"database", str_view(database)}, {"table", str_view(table)}});
}

bool acquire_write_lock(nb::handle self, nb::handle lock) {
    static const Name kAcquire{"acquire"};
    nb::object timeout = attr(config_of(self), kLockTimeoutSeconds);
    return truth(attr(lock, kAcquire)(nb::arg("timeout") = timeout));
}

void raise_error(const Name &name, const std::string &message) { raise_plain(this_module().get(name), message); }

// --- connections in use ---------------------------------------------------------

ConnectionUse::ConnectionUse(nb::handle connection, nb::handle logger)
    : connection_(nb::borrow(connection)), logger_(nb::borrow(logger)) {
    Entry entry = enter(connection, handed_out_);
    entered_ = entry == Entry::Entered;
    refused_ = entry == Entry::Refused;
}

ConnectionUse::~ConnectionUse() {
    if (!entered_ || !leave(connection_.ptr()))
        return;
    // The last statement on a retired connection closes it. Nothing may
    // escape a destructor: a failure is logged, and one in logging reported
    // as unraisable.
    nb::error_scope keep_pending;
    try {
        call_method(connection_, kClose);
    } catch (nb::python_error &e) {
        try {
            log(logger_, Level::Warning, [&] { return fill(text::kDeferredCloseFailed, {{"error", error_text(e)}}); });
        } catch (nb::python_error &failed) {
            failed.discard_as_unraisable(logger_);
        }
    }
}

bool mark_handed_out(nb::handle connection) {
    if (!track(connection))
        return false;
    MutexGuardNoGil<> held(g_use_mutex);
    auto it = g_use_states.find(connection.ptr());
    if (it == g_use_states.end())
        return false;
    it->second.handed_out = true;
    return true;
}

long retire_connection(nb::handle connection) {
    long running = 0;
    if (track(connection))
        set_retired(connection, true, &running);
    if (running > 0)
        return running;
    try {
        call_method(connection, kClose);
    } catch (nb::python_error &) {
        set_retired(connection, false, nullptr);
        throw;
    }
    return 0;
}

// --- keys, locks and connections -----------------------------------------------------

nb::object get_lock_key(const Args &a) {
    nb::handle database = a.str(1), table = a.optional_str(2), mode = a.str(3);
    return key_of(database, is_single_db(mode) ? nb::handle() : table);
}

nb::object get_lock(const Args &a) {
    nb::handle self = a[0], database = a.str(1), mode = a.str(3);
    a.optional_str(2);
    nb::object key = call_method(self, kGetLockKey, database, a[2], mode);
    PyLockGuard held(attr(self, kConnectionLock));
    nb::object locks = attr(self, kLocks);
    nb::object lock = find_item(locks, key);
    if (!lock.is_valid()) {
        lock = call_method(this_module().get(kThreading), kLock);
        set_item(locks, key, lock);
    }
    return lock;
}

nb::object get_connection(const Args &a) {
    nb::handle self = a[0], database = a.str(1), table = a.optional_str(2), mode = a.str(3);
    bool create = a.flag(4);
    nb::object key;
    if (is_single_db(mode)) {
        key = key_of(database, nb::handle());
    } else {
        if (missing_table(table))
            raise_error(kBrindleError, text::kTableRequired);
        key = key_of(database, table);
    }
    nb::object connections = attr(self, kConnections);
    {
        PyLockGuard held(attr(self, kConnectionLock));
        nb::object found = find_item(connections, key);
        if (found.is_valid())
            return found;
    }
    if (!create)
        return nb::none();
    // The coordinator and the resolver are Python code that logs: they run
    // before _connection_lock is taken, so that nothing they trigger can
    // wait for it. Two threads opening one key may both resolve the path;
    // only the first opens a connection.
    nb::object path = call_method(attr(self, kPersistence), kGetDbFilePath, database);
    nb::object connection;
    {
        PyLockGuard held(attr(self, kConnectionLock));
        nb::object found = find_item(connections, key);
        if (found.is_valid())
            return found;
        nb::object duckdb = this_module().get(kDuckdb);
        connection = truth(path) ? call_method(duckdb, kConnect, path) : call_method(duckdb, kConnect);
        set_item(connections, key, connection);
    }
    log(logger_of(self), Level::Info, [&] {
        if (truth(path))
            return fill(text::kCreatedFileConnection, {{"key", to_text(key)}, {"path", to_text(path)}});
        return fill(text::kCreatedConnection, {{"key", to_text(key)}});
    });
    return connection;
}

}  // namespace brindle::quaymaster
