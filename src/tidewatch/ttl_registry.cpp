// TTLRegistry: the process-wide record of every cached table's freshness.
//
// The registry sits on the path of every store and query, so each operation
// is a handful of dict and attribute operations under _registry_lock. The
// lock and the dict are read from the instance on every call; entries are
// TTLEntry dataclass instances whose fields are read and written as plain
// attributes, so callers holding an entry see the same values we do.
#include "interop/mapping.h"
#include "interop/singleton.h"
#include "texts.h"
#include "tidewatch.h"

#include <optional>

namespace brindle::tidewatch {
namespace {

const Name kNow{"now"};
const Name kTotalSeconds{"total_seconds"};
const Name kLock{"Lock"};
const Name kEvent{"Event"};
const Name kDunderName{"__name__"};

bool greater(nb::handle left, nb::handle right) {
    return truth(checked(PyObject_RichCompare(left.ptr(), right.ptr(), Py_GT)));
}

// Holds _registry_lock for the scope and gives access to the dict.
//
// Records are never written while it is held: a handler (or anything it
// triggers) may call back into the registry, and the lock is not re-entrant.
// Each operation decides under the lock what to record and writes the record
// after the scope ends; objects it takes out of the registry are kept until
// then too, so that none is destroyed under the lock.
class Locked {
public:
    explicit Locked(nb::handle self)
        : guard_(attr(self, kRegistryLock)), registry_(attr(self, kRegistry)) {}

