// Invalidation and the TTL cleanup callback.
//
// A connection that leaves the manager is retired: removed from
// _connections and closed at once when none of the manager's statements runs
// on it, or by the last of them otherwise. A read that loses the race meets
// a missing connection or a missing table, never a closed one.
#include "quaymaster.h"
#include "signals.h"
#include "cached_reads.h"
#include "texts.h"

#include <optional>
#include <vector>

namespace brindle::quaymaster {
namespace {

using connections::Retired;
using connections::log_deferred;
using connections::retire_keys;

const Name kDropTable{"drop_table"};
const Name kHasActiveReaders{"has_active_readers"};
const Name kKeys{"keys"};

// Removes the key's connection and retires it. False when it had none.
bool retire_key(nb::handle self, nb::handle key, std::vector<Retired> &retired) {
    size_t before = retired.size();
    retire_keys(self, {nb::borrow(key)}, retired);
    return retired.size() > before;
}

// The cleanup pass chose the table without its write lock: a store, a reader
// or the scheduler flag may have come in since. Asked again with the lock held.
bool still_due(nb::handle self, nb::handle database, nb::handle table) {
    nb::object registry = attr(self, kTtlRegistry);
    auto ask = [&](const Name &question) { return truth(call_method(registry, question, database, table)); };
    return ask(kExists) && ask(kIsExpired) && !ask(kIsSchedulerManaged) && !ask(kHasActiveReaders);
}

// Drops the table from its database's connection, entered as `use` (which
// the caller keeps past the write lock: a close it defers may write a record).
void drop_from_shared_database(nb::handle self, nb::handle database, nb::handle table, nb::handle mode,
                               nb::handle lock, std::optional<ConnectionUse> &use) {
    nb::object connection = call_method(self, kGetConnection, database, nb::none(), mode, py_bool(false));
    if (!truth(connection))
        return;
    use.emplace(connection, logger_of(self));
    if (use->refused())  // the whole database is being closed
        return;
    call_method(attr(self, kStore), kDropTable, connection, table, lock);
}

// A record decided under the write lock, written once it is released.
struct Record {
    Level level = Level::Debug;
    const char *tmpl = nullptr;
};

// _cleanup_table; with only_if_due, the table is left alone unless the
// registry still finds it expired, unread and not scheduler-managed. Counts
// the removal of a registered table as `event`. Returns the record to write
// once the write lock is free, so that a handler may store the table again.
Record remove_under_lock(nb::handle self, nb::handle database, nb::handle table, nb::handle mode, nb::handle lock,
                         bool only_if_due, Event event, std::vector<Retired> &retired,
                         std::optional<ConnectionUse> &use) {
    if (only_if_due && !still_due(self, database, table))
        return {Level::Debug, text::kCleanupNoLongerDue};
    Record record;
    if (truth(call_method(attr(self, kTtlRegistry), kExists, database, table)))
        count_event(self, database, table, event);
    if (is_single_db(mode)) {
        drop_from_shared_database(self, database, table, mode, lock, use);
    } else if (retire_key(self, nb::make_tuple(database, table), retired)) {
        record = {Level::Info, text::kClosedTableConnection};
    }
    table_changed(self, database, table, true);
    call_method(attr(self, kTtlRegistry), kRemove, database, table);
    return record;
}

void remove_table(nb::handle self, nb::handle database, nb::handle table, bool only_if_due, Event event) {
    nb::object mode = mode_of(self, database);
    nb::object lock = call_method(self, kGetLock, database, table, mode);
    auto lock_failed = [&] {
        log(logger_of(self), Level::Warning, [&] { return fill_names(text::kCleanupLockFailed, database, table); });
    };
    WriteDeadline deadline(self);
    WriterRecord record(table_key(database, table));
    if (record.write(deadline.left()) != Wait::Held)
        return lock_failed();
    RemoteNews *news = remote_news();
    if (news && !remote_news_lands(record))
        return;  // what is held is newer than the other process's invalidation
    std::vector<Retired> retired;
    std::optional<ConnectionUse> use;  // left after the lock
    Record done;
    {
        HeldWriteLock held(lock);
        if (held.acquire(deadline.left()) != Wait::Held)
            return lock_failed();
        done = remove_under_lock(self, database, table, mode, lock, only_if_due, event, retired, use);
        if (news)
            remote_news_landed(record);
    }
    record.end_write();
    use.reset();
    if (done.tmpl)
        log(logger_of(self), done.level, [&] { return fill_names(done.tmpl, database, table); });
    log_deferred(self, retired);
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
    signal_invalidated(self, database, table.is_valid() && truth(table) ? table : nb::handle());
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
        retire_keys(self, connections::keys_of_database(self, database), retired);
        forget_instances(self, database);
        size_t count = retired.size();
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
