// Invalidation and the TTL cleanup callback.
//
// A connection that leaves the manager is retired: removed from
// _connections and closed at once when none of the manager's statements runs
// on it, or by the last of them otherwise. A read that loses the race meets
// a missing connection or a missing table, never a closed one.
#include "quaymaster.h"
#include "result_cache.h"
#include "texts.h"

#include <vector>

namespace brindle::quaymaster {
namespace {

const Name kDropTable{"drop_table"};
const Name kHasActiveReaders{"has_active_readers"};
const Name kKeys{"keys"};

struct Retired {
    std::string key;
    long running;  // statements that still run on it; the last one closes it
};

// Removes the key's connection and retires it; holds _connection_lock. A
// failing close leaves the key in place and raises.
bool retire_key(nb::handle self, nb::handle key, std::vector<Retired> &retired) {
    PyLockGuard held(attr(self, kConnectionLock));
    nb::object connections = attr(self, kConnections);
    nb::object connection = find_item(connections, key);
    if (!connection.is_valid())
        return false;
    long running = retire_connection(connection);
    del_item(connections, key);
    retired.push_back({to_text(key), running});
    return true;
}

void log_deferred(nb::handle self, const std::vector<Retired> &retired) {
    for (const Retired &r : retired)
        if (r.running > 0)
            log(logger_of(self), Level::Debug, [&] {
                return fill(text::kCloseDeferred, {{"key", r.key}, {"count", std::to_string(r.running)}});
            });
}

// The cleanup pass chose the table without its write lock: a store, a reader
// or the scheduler flag may have come in since. Asked again with the lock held.
bool still_due(nb::handle self, nb::handle database, nb::handle table) {
    nb::object registry = attr(self, kTtlRegistry);
    auto ask = [&](const Name &question) { return truth(call_method(registry, question, database, table)); };
    return ask(kExists) && ask(kIsExpired) && !ask(kIsSchedulerManaged) && !ask(kHasActiveReaders);
}

void drop_from_shared_database(nb::handle self, nb::handle database, nb::handle table, nb::handle mode,
                               nb::handle lock) {
    nb::object connection = call_method(self, kGetConnection, database, nb::none(), mode, py_bool(false));
    if (!truth(connection))
        return;
    ConnectionUse use(connection, logger_of(self));
    if (use.refused())  // the whole database is being closed
        return;
    call_method(attr(self, kStore), kDropTable, connection, table, lock);
}

// _cleanup_table; with only_if_due, the table is left alone unless the
// registry still finds it expired, unread and not scheduler-managed. Counts
// the removal of a registered table as `event`.
void remove_table(nb::handle self, nb::handle database, nb::handle table, bool only_if_due, Event event) {
    nb::object mode = mode_of(self, database);
    nb::object lock = call_method(self, kGetLock, database, table, mode);
    if (!acquire_write_lock(self, lock)) {
        log(logger_of(self), Level::Warning, [&] { return fill_names(text::kCleanupLockFailed, database, table); });
        return;
    }
    std::vector<Retired> retired;
    {
        PyLockGuard held(lock, std::adopt_lock);
        if (only_if_due && !still_due(self, database, table)) {
            log(logger_of(self), Level::Debug, [&] { return fill_names(text::kCleanupNoLongerDue, database, table); });
            return;
        }
        if (truth(call_method(attr(self, kTtlRegistry), kExists, database, table)))
            count_event(self, database, table, event);
        if (is_single_db(mode)) {
            drop_from_shared_database(self, database, table, mode, lock);
        } else if (retire_key(self, nb::make_tuple(database, table), retired)) {
            log(logger_of(self), Level::Info, [&] { return fill_names(text::kClosedTableConnection, database, table); });
        }
        table_changed(self, database, table, true);
        call_method(attr(self, kTtlRegistry), kRemove, database, table);
    }
    log_deferred(self, retired);
}

// Every key of _connections whose database is `database`, in order.
std::vector<nb::object> keys_of_database(nb::handle connections, nb::handle database) {
    std::vector<nb::object> keys;
    nb::object all = checked(PySequence_List(call_method(connections, kKeys).ptr()));
    for (nb::handle key : all)
        if (equal(nb::object(key[0]), database))
            keys.push_back(nb::borrow(key));
    return keys;
}

// One invalidation for every table the registry holds under the database.
void count_invalidations(nb::handle self, nb::handle database) {
    nb::object tables = find_item(call_method(attr(self, kTtlRegistry), kGetAllEntries), database);
    if (!tables.is_valid())
        return;
    for (nb::handle table : checked(PySequence_List(tables.ptr())))
        count_event(self, database, table, Event::Invalidation);
}

}  // namespace

nb::object invalidate(const Args &a) {
    nb::handle self = a[0], database = a.str(1), table = a.optional_str(2);
    if (table.is_valid() && truth(table))
        call_method(self, kCleanupTable, database, cached_spelling(self, database, table));
    else
        call_method(self, kCleanupDatabase, database);
    return nb::none();
}

nb::object cleanup_table(const Args &a) {
    remove_table(a[0], a.str(1), a.str(2), false, Event::Invalidation);
    return nb::none();
}

nb::object cleanup_database(const Args &a) {
    nb::handle self = a[0], database = a.str(1);
    nb::object mode = mode_of(self, database);
    std::vector<Retired> retired;
    if (is_single_db(mode)) {
        if (retire_key(self, nb::make_tuple(database, nb::none()), retired))
            log(logger_of(self), Level::Info, [&] {
                return fill(text::kClosedDatabaseConnection, {{"database", str_view(database)}});
            });
    } else {
        size_t count = 0;
        {
            PyLockGuard held(attr(self, kConnectionLock));
            nb::object connections = attr(self, kConnections);
            std::vector<nb::object> keys = keys_of_database(connections, database);
            for (const nb::object &key : keys) {
                long running = retire_connection(find_item(connections, key));
                del_item(connections, key);
                retired.push_back({to_text(key), running});
            }
            count = keys.size();
        }
        log(logger_of(self), Level::Info, [&] {
            return fill(text::kClosedConnections, {{"count", std::to_string(count)}, {"database", str_view(database)}});
        });
    }
    database_dropped(self, database);
    count_invalidations(self, database);
    call_method(attr(self, kTtlRegistry), kRemoveDatabase, database);
    log_deferred(self, retired);
    return nb::none();
}

nb::object cleanup_expired_table(const Args &a) {
    nb::handle self = a[0], database = a.str(1), table = a.str(2);
    log(logger_of(self), Level::Info, [&] { return fill_names(text::kTtlCleanupTriggered, database, table); });
    remove_table(self, database, table, true, Event::Expiration);
    return nb::none();
}

}  // namespace brindle::quaymaster