    nb::handle registry() const { return registry_; }
    nb::object entry(nb::handle database, nb::handle table) const {
        return find_entry(registry_, database, table);
    }

private:
    PyLockGuard guard_;
    nb::object registry_;
};

struct Pair {
    nb::handle database;
    nb::handle table;
};

// Both names are checked before anything else happens.
Pair pair_of(const Args &a) { return {a.str(1), a.str(2)}; }

// A record about the pair; {active_readers} is filled when a count is given.
std::string pair_message(const char *tmpl, const Pair &p, nb::handle readers = {}) {
    std::string count = readers.is_valid() ? to_text(readers) : std::string();
    return fill(tmpl, {{"database", str_view(p.database)},
                       {"table", str_view(p.table)},
                       {"active_readers", count}});
}

// --- construction -------------------------------------------------------

nb::object registry_new(const Args &a) { return singleton_new(a[0]); }

nb::object registry_init(const Args &a) {
    nb::handle self = a[0];
    if (truth(attr(self, kInitialized)))
        return nb::none();
    nb::object threading = this_module().get(kThreading);
    set_attr(self, kRegistry, nb::dict());
    // Guards _registry and every field of every entry in it. The innermost
    // lock of the cache: a caller may hold a connection's write lock and the
    // manager's _connection_lock when it calls in, and nothing is taken, no
    // record is written and no caller's code runs while it is held (see
    // Locked). Waited for through acquire(), with the GIL released; not
    // re-entrant.
    set_attr(self, kRegistryLock, call_method(threading, kLock));
    set_attr(self, kCleanupThread, Py_None);
    set_attr(self, kCleanupStopEvent, call_method(threading, kEvent));
    set_attr(self, kCleanupCallback, Py_None);
    set_attr(self, kCleanupInterval, nb::int_(5));
    set_attr(self, kLogger, get_logger(this_module().get(kLogging), this_module().get(kDunderName)));
    set_attr(self, kInitialized, Py_True);
    return nb::none();
}

// --- updates --------------------------------------------------------------

nb::object registry_register(const Args &a) {
    nb::handle self = a[0];
    Pair p = pair_of(a);
    nb::object ttl = a.integer(3);
    bool scheduler_managed = a.flag(4);
    // Built before the lock: the dataclass's __init__ is Python code.
    nb::object entry = call(this_module().get(kTTLEntry), now(), ttl, py_bool(false),
                            py_bool(scheduler_managed), nb::int_(0));
    nb::object replaced;
    {
        Locked r(self);
        nb::object tables = find_item(r.registry(), p.database);
        if (!tables.is_valid()) {
            tables = nb::dict();
            set_item(r.registry(), p.database, tables);
        }
        replaced = find_item(tables, p.table);
        set_item(tables, p.table, entry);
    }
    log(logger_of(self), Level::Debug, [&] {
        return fill(text::kRegistered, {{"database", str_view(p.database)},
                                        {"table", str_view(p.table)},
                                        {"ttl_minutes", to_text(ttl)},
                                        {"scheduler_managed", bool_text(scheduler_managed)}});
    });
    return nb::none();
}

// Applies change(entry) to the entry filed under the pair, holding
// _registry_lock; a missing entry is no error, changes nothing and is not
// recorded. Once the lock is released the record `tmpl` is written at
// `level`, with the pair and, as {active_readers}, what change returned.
template <typename Change>
nb::object update_entry(const Args &a, Level level, const char *tmpl, Change &&change) {
    nb::handle self = a[0];
    Pair p = pair_of(a);
    nb::object changed;
    {
        Locked r(self);
        nb::object entry = r.entry(p.database, p.table);
        if (!entry.is_valid())
            return nb::none();
        changed = change(entry);
    }
    log(logger_of(self), level, [&] { return pair_message(tmpl, p, changed); });
    return nb::none();
}

nb::object registry_update_loaded_time(const Args &a) {
    nb::object at = now();
    return update_entry(a, Level::Debug, text::kUpdatedLoadedTime, [&](nb::handle entry) {
        set_attr(entry, kLoadedAt, at);
        set_attr(entry, kIsStale, Py_False);
        return nb::object();
    });
}

nb::object registry_mark_stale(const Args &a) {
    return update_entry(a, Level::Info, text::kMarkedStale, [](nb::handle entry) {
        set_attr(entry, kIsStale, Py_True);
        return nb::object();
    });
}

nb::object registry_increment_readers(const Args &a) {
    return update_entry(a, Level::Debug, text::kReaderUp, [](nb::handle entry) {
        nb::object count = checked(PyNumber_Add(attr(entry, kActiveReaders).ptr(), one()));
        set_attr(entry, kActiveReaders, count);
        return count;
    });
}

nb::object registry_decrement_readers(const Args &a) {
    return update_entry(a, Level::Debug, text::kReaderDown, [](nb::handle entry) {
        nb::object count = checked(PyNumber_Subtract(attr(entry, kActiveReaders).ptr(), one()));
        // max(0, count - 1): unmatched decrements never drive the count negative.
        if (!greater(count, zero()))
            count = nb::borrow(zero());
        set_attr(entry, kActiveReaders, count);
        return count;
    });
}

nb::object registry_remove(const Args &a) {
    nb::handle self = a[0];
    Pair p = pair_of(a);
    nb::object tables, removed;
    {
        Locked r(self);
        tables = find_item(r.registry(), p.database);
        if (!tables.is_valid())
            return nb::none();
        removed = find_item(tables, p.table);
        if (removed.is_valid())
            del_item(tables, p.table);
        if (!truth(tables))
            del_item(r.registry(), p.database);
    }
    log(logger_of(self), Level::Debug, [&] { return pair_message(text::kRemoved, p); });
    return nb::none();
}

nb::object registry_remove_database(const Args &a) {
    nb::handle self = a[0], database = a.str(1);
    nb::object removed;
    {
        Locked r(self);
        removed = find_item(r.registry(), database);
        if (!removed.is_valid())
            return nb::none();
        del_item(r.registry(), database);
    }
    log(logger_of(self), Level::Info,
        [&] { return fill(text::kRemovedDatabase, {{"database", str_view(database)}}); });
    return nb::none();
}

// --- questions ------------------------------------------------------------

// Answers a question about the entry filed under the pair, holding
// _registry_lock: answer(entry) for a filed entry, `missing` otherwise.
template <typename Answer>
nb::object ask(const Args &a, nb::object missing, Answer &&answer) {
    Pair p = pair_of(a);
    Locked r(a[0]);
    nb::object entry = r.entry(p.database, p.table);
    return entry.is_valid() ? nb::object(answer(entry)) : missing;
}

nb::object registry_is_stale(const Args &a) {
    return ask(a, py_bool(false), [](nb::handle entry) { return attr(entry, kIsStale); });
}

nb::object registry_is_expired(const Args &a) {
    // Read before the lock, and judged after it: now() is replaceable, and
    // its values' arithmetic may call into the registry.
    nb::object at = now();
    std::optional<EntryFacts> facts;
    ask(a, nb::none(), [&](nb::handle entry) {
        facts = facts_of(entry);
        return nb::none();
    });
    return py_bool(facts && past_ttl(*facts, at));
}

nb::object registry_exists(const Args &a) {
    Pair p = pair_of(a);
    Locked r(a[0]);
    nb::object tables = find_item(r.registry(), p.database);
    return py_bool(tables.is_valid() && contains(tables, p.table));
}

nb::object registry_has_active_readers(const Args &a) {
    return ask(a, py_bool(false), [](nb::handle entry) { return py_bool(has_readers(facts_of(entry))); });
}

nb::object registry_is_scheduler_managed(const Args &a) {
    return ask(a, py_bool(false), [](nb::handle entry) { return attr(entry, kSchedulerManaged); });
}

nb::object registry_get_last_updated(const Args &a) {
    return ask(a, nb::none(), [](nb::handle entry) { return attr(entry, kLoadedAt); });
}

// Two dict levels are copied; the entries are the live objects.
nb::object registry_get_all_entries(const Args &a) {
    Locked r(a[0]);
    PyObject *dict_type = reinterpret_cast<PyObject *>(&PyDict_Type);
    nb::object outer = checked(PyObject_CallOneArg(dict_type, r.registry().ptr()));
    PyObject *key, *tables;
    Py_ssize_t pos = 0;
    while (PyDict_Next(outer.ptr(), &pos, &key, &tables)) {
        nb::object copy = checked(PyObject_CallOneArg(dict_type, tables));
        // Replacing the value of an existing key keeps the iteration valid.
        set_item(outer, key, copy);
    }
    return outer;
}

nb::object registry_get_entry(const Args &a) {
    Pair p = pair_of(a);
    nb::object entry = find_entry(attr(a[0], kRegistry), p.database, p.table);
    return entry.is_valid() ? entry : nb::none();
}

}  // namespace

namespace {
PyObject *small_int(long value) {
    // Leaked on purpose: process-lifetime constants built under the GIL.
    return PyLong_FromLong(value);
}
}  // namespace

PyObject *zero() {
    static PyObject *value = small_int(0);
    return value;
}

PyObject *one() {
    static PyObject *value = small_int(1);
    return value;
}

PyObject *sixty() {
    static PyObject *value = small_int(60);
    return value;
}

nb::object now() { return call_method(this_module().get(kDatetime), kNow); }

EntryFacts facts_of(nb::handle entry) {
    return {attr(entry, kLoadedAt), attr(entry, kTtlMinutes), attr(entry, kSchedulerManaged),
            attr(entry, kActiveReaders)};
}

bool has_readers(const EntryFacts &facts) {
    return truth(checked(PyObject_RichCompare(facts.active_readers.ptr(), zero(), Py_GT)));
}

bool past_ttl(const EntryFacts &facts, nb::handle at) {
    nb::object age = checked(PyNumber_Subtract(at.ptr(), facts.loaded_at.ptr()));
    nb::object seconds = call_method(age, kTotalSeconds);
    nb::object minutes = checked(PyNumber_TrueDivide(seconds.ptr(), sixty()));
    return greater(minutes, facts.ttl_minutes);
}

nb::object find_entry(nb::handle registry, nb::handle database, nb::handle table) {
    nb::object tables = find_item(registry, database);
    if (!tables.is_valid())
        return tables;
    return find_item(tables, table);
}

void init_ttl_registry(nb::module_ &m) {
    const FunctionMaker method(kModuleName);
    // A question or update about one table: (self, database: str, table: str).
    auto on_table = [&](const char *qualname, const char *doc, const char *returns, Impl impl) {
        return method(qualname, doc, {"self", {"database", "str"}, {"table", "str"}}, returns, impl);
    };
    nb::object threading = this_module().get(kThreading);
    nb::object cls = make_class(kModuleName, "TTLRegistry", text::kRegistryDoc, {
        {"_instance", nb::none()},
        // Serialises only the creation of the singleton in __new__ (the test
        // before it is made without it). Waited for through its own
        // acquire(), with the GIL released; while it is held only
        // object.__new__ and two attribute stores run, so no other lock is
        // ever taken inside it.
        {"_lock", call_method(threading, kLock)},
        {"__new__", static_method(method("TTLRegistry.__new__", nullptr, {"cls"}, nullptr, registry_new))},
        {"__init__", method("TTLRegistry.__init__", nullptr, {"self"}, nullptr, registry_init)},
        {"register", method("TTLRegistry.register", text::kRegisterDoc,
                            {"self", {"database", "str"}, {"table", "str"}, {"ttl_minutes", "int"},
                             {"scheduler_managed", "bool", nb::bool_(false)}},
                            nullptr, registry_register)},
        {"update_loaded_time", on_table("TTLRegistry.update_loaded_time", text::kUpdateLoadedTimeDoc,
                                        nullptr, registry_update_loaded_time)},
        {"mark_stale", on_table("TTLRegistry.mark_stale", text::kMarkStaleDoc, nullptr, registry_mark_stale)},
        {"is_stale", on_table("TTLRegistry.is_stale", text::kIsStaleDoc, "bool", registry_is_stale)},
        {"is_expired", on_table("TTLRegistry.is_expired", text::kIsExpiredDoc, "bool", registry_is_expired)},
        {"exists", on_table("TTLRegistry.exists", text::kExistsDoc, "bool", registry_exists)},
        {"increment_readers", on_table("TTLRegistry.increment_readers", text::kIncrementReadersDoc, nullptr,
                                       registry_increment_readers)},
        {"decrement_readers", on_table("TTLRegistry.decrement_readers", text::kDecrementReadersDoc, nullptr,
                                       registry_decrement_readers)},
        {"has_active_readers", on_table("TTLRegistry.has_active_readers", text::kHasActiveReadersDoc, "bool",
                                        registry_has_active_readers)},
        {"is_scheduler_managed", on_table("TTLRegistry.is_scheduler_managed", text::kIsSchedulerManagedDoc,
                                          "bool", registry_is_scheduler_managed)},
        {"remove", on_table("TTLRegistry.remove", text::kRemoveDoc, nullptr, registry_remove)},
        {"remove_database", method("TTLRegistry.remove_database", text::kRemoveDatabaseDoc,
                                   {"self", {"database", "str"}}, nullptr, registry_remove_database)},
        {"get_all_entries", method("TTLRegistry.get_all_entries", text::kGetAllEntriesDoc, {"self"},
                                   "Dict[str, Dict[str, TTLEntry]]", registry_get_all_entries)},
        {"get_last_updated", on_table("TTLRegistry.get_last_updated", text::kGetLastUpdatedDoc,
                                      "Optional[datetime]", registry_get_last_updated)},
        {"_get_entry", on_table("TTLRegistry._get_entry", text::kGetEntryDoc, "Optional[TTLEntry]",
                                registry_get_entry)},
    });
    add_cleanup_methods(cls);
    m.attr("TTLRegistry") = cls;
}

}  // namespace brindle::tidewatch
