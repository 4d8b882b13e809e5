// Opening a key's connection: DuckDB instances, per-table catalogs, and the
// opening others wait for.
#include "connections.h"
#include "texts.h"

#include <condition_variable>
#include <mutex>
#include <unordered_set>

namespace brindle::connections {
namespace {

const Name kConnect{"connect"};
const Name kConfigKw{"config"};
const Name kDuckdb{"duckdb"};
const Name kConfig{"config"};
const Name kConfigResolver{"_config_resolver"};
const Name kConnections{"_connections"};
const Name kConnectionLock{"_connection_lock"};
const Name kDuckdbSettings{"duckdb_settings"};
const Name kGetDuckdbSettings{"get_duckdb_settings"};
const Name kDuckdbInstances{"_duckdb_instances"};  // ours: database -> its shared DuckDB instance
const Name kClose{"close"};
const Name kBrindleLockError{"BrindleLockError"};

nb::object config_of(nb::handle self) { return attr(self, kConfig); }

// --- keys being opened ----------------------------------------------------------

// Guards the keys being opened; waited for with the GIL released, never held
// while Python code runs. Leaked on purpose, like the other records.
std::mutex g_open_mutex;
std::condition_variable g_opened;
auto &g_opening = *new std::unordered_set<std::string>();

// Marks a key as being opened by this thread for the scope. Nothing that
// opens a key calls Python code that could open it again, so this thread
// never waits for itself.
class Opening {
public:
    explicit Opening(std::string key) : key_(std::move(key)) {}
    ~Opening() {
        if (!marked_)
            return;
        {
            MutexGuardNoGil<> held(g_open_mutex);
            g_opening.erase(key_);
        }
        g_opened.notify_all();
    }
    Opening(const Opening &) = delete;
    Opening &operator=(const Opening &) = delete;

    // Waits until no other thread opens the key (at most timeout_seconds;
    // below 0 without a bound), then marks it. False on timeout.
    bool begin(double timeout_seconds) {
        auto free = [&] { return g_opening.count(key_) == 0; };
        auto mark = [&](std::unique_lock<std::mutex> &held, bool may_wait) {
            if (!free()) {
                if (!may_wait)
                    return false;
                if (timeout_seconds < 0)
                    g_opened.wait(held, free);
                else if (!g_opened.wait_for(held, std::chrono::duration<double>(timeout_seconds), free))
                    return false;
            }
            g_opening.insert(key_);
            marked_ = true;
            return true;
        };
        return take_kept_gil_if_free(g_open_mutex, false, mark);
    }

private:
    std::string key_;
    bool marked_ = false;
};

// --- DuckDB settings and instances --------------------------------------------------

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

[[noreturn]] void raise_opening_timed_out(nb::handle self, const std::string &what) {
    raise_plain(this_module().get(kBrindleLockError),
                fill(text::kOpeningTimedOut,
                     {{"key", what}, {"timeout", to_text(attr(config_of(self), kLockTimeoutSeconds))}}));
}

// The database's one DuckDB instance, made on first use; two threads opening
// tables of a new database make one between them.
nb::object instance_of(nb::handle self, nb::handle database, nb::handle settings) {
    nb::object instances = instances_of(self);
    if (nb::object instance = find_item(instances, database); instance.is_valid())
        return instance;
    Opening opening("instance of " + name_text(database));
    if (!opening.begin(seconds_setting(self, kLockTimeoutSeconds)))
        raise_opening_timed_out(self, "instance of " + to_text(database));
    if (nb::object instance = find_item(instances, database); instance.is_valid())
        return instance;
    nb::object instance = connect_database(nb::none(), settings);
    set_item(instances, database, instance);
    return instance;
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
    nb::object instance = instance_of(self, database, settings);
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

nb::object duckdb_settings_of(nb::handle self, nb::handle database) {
    nb::object of_config = optional_attr(config_of(self), kDuckdbSettings);
    nb::object settings = of_config.is_valid() ? call(of_config) : nb::dict();
    nb::object of_file = optional_attr(attr(self, kConfigResolver), kGetDuckdbSettings);
    return of_file.is_valid() ? call(of_file, database, settings) : settings;
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

nb::object find_connection(nb::handle self, nb::handle key) {
    PyLockGuard held(attr(self, kConnectionLock));
    return find_item(attr(self, kConnections), key);
}

nb::object open_connection(nb::handle self, nb::handle key, nb::handle database, bool single_db, nb::handle path,
                           nb::handle settings) {
    std::string shown = to_text(key);
    WriteDeadline deadline(self);
    Opening opening(shown);
    if (!opening.begin(deadline.left()))
        raise_opening_timed_out(self, shown);
    // The one opening before ours may have been of this very key.
    if (nb::object found = find_connection(self, key); found.is_valid())
        return found;
    // A file-backed database is one DuckDB instance however many tables
    // open it (DuckDB shares it by path); in memory, a single_db database
    // is an instance of its own, and each table of a per_table_db one a
    // catalog of the database's instance. Opened with _connection_lock
    // free: a slow open (a large file, a busy disk) stalls no other key.
    nb::object connection = truth(path) || single_db ? connect_database(path, settings)
                                                     : open_on_own_catalog(self, database, settings);
    {
        PyLockGuard held(attr(self, kConnectionLock));
        set_item(attr(self, kConnections), key, connection);
    }
    log(logger_of(self), Level::Info, [&] {
        if (truth(path))
            return fill(text::kCreatedFileConnection, {{"key", shown}, {"path", to_text(path)}});
        return fill(text::kCreatedConnection, {{"key", shown}});
    });
    return connection;
}

}  // namespace brindle::connections
