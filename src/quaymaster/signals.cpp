// The manager's hooks into the signalman.
#include "signals.h"
#include "texts.h"

#include <algorithm>
#include <memory>

namespace brindle::quaymaster {
namespace {

const Name kSignalmanAttr{"_signalman"};
const Name kSignalmanClass{"Signalman"};
const Name kSignalEnabled{"signal_enabled"};
const Name kPrepare{"prepare"};
const Name kStart{"start"};
const Name kStop{"stop"};
const Name kStored{"stored"};
const Name kInvalidated{"invalidated"};
const Name kRecheck{"_recheck"};
const Name kLockSaves{"_lock_saves"};
const Name kUnlockSaves{"_unlock_saves"};
const Name kLoadOnce{"load_once"};
const Name kSavedAt{"_saved_at"};
const Name kGet{"get"};
const Name kDatabaseKey{"database"};
const Name kTableKey{"table"};
const Name kVersionKey{"version"};
const Name kVersionSourceKey{"version_source"};

thread_local RemoteNews *t_remote_news = nullptr;

// Marks this thread as applying another process's news for the scope.
class ApplyingRemote {
public:
    explicit ApplyingRemote(RemoteNews &news) : was_(t_remote_news) { t_remote_news = &news; }
    ~ApplyingRemote() { t_remote_news = was_; }

private:
    RemoteNews *was_;
};

// self._signalman, or an invalid object when it is off (or never set up).
nb::object signalman_of(nb::handle self) {
    nb::object signalman = optional_attr(self, kSignalmanAttr);
    return signalman.is_valid() && !is_none(signalman) ? signalman : nb::object();
}

void warn(nb::handle self, const char *tmpl, const nb::python_error &e) {
    log(logger_of(self), Level::Warning, [&] { return fill(tmpl, {{"error", error_text(e)}}); });
}

HeldVersion news_of(nb::handle version, nb::handle source) {
    return {nb::cast<std::int64_t>(version), std::string(str_view(source))};
}

nb::object version_tuple(const HeldVersion &v) { return nb::make_tuple(nb::int_(v.number), make_str(v.source)); }

// (database, table) of a table_key.
nb::object names_of_key(const std::string &key) {
    size_t split = key.rfind('\0');
    return nb::make_tuple(make_str(key.substr(0, split)), make_str(key.substr(split + 1)));
}

}  // namespace

void signal_open(nb::handle self) {
    set_attr(self, kSignalmanAttr, nb::none());
    forget_versions();  // an earlier manager's
    nb::object config = config_of(self);
    nb::object enabled = optional_attr(config, kSignalEnabled);  // a configuration without the setting: off
    if (!enabled.is_valid() || !truth(enabled))
        return;
    nb::object signalman = this_module().get(kSignalmanClass)(nb::arg("manager") = self, nb::arg("config") = config);
    set_attr(self, kSignalmanAttr, signalman);
    guarded([&] { call_method(signalman, kPrepare); }, [&](nb::python_error &e) { warn(self, text::kSignalFailed, e); });
}

void signal_start(nb::handle self) {
    if (nb::object signalman = signalman_of(self); signalman.is_valid())
        guarded([&] { call_method(signalman, kStart); }, [&](nb::python_error &e) { warn(self, text::kSignalFailed, e); });
}

void signal_stop(nb::handle self) {
    if (nb::object signalman = signalman_of(self); signalman.is_valid())
        guarded([&] { call_method(signalman, kStop); }, [&](nb::python_error &e) { warn(self, text::kSignalFailed, e); });
}

RemoteNews *remote_news() { return t_remote_news; }

bool remote_news_lands(WriterRecord &record) {
    if (t_remote_news->version.number <= record.version().number)
        return false;
    if (record.local_pending()) {
        record.defer_remote();
        return false;
    }
    return true;
}

void remote_news_landed(WriterRecord &record) {
    record.set_version(t_remote_news->version);
    t_remote_news->applied = true;
}

SaveTurn::SaveTurn(nb::handle self, nb::handle database, nb::handle table) {
    nb::object signalman = signalman_of(self);
    if (!signalman.is_valid())
        return;
    try {
        call_method(signalman, kLockSaves, database, table);
    } catch (nb::python_error &e) {
        // Another process saving past the bound fails this save; a signalling
        // database out of reach does not keep the snapshot from being saved.
        if (e.matches(PyExc_TimeoutError) || !is_exception_family(e))
            throw;
        warn(self, text::kSignalFailed, e);
        return;
    }
    signalman_ = signalman;
    database_ = nb::borrow(database);
    table_ = nb::borrow(table);
}

SaveTurn::~SaveTurn() {
    if (!signalman_.is_valid())
        return;
    // The session lock goes with its session: a failed unlock leaves nothing
    // behind once the connection is replaced, so it is not worth an error here.
    nb::error_scope keep_pending;
    try {
        call_method(signalman_, kUnlockSaves, database_, table_);
    } catch (nb::python_error &e) {
        e.discard_as_unraisable(signalman_);
    }
}

void signal_stored(nb::handle self, nb::handle database, nb::handle table, nb::handle ttl, bool scheduler_managed,
                   bool saved) {
    if (applying_remote())
        return;
    nb::object signalman = signalman_of(self);
    if (!signalman.is_valid())
        return;
    guarded(
        [&] {
            nb::object stored_at = nb::none();
            if (saved) {
                // A coordinator that keeps no save times has nothing to announce.
                nb::object times = optional_attr(attr(self, kPersistence), kSavedAt);
                if (times.is_valid())
                    stored_at = call_method(times, kGet, nb::make_tuple(database, table));
            }
            call_method(signalman, kStored, database, table, stored_at, ttl, py_bool(scheduler_managed));
        },
        [&](nb::python_error &e) { warn(self, text::kSignalFailed, e); });
}

void signal_invalidated(nb::handle self, nb::handle database, nb::handle table) {
    if (applying_remote())
        return;
    if (nb::object signalman = signalman_of(self); signalman.is_valid())
        guarded([&] { call_method(signalman, kInvalidated, database, table.is_valid() ? table : nb::handle(Py_None)); },
                [&](nb::python_error &e) { warn(self, text::kSignalFailed, e); });
}

void signal_recheck(nb::handle self, nb::handle database, nb::handle table) {
    if (nb::object signalman = signalman_of(self); signalman.is_valid())
        guarded([&] { call_method(signalman, kRecheck, database, table); },
                [&](nb::python_error &e) { warn(self, text::kSignalFailed, e); });
}

void add_versions(nb::handle self, nb::handle stats) {
    if (!signalman_of(self).is_valid())
        return;
    for (nb::handle entry : stats) {
        HeldVersion held;
        bool found = find_version(table_key(entry[kDatabaseKey.handle()], entry[kTableKey.handle()]), held);
        entry[kVersionKey.handle()] = found ? nb::object(nb::int_(held.number)) : nb::none();
        entry[kVersionSourceKey.handle()] = found ? nb::object(make_str(held.source)) : nb::none();
    }
}

bool cluster_load(nb::handle self, nb::handle database, nb::handle table, nb::handle loader, nb::handle ttl,
                  bool scheduler_managed) {
    nb::object signalman = signalman_of(self);
    if (!signalman.is_valid())
        return false;
    return truth(call_method(signalman, kLoadOnce, database, table, loader, ttl, py_bool(scheduler_managed)));
}

// _apply_remote_store(database, table, df, ttl_minutes, scheduler_managed,
// version, source): True when the snapshot landed.
nb::object apply_remote_store(const Args &a) {
    nb::handle self = a[0], database = a.str(1), table = a.str(2), df = a[3];
    RemoteNews news{news_of(a[6], a.str(7))};
    ApplyingRemote applying(news);
    attr(self, kStoreMethod)(database, table, df, nb::arg("ttl_minutes") = a[4],
                             nb::arg("scheduler_managed") = py_bool(a.flag(5)));
    return py_bool(news.applied);
}

namespace {

// The tables the registry holds under the database, in its order.
std::vector<nb::object> registered_tables(nb::handle self, nb::handle database) {
    std::vector<nb::object> found;
    nb::object tables = find_item(call_method(attr(self, kTtlRegistry), kGetAllEntries), database);
    if (tables.is_valid())
        for (nb::handle t : checked(PySequence_List(tables.ptr())))
            found.push_back(nb::borrow(t));
    return found;
}

bool same_tables(const std::vector<nb::object> &a, const std::vector<nb::object> &b) {
    if (a.size() != b.size())
        return false;
    for (const nb::object &t : a)
        if (std::none_of(b.begin(), b.end(), [&](const nb::object &u) { return str_view(u) == str_view(t); }))
            return false;
    return true;
}

// Whether the table, its write held, holds contents older than the
// invalidation. A store of this process pending is newer: the news is put off.
bool older_than_news(WriterRecord &record, std::int64_t version) {
    if (record.local_pending()) {
        record.defer_remote();
        return false;
    }
    return record.version().number < version;
}

// The writes of a database's tables, taken one after another in the
// registry's order within one lock_timeout_seconds and held for the scope,
// so that no store of this process lands between the comparison and the drop.
class DatabaseWrites {
public:
    DatabaseWrites(nb::handle self, nb::handle database, const std::vector<nb::object> &tables,
                   std::int64_t version) {
        WriteDeadline deadline(self);
        for (const nb::object &t : tables) {
            auto record = std::make_unique<WriterRecord>(table_key(database, t));
            bool held = record->write(deadline.left()) == Wait::Held;
            if (held)
                held_.push_back(std::move(record));
            bool older = held ? older_than_news(*held_.back(), version) : unsure_older(database, t, version);
            all_older_ = all_older_ && held && older;
            if (older)
                older_.push_back(t);
        }
    }
    ~DatabaseWrites() { release(); }
    DatabaseWrites(const DatabaseWrites &) = delete;
    DatabaseWrites &operator=(const DatabaseWrites &) = delete;

