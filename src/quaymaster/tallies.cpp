// Per-table counters and stats(): what is cached and how it is being used.
#include "signals.h"
#include "state.h"
#include "texts.h"

#include <algorithm>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace brindle::quaymaster {
namespace {

const Name kItems{"items"};
const Name kDatetime{"datetime"};
const Name kNow{"now"};
const Name kTotalSeconds{"total_seconds"};
const Name kLoadedAt{"loaded_at"};
const Name kTtlMinutes{"ttl_minutes"};
const Name kIsStaleField{"is_stale"};
const Name kSchedulerManagedField{"scheduler_managed"};
const Name kActiveReaders{"active_readers"};
const Name kFetchall{"fetchall"};

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

// --- what DuckDB knows of the cached tables --------------------------------------

struct TableFacts {
    nb::object rows, columns, memory_bytes;
};

// The tables whose facts one statement reads: those of one connection's own
// database, or of every catalog of one shared instance.
struct FactsSource {
    nb::object target;      // the connection, or the shared instance
    bool catalogs = false;  // target is a shared instance
    std::vector<std::pair<std::string, std::string>> tables;  // (table_key, name in the statement's answer)
};

std::string answer_key(std::string_view catalog, std::string_view table) {
    return ascii_lower(std::string(catalog)) + '\0' + ascii_lower(std::string(table));
}

// Reads one source's facts into `facts`, by table_key; nothing when its
// connection has been retired or the statement fails (the database went
// between the registry and here).
void read_source_facts(nb::handle self, const FactsSource &source, std::unordered_map<std::string, TableFacts> &facts) {
    nb::object statement = make_str(text::kTablesFactsStatement);
    nb::object params = nb::make_tuple(py_bool(source.catalogs));
    nb::object rows;
    auto read = [&](nb::handle cursor) { return call_method(call_method(cursor, duck::kExecute, statement, params), kFetchall); };
    bool read_ok = guarded(
        [&] {
            if (source.catalogs) {
                duck::Cursor cursor(source.target);
                rows = read(cursor.handle());
                return true;
            }
            ConnectionUse use(source.target, logger_of(self));
            if (use.refused())
                return false;
            rows = duck::with_cursor(this_module().get(kDuckdb), source.target, read);
            return true;
        },
        [&](nb::python_error &) { return false; });
    if (!read_ok)
        return;
    std::unordered_map<std::string, TableFacts> answers;
    for (nb::handle row : rows)
        answers[answer_key(str_view(nb::object(row[0])), str_view(nb::object(row[1])))] =
            TableFacts{nb::object(row[2]), nb::object(row[3]), nb::object(row[4])};
    for (const auto &[key, name] : source.tables) {
        auto it = answers.find(name);
        if (it != answers.end())
            facts[key] = it->second;
    }
}

// The facts of every registered table that DuckDB still holds, one statement
// per DuckDB database (so linear in the number of tables), by table_key.
std::unordered_map<std::string, TableFacts> read_all_facts(nb::handle self, nb::handle registered) {
    std::unordered_map<PyObject *, FactsSource> sources;
    std::vector<PyObject *> order;
    for (nb::handle item : registered) {
        nb::object database = item[0], table = item[1];
        if (!duck::is_plain_identifier(table))
            continue;
        nb::object mode = mode_of(self, database);
        nb::object connection = call_method(self, kGetConnection, database, is_single_db(mode) ? nb::none() : table,
                                            mode, py_bool(false));
        if (!truth(connection))
            continue;
        nb::object entry = duck::catalog_entry(connection);
        nb::object target = entry.is_valid() ? nb::borrow(PyTuple_GET_ITEM(entry.ptr(), 2)) : connection;
        auto [it, fresh] = sources.try_emplace(target.ptr());
        if (fresh) {
            it->second.target = target;
            it->second.catalogs = entry.is_valid();
            order.push_back(target.ptr());
        }
        std::string_view catalog = entry.is_valid() ? str_view(nb::handle(PyTuple_GET_ITEM(entry.ptr(), 3))) : "";
        it->second.tables.emplace_back(table_key(database, table), answer_key(catalog, str_view(table)));
    }
    std::unordered_map<std::string, TableFacts> facts;
    for (PyObject *target : order)
        read_source_facts(self, sources[target], facts);
    return facts;
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

nb::object new_state() { return make_owner<ManagerState>(); }

int ManagerState::traverse(visitproc visit, void *arg) const {
    for (const auto &[key, flight] : flights)
        Py_VISIT(flight->error.ptr());
    if (int stop = visit_kept_dtypes(kept_dtypes, visit, arg))
        return stop;
    return results.traverse(visit, arg);
}

void ManagerState::clear() {
    Released released;  // let go once nothing here refers to them
    for (auto &[key, flight] : flights)
        released.push_back(std::move(flight->error));
    KeptDtypesByTable dtypes;
    dtypes.swap(kept_dtypes);  // dropped after the maps, with `released`
    results.release_all(released);
}

ManagerState *state_of(nb::handle self) {
    PyObject *owner = PyObject_GetAttr(self.ptr(), kStateAttr.ptr());
    if (!owner) {
        PyErr_Clear();
        return nullptr;
    }
    ManagerState *state = owned_value<ManagerState>(owner);
    Py_DECREF(owner);  // the instance keeps it alive
    return state;
}

HeldState::HeldState(nb::handle self) : owner_(attr(self, kStateAttr)), state_(owned_value<ManagerState>(owner_)) {
    if (!state_)
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
    nb::object registered = registered_tables(self);
    std::unordered_map<std::string, TableFacts> all_facts = read_all_facts(self, registered);
    for (nb::handle item : registered) {
        nb::object database = item[0], table = item[1], entry = item[2];
        auto found = all_facts.find(table_key(database, table));
        if (found == all_facts.end())
            continue;
        const TableFacts &facts = found->second;
        nb::object mode = mode_of(self, database);
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
