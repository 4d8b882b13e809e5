// Connection keys, write locks and connections; the bookkeeping that lets a
// connection be retired while statements still run on it.
#include "quaymaster.h"
#include "texts.h"

#include <algorithm>
#include <mutex>
#include <unordered_map>

namespace brindle::quaymaster {
namespace {

const Name kGetMode{"get_mode"};
const Name kGetDbFilePath{"get_db_file_path"};
const Name kConnect{"connect"};
const Name kPartial{"partial"};
const Name kSingleDb{text::kSingleDb};
const Name kConfigKw{"config"};
const Name kDuckdbSettings{"duckdb_settings"};
const Name kGetDuckdbSettings{"get_duckdb_settings"};
const Name kDuckdbInstances{"_duckdb_instances"};  // ours: database -> its shared DuckDB instance

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

// --- DuckDB settings and instances --------------------------------------------------

// The connect() config of the database: the configuration's settings, as the
// resolver's file overrides them for the database.
nb::object duckdb_settings_of(nb::handle self, nb::handle database) {
    nb::object of_config = optional_attr(config_of(self), kDuckdbSettings);
    nb::object settings = of_config.is_valid() ? call(of_config) : nb::dict();
    nb::object of_file = optional_attr(attr(self, kConfigResolver), kGetDuckdbSettings);
    return of_file.is_valid() ? call(of_file, database, settings) : settings;
}

// duckdb.connect([path], config=settings); without settings exactly
// duckdb.connect([path]), DuckDB's defaults.
nb::object connect_database(nb::handle path, nb::handle settings) {
    nb::object duckdb = this_module().get(kDuckdb);
    nb::object connect = attr(duckdb, kConnect);
    bool with_path = truth(path);
    if (!truth(settings))
        return with_path ? call(connect, path) : call(connect);
    nb::object kwargs = nb::dict();
    set_item(kwargs, kConfigKw, settings);
    nb::object args = with_path ? nb::make_tuple(path) : nb::make_tuple();
    return checked(PyObject_Call(connect.ptr(), args.ptr(), kwargs.ptr()));
}

nb::object instances_of(nb::handle self) {
    nb::object instances = optional_attr(self, kDuckdbInstances);
    if (!instances.is_valid()) {
        instances = nb::dict();
        set_attr(self, kDuckdbInstances, instances);
    }
    return instances;
}

// Names of catalogs in shared instances are never reused in the process; guarded by the GIL.
std::uint64_t g_catalogs = 0;

void run_on_own_cursor(nb::handle database, const std::string &sql) {
    duck::Cursor cursor(database);
    duck::execute(cursor.handle(), sql);
}

void record_catalog(nb::handle connection, nb::handle instance, const std::string &catalog) {
    nb::object ref = checked(PyWeakref_NewRef(connection.ptr(), nullptr));
    nb::object entry = nb::make_tuple(ref, make_str(fill(text::kSetUpCatalogCursor, {{"catalog", catalog}})),
                                      instance, make_str(catalog));
    nb::object key = checked(PyLong_FromVoidPtr(connection.ptr()));
    if (PyDict_SetItem(duck::catalog_registry(true), key.ptr(), entry.ptr()) != 0)
        throw_pending();
}

// Detaches the catalog a closed connection lived on; nothing may throw: a
// database that is already closed has nothing left to free.
void detach_catalog(nb::handle connection, nb::handle entry) {
    nb::error_scope keep_pending;
    nb::object key = checked(PyLong_FromVoidPtr(connection.ptr()));
    if (PyDict_DelItem(duck::catalog_registry(true), key.ptr()) != 0) {
        // A KeyError: recorded no more. Anything else is reported, not lost.
        if (PyErr_ExceptionMatches(PyExc_KeyError))
            PyErr_Clear();
        else
            PyErr_WriteUnraisable(connection.ptr());
    }
    std::string catalog(str_view(nb::handle(PyTuple_GET_ITEM(entry.ptr(), 3))));
    try {
        run_on_own_cursor(nb::handle(PyTuple_GET_ITEM(entry.ptr(), 2)), fill(text::kDetachCatalog, {{"catalog", catalog}}));
    } catch (nb::python_error &) {
    }
}

// A connection of its own for a table of a per_table_db database in memory:
// a fresh catalog in the database's one DuckDB instance, made its default.
nb::object open_on_own_catalog(nb::handle self, nb::handle database, nb::handle settings) {
    nb::object instances = instances_of(self);
    nb::object instance = find_item(instances, database);
    if (!instance.is_valid()) {
        instance = connect_database(nb::none(), settings);
        set_item(instances, database, instance);
    }
    std::string catalog = "brindle_" + std::to_string(++g_catalogs);
    run_on_own_cursor(instance, fill(text::kAttachCatalog, {{"catalog", catalog}}));
    nb::object connection;
    try {
        connection = call_method(instance, duck::kCursor);
        duck::execute(connection, fill(text::kUseCatalog, {{"catalog", catalog}}));
        record_catalog(connection, instance, catalog);
    } catch (nb::python_error &) {
        if (connection.is_valid())
            duck::close_quietly(connection);
        nb::error_scope keep_pending;
        try {
            run_on_own_cursor(instance, fill(text::kDetachCatalog, {{"catalog", catalog}}));
        } catch (nb::python_error &) {
        }
        throw;
    }
    return connection;
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

double seconds_setting(nb::handle self, const Name &name) {
    nb::object seconds = optional_attr(config_of(self), name);
    if (!seconds.is_valid() || is_none(seconds))
        return -1;
    return nb::cast<double>(seconds);
}

WriteDeadline::WriteDeadline(nb::handle self)
    : seconds_(seconds_setting(self, kLockTimeoutSeconds)), start_(std::chrono::steady_clock::now()) {}

double WriteDeadline::left() const {
    if (seconds_ < 0)
        return -1;
    std::chrono::duration<double> spent = std::chrono::steady_clock::now() - start_;
    return std::max(0.0, seconds_ - spent.count());
}

namespace {
// The write locks this thread holds, by identity.
thread_local std::vector<PyObject *> t_write_locks;
}  // namespace

Wait HeldWriteLock::acquire(double timeout_seconds) {
    static const Name kAcquire{"acquire"};
    if (std::find(t_write_locks.begin(), t_write_locks.end(), lock_.ptr()) != t_write_locks.end())
        return Wait::ReEntered;
    nb::object timeout = timeout_seconds < 0 ? nb::object(nb::int_(-1)) : nb::object(nb::float_(timeout_seconds));
    if (!truth(attr(lock_, kAcquire)(nb::arg("timeout") = timeout)))
        return Wait::TimedOut;
    held_ = true;
    t_write_locks.push_back(lock_.ptr());
    return Wait::Held;
}

HeldWriteLock::~HeldWriteLock() {
    if (!held_)
        return;
    t_write_locks.erase(std::find(t_write_locks.begin(), t_write_locks.end(), lock_.ptr()));
    static const Name kRelease{"release"};
    nb::error_scope keep_pending;
    try {
        call_method(lock_, kRelease);
    } catch (nb::python_error &e) {
        e.discard_as_unraisable(lock_);
    }
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
        close_connection(connection_);
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

void close_connection(nb::handle connection) {
    nb::object entry = duck::catalog_entry(connection);
    call_method(connection, kClose);
    if (entry.is_valid())
        detach_catalog(connection, entry);
}

void forget_instances(nb::handle self, nb::handle database) {
    nb::object instances = optional_attr(self, kDuckdbInstances);
    if (!instances.is_valid())
        return;
    // Each catalog's record keeps its instance until the catalog is detached,
    // so an instance goes (and DuckDB closes it) with its last table.
    if (database.is_valid()) {
        if (find_item(instances, database).is_valid())
            del_item(instances, database);
    } else {
        static const Name kClear{"clear"};
        call_method(instances, kClear);
    }
}

long retire_connection(nb::handle connection) {
    long running = 0;
    if (track(connection))
        set_retired(connection, true, &running);
    if (running > 0)
        return running;
    try {
        close_connection(connection);
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
    nb::object settings = duckdb_settings_of(self, database);
    nb::object connection;
    {
        PyLockGuard held(attr(self, kConnectionLock));
        nb::object found = find_item(connections, key);
        if (found.is_valid())
            return found;
        // A file-backed database is one DuckDB instance however many tables
        // open it (DuckDB shares it by path); in memory, a single_db database
        // is an instance of its own, and each table of a per_table_db one a
        // catalog of the database's instance.
        if (truth(path) || is_single_db(mode))
            connection = connect_database(path, settings);
        else
            connection = open_on_own_catalog(self, database, settings);
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