    // Every table is held and older than the invalidation.
    bool all_older() const { return all_older_; }
    const std::vector<nb::object> &older() const { return older_; }
    void release() {
        for (auto &record : held_)
            record->end_write();
        held_.clear();
    }

private:
    // A table whose write was not had in time: judged on what is held now,
    // and compared again under its write when it is dropped on its own.
    static bool unsure_older(nb::handle database, nb::handle table, std::int64_t version) {
        HeldVersion held;
        return !find_version(table_key(database, table), held) || held.number < version;
    }

    std::vector<std::unique_ptr<WriterRecord>> held_;
    std::vector<nb::object> older_;
    bool all_older_ = true;
};

}  // namespace

// _apply_remote_invalidate(database, table, version, source): True when
// something held here was older than the invalidation. A whole database is
// compared table by table under each table's write: tables stored here after
// the invalidation stay. When every table is older the whole database goes
// with those writes still held; otherwise each older table is dropped on its
// own, compared again under its write.
nb::object apply_remote_invalidate(const Args &a) {
    nb::handle self = a[0], database = a.str(1), table = a.optional_str(2);
    HeldVersion version = news_of(a[3], a.str(4));
    RemoteNews news{version};
    ApplyingRemote applying(news);
    if (table.is_valid() && !is_none(table)) {
        call_method(self, kCleanupTable, database, table);
        return py_bool(news.applied);
    }
    std::vector<nb::object> tables = registered_tables(self, database);
    DatabaseWrites writes(self, database, tables, version.number);
    // A table registered while the writes were taken is not held: it goes
    // its own way below.
    if (writes.all_older() && same_tables(tables, registered_tables(self, database))) {
        call_method(self, kCleanupDatabase, database);
    } else {
        writes.release();
        for (const nb::object &t : writes.older())
            call_method(self, kCleanupTable, database, t);
    }
    for (auto &[key, kept] : held_versions(database_key(database)))
        if (kept.number < version.number) {
            WriterRecord record(key);
            record.set_version(version);
        }
    return py_bool(true);
}

nb::object held_version_method(const Args &a) {
    HeldVersion held;
    if (!find_version(table_key(a.str(1), a.str(2)), held))
        return nb::none();
    return version_tuple(held);
}

nb::object note_version_method(const Args &a) {
    WriterRecord record(table_key(a.str(1), a.str(2)));
    record.set_version(news_of(a[3], a.str(4)));
    return nb::none();
}

nb::object versions_method(const Args &a) {
    nb::dict versions;
    for (auto &[key, held] : held_versions(""))
        versions[names_of_key(key)] = version_tuple(held);
    return std::move(versions);
}

}  // namespace brindle::quaymaster
