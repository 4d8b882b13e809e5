// Per-table counters and stats(): what is cached and how it is being used.
#include "signals.h"
#include "state.h"
#include "texts.h"

#include <algorithm>
#include <vector>

namespace brindle::quaymaster {
namespace {

constexpr const char *kCapsuleName = "brindle.quaymaster.state";
const Name kItems{"items"};
const Name kDatetime{"datetime"};
const Name kNow{"now"};
const Name kTotalSeconds{"total_seconds"};
const Name kLoadedAt{"loaded_at"};
const Name kTtlMinutes{"ttl_minutes"};
const Name kIsStaleField{"is_stale"};
const Name kSchedulerManagedField{"scheduler_managed"};
const Name kActiveReaders{"active_readers"};
const Name kFetchone{"fetchone"};

void free_state(PyObject *capsule) {
    delete static_cast<ManagerState *>(PyCapsule_GetPointer(capsule, kCapsuleName));
}

std::uint64_t TableTally::*field_of(Event event) {
    switch (event) {
    case Event::Store: return &TableTally::stores;
    case Event::Query: return &TableTally::queries;
    case Event::NotFound: return &TableTally::not_found;
    case Event::StoreFailure: return &TableTally::store_failures;
    case Event::Expiration: return &TableTally::expirations;
    case Event::Invalidation: return &TableTally::invalidations;
    case Event::ParquetFailure: return &TableTally::parquet_failures;
    case Event::ExternalFailure: return &TableTally::external_failures;
    case Event::ResultHit: return &TableTally::result_hits;
    case Event::ResultMiss: return &TableTally::result_misses;
    }
    return &TableTally::queries;
}

// --- what DuckDB knows of a cached table -------------------------------------------

struct TableFacts {
    nb::object rows, columns, memory_bytes;
};

// Rows, columns and the memory of the table's database, read on a cursor of
// our own; nothing when the table is no longer there (invalidated, expired
// or its connection retired since the registry was read).
bool read_facts(nb::handle self, nb::handle database, nb::handle table, nb::handle mode, TableFacts &facts) {
    if (!duck::is_plain_identifier(table))
        return false;
    nb::object connection = call_method(self, kGetConnection, database, is_single_db(mode) ? nb::none() : table,
                                        mode, py_bool(false));
    if (!truth(connection))
        return false;
    ConnectionUse use(connection, logger_of(self));
    if (use.refused())
        return false;
    nb::object statement = make_str(fill(text::kTableFactsStatement, {{"table", str_view(table)}}));
    nb::object row;
    bool present = guarded(
        [&] {
            row = duck::with_cursor(this_module().get(kDuckdb), connection, [&](nb::handle cursor) {
                nb::object result = call_method(cursor, duck::kExecute, statement, nb::make_tuple(table));
                return call_method(result, kFetchone);
            });
            return true;
        },
        [&](nb::python_error &) { return false; });  // dropped between the registry and here
    if (!present || is_none(row))
        return false;
    facts = {nb::object(row[0]), nb::object(row[1]), nb::object(row[2])};
    return true;
}

// A table a query would refuse as out of date: marked stale or past its
// time-to-live, unless an outside scheduler manages it.
bool refused_as_stale(nb::handle self, nb::handle database, nb::handle table, nb::handle entry) {
    if (truth(attr(entry, kSchedulerManagedField)))
        return false;
    return truth(attr(entry, kIsStaleField)) ||
           truth(call_method(attr(self, kTtlRegistry), kIsExpired, database, table));
}

nb::object count_value(std::uint64_t n) { return checked(PyLong_FromUnsignedLongLong(n)); }

nb::dict table_stats(nb::handle self, nb::handle database, nb::handle table, nb::handle entry, nb::handle mode,
                     const TableFacts &facts, nb::handle now, const TableTally &tally) {
    nb::object loaded_at = attr(entry, kLoadedAt);
    nb::object age = call_method(checked(PyNumber_Subtract(now.ptr(), loaded_at.ptr())), kTotalSeconds);
    nb::object ttl_seconds = checked(PyNumber_Multiply(attr(entry, kTtlMinutes).ptr(), nb::int_(60).ptr()));
    nb::dict d;
    d["database"] = database;
    d["table"] = table;
    d["mode"] = mode;
    d["rows"] = facts.rows;
    d["columns"] = facts.columns;
    d["memory_bytes"] = facts.memory_bytes;
    d["loaded_at"] = loaded_at;
    d["age_seconds"] = age;
    d["ttl_seconds"] = ttl_seconds;
    d["stale"] = py_bool(refused_as_stale(self, database, table, entry));
    d["scheduler_managed"] = py_bool(truth(attr(entry, kSchedulerManagedField)));
    d["active_readers"] = attr(entry, kActiveReaders);
    d["queries"] = count_value(tally.queries);
    d["not_found"] = count_value(tally.not_found);
    d["stores"] = count_value(tally.stores);
    d["store_failures"] = count_value(tally.store_failures);
    d["last_store_ms"] = tally.last_store_ms < 0 ? nb::none() : nb::object(nb::float_(tally.last_store_ms));
    d["expirations"] = count_value(tally.expirations);
    d["invalidations"] = count_value(tally.invalidations);
    d["parquet_write_failures"] = count_value(tally.parquet_failures);
    d["external_write_failures"] = count_value(tally.external_failures);
    d["result_cache_hits"] = count_value(tally.result_hits);
    d["result_cache_misses"] = count_value(tally.result_misses);
    d["result_cache_bytes"] = count_value(result_bytes(self, table_key(database, table)));
    return d;
}

// (database, table, entry) for every registered table, sorted by database and table.
nb::object registered_tables(nb::handle self) {
    nb::object entries = call_method(attr(self, kTtlRegistry), kGetAllEntries);
    nb::list out;
    for (nb::handle db_item : checked(PySequence_List(call_method(entries, kItems).ptr()))) {
        nb::object database = db_item[0];
        for (nb::handle item : checked(PySequence_List(call_method(nb::object(db_item[1]), kItems).ptr())))
            out.append(nb::make_tuple(database, nb::object(item[0]), nb::object(item[1])));
    }
    // Tuples compare by database, then table; no two share both.
    if (PyList_Sort(out.ptr()) != 0)
        throw_pending();
    return out;
}

}  // namespace

nb::object new_state() {
    auto *state = new ManagerState();
    PyObject *capsule = PyCapsule_New(state, kCapsuleName, free_state);
    if (!capsule) {
        delete state;
        throw_pending();
    }
    return nb::steal(capsule);
}

ManagerState *state_of(nb::handle self) {
    PyObject *capsule = PyObject_GetAttr(self.ptr(), kStateAttr.ptr());
    if (!capsule) {
        PyErr_Clear();
        return nullptr;
    }
    void *state = PyCapsule_IsValid(capsule, kCapsuleName) ? PyCapsule_GetPointer(capsule, kCapsuleName) : nullptr;
    Py_DECREF(capsule);  // the instance keeps it alive
    return static_cast<ManagerState *>(state);
}

ManagerState &require_state(nb::handle self) {
    if (ManagerState *state = state_of(self))
        return *state;
    attr(self, kStateAttr);  // raises AttributeError when missing
    throw_type_error(std::string(text::kStateMissing));
}

void count_event(nb::handle self, nb::handle database, nb::handle table, Event event) {
    ManagerState *state = state_of(self);
    if (!state)
        return;
    std::string key = table_key(database, table);
    if (event == Event::Store) {
        ++state->tallies[key].stores;
        return;
    }
    auto it = state->tallies.find(key);
    if (it != state->tallies.end())
        ++(it->second.*field_of(event));
}

void record_store_time(nb::handle self, nb::handle database, nb::handle table, double milliseconds) {
    ManagerState *state = state_of(self);
    if (!state)
        return;
    auto it = state->tallies.find(table_key(database, table));
    if (it != state->tallies.end())
        it->second.last_store_ms = milliseconds;
}

nb::object stats(const Args &a) {
    nb::handle self = a[0];
    nb::object now = call_method(attr(import("datetime"), kDatetime), kNow);
    nb::list out;
    for (nb::handle item : registered_tables(self)) {
        nb::object database = item[0], table = item[1], entry = item[2];
        nb::object mode = mode_of(self, database);
        TableFacts facts;
        if (!read_facts(self, database, table, mode, facts))
            continue;
        // Copied before the dict is built: building it runs Python code.
        TableTally tally;
        if (ManagerState *state = state_of(self)) {
            auto it = state->tallies.find(table_key(database, table));
            if (it != state->tallies.end())
                tally = it->second;
        }
        out.append(table_stats(self, database, table, entry, mode, facts, now, tally));
    }
    add_versions(self, out);
    return out;
}

}  // namespace brindle::quaymaster
