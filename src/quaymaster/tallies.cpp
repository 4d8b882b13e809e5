// Per-table counters and stats(): what is cached and how it is being used.
#include "cached_reads.h"
#include "duck/sql.h"
#include "signals.h"
#include "state.h"
#include "texts.h"

#include <algorithm>
#include <map>
#include <set>
#include <optional>
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
const Name kFetchnumpy{"fetchnumpy"};
const Name kValues{"values"};
const Name kTolist{"tolist"};
// Catalog, table, rows, columns, memory: what the facts statement answers.
constexpr std::size_t kFactsColumns = 5;

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
    nb::object rows, columns;
    nb::object memory_bytes;           // the table's own storage
    nb::object database_memory_bytes;  // all table data of its DuckDB instance
};

// A registered table as stats() goes through it: borrowed from the
// registry's answer, which outlives the call's work.
struct Registered {
    nb::handle database, table;
    // The entry's fields, read together under the registry's lock.
    nb::handle loaded_at, ttl_minutes, is_stale, scheduler_managed, active_readers;
    std::string key;  // table_key
    TableFacts facts;
    bool held = false;  // DuckDB still holds the table
    TableTally tally;   // copied when stats() began
    std::string catalog;  // its catalog in a shared instance; empty for none
};

// The tables whose facts one statement reads: those of one connection's own
// database, or of every catalog of one shared instance.
struct FactsSource {
    nb::object target;      // the connection, or the shared instance
    bool catalogs = false;  // target is a shared instance
    std::vector<std::pair<Registered *, std::string>> tables;  // (table, name in the statement's answer)
};

std::string answer_key(std::string_view catalog, std::string_view table) {
    return ascii_lower(std::string(catalog)) + '\0' + ascii_lower(std::string(table));
}

// The statement's answer column by column, each as a list. Read through
// fetchnumpy(): fetchall() builds a tuple and a Python value per cell through
// DuckDB's own row conversion, which costs more than the statement itself at
// thousands of tables, where fetchnumpy() hands each column over at once.
std::vector<nb::object> answer_columns(nb::handle result) {
    nb::object arrays = call_method(call_method(result, kFetchnumpy), kValues);
    std::vector<nb::object> columns;
    for (nb::handle array : arrays) {
        nb::object column = call_method(array, kTolist);
        if (!PyList_CheckExact(column.ptr()))
            column = checked(PySequence_List(column.ptr()));
        columns.push_back(std::move(column));
    }
    if (columns.size() < kFactsColumns)
        columns.clear();  // not DuckDB's answer: no facts
    return columns;
}

nb::handle item(const nb::object &column, Py_ssize_t row) { return PyList_GET_ITEM(column.ptr(), row); }

// The name pragma_storage_info() reads a table of the source by; a
// catalog's name is one the cache made, quoted as its USE and ATTACH quote it.
std::string storage_name(const Registered &r) {
    if (r.catalog.empty())
        return std::string(str_view(r.table));
    return "\"" + r.catalog + "\".main." + std::string(str_view(r.table));
}

std::int64_t as_int64(nb::handle value) {
    long long n = PyLong_AsLongLong(value.ptr());
    if (n == -1 && PyErr_Occurred())
        throw_pending();
    return n;
}

// How DuckDB allocates a table's segments held in memory: each column part
// of a row group starts in a small buffer of its own, and what outgrows it
// is packed into shared blocks. Measured against duckdb_memory(), the sum
// is exact for a table of one row group and within about 20% beyond.
constexpr std::int64_t kFirstSegmentBytes = 2040;
constexpr std::int64_t kBlockBytes = 256 * 1024;

// A segment's uncompressed bytes, by its type.
std::int64_t segment_bytes(std::string_view type, std::int64_t rows, std::int64_t string_bytes) {
    static const std::unordered_map<std::string_view, std::int64_t> kWidths = {
        {"BOOLEAN", 1}, {"TINYINT", 1}, {"UTINYINT", 1}, {"SMALLINT", 2}, {"USMALLINT", 2},
        {"INTEGER", 4}, {"UINTEGER", 4}, {"FLOAT", 4}, {"DATE", 4}, {"HUGEINT", 16},
        {"UHUGEINT", 16}, {"UUID", 16}, {"INTERVAL", 16}};
    if (type == "VALIDITY")
        return (rows + 7) / 8;  // a bit per row
    if (type == "VARCHAR")      // an offset per row, and the strings
        return rows * 4 + string_bytes;
    auto it = kWidths.find(type);
    return rows * (it == kWidths.end() ? 8 : it->second);
}

// The bytes of a table's column parts held in memory, as allocated.
std::int64_t in_memory_bytes(const std::vector<std::int64_t> &parts) {
    std::int64_t outgrown = 0;
    for (std::int64_t bytes : parts)
        outgrown += std::max<std::int64_t>(bytes - kFirstSegmentBytes, 0);
    return static_cast<std::int64_t>(parts.size()) * kFirstSegmentBytes +
           (outgrown + kBlockBytes - 1) / kBlockBytes * kBlockBytes;
}

// The bytes of a table's segments (rows of kTableSegmentsBranch): those in
// memory as allocated; those in the database file by their uncompressed
// bytes, at most the file blocks they occupy.
std::int64_t storage_bytes(const std::vector<nb::handle> &segments) {
    std::map<std::pair<std::int64_t, std::string>, std::int64_t> parts;  // (row group, column part) -> bytes
    std::set<std::int64_t> blocks;
    std::int64_t in_file = 0;
    for (nb::handle segment : segments) {
        nb::object type = segment[5], strings = segment[7];
        std::int64_t bytes = segment_bytes(str_view(type), as_int64(nb::object(segment[6])),
                                           is_none(strings) ? 0 : as_int64(strings));
        if (truth(nb::object(segment[3]))) {
            in_file += bytes;
            nb::object block = segment[4];
            blocks.insert(is_none(block) ? -1 : as_int64(block));
        } else {
            parts[{as_int64(nb::object(segment[1])), to_text(nb::object(segment[2]))}] += bytes;
        }
    }
    std::vector<std::int64_t> part_bytes;
    for (const auto &[part, bytes] : parts)
        part_bytes.push_back(bytes);
    return in_memory_bytes(part_bytes) + std::min(in_file, static_cast<std::int64_t>(blocks.size()) * kBlockBytes);
}

// The table's row count as DuckDB estimates it; -1 when it gave none.
std::int64_t rows_of(const Registered &r) {
    return PyLong_CheckExact(r.facts.rows.ptr()) ? as_int64(r.facts.rows) : -1;
}

// The table's storage as of this call, kept until it is stored again or its
// rows change.
void keep_measurement(Registered &r, std::int64_t bytes) {
    TableTally &t = r.tally;
    t.measured_bytes = bytes;
    t.measured_stores = t.stores;
    t.measured_rows = rows_of(r);
}

// How many tables one measuring statement reads.
constexpr std::size_t kMeasuredPerStatement = 200;

// A table to measure, with the name pragma_storage_info() reads it by.
using Measured = std::pair<Registered *, std::string>;

// Measures a batch of tables in one statement; false when the statement
// failed (a table went in the meantime), and nothing is measured then.
bool measure_batch(nb::handle cursor, const Measured *batch, std::size_t count) {
    std::string sql;
    for (std::size_t i = 0; i < count; ++i) {
        if (i)
            sql += text::kUnionAll;
        std::string name = "'" + sql::escape_string_literal(batch[i].second) + "'";
        sql += fill(text::kTableSegmentsBranch, {{"index", std::to_string(i)}, {"name", name}});
    }
    nb::object rows = guarded([&] { return duck::fetchall(duck::execute(cursor, sql)); },
                              [&](nb::python_error &) { return nb::object(); });
    if (!rows.is_valid())
        return false;
    std::vector<std::vector<nb::handle>> segments(count);
    for (nb::handle row : rows) {
        std::int64_t i = as_int64(nb::object(row[0]));
        if (i >= 0 && static_cast<std::size_t>(i) < count)
            segments[static_cast<std::size_t>(i)].push_back(row);
    }
    for (std::size_t i = 0; i < count; ++i)
        keep_measurement(*batch[i].first, storage_bytes(segments[i]));
    return true;
}

// --- small tables held in memory: reckoned from their columns ---------------------
//
// Reading a table's segments costs DuckDB about half a millisecond per table
// however many one statement reads, which made the first stats() after
// thousands of fresh stores take seconds. A table of one row group in a
// database held in memory has one data and one validity part per column of
// a plain type, whose bytes follow from its rows and, for strings, their
// total length: what its segments would say, at the cost of a scan of its
// string columns. Every other table is measured from its segments.

// DuckDB's row group size: a table of at most this many rows has one.
constexpr std::int64_t kRowGroupRows = 122880;

bool plain_column_type(std::string_view type) {
    static const std::set<std::string_view> kPlain = {
        "BOOLEAN", "TINYINT", "SMALLINT", "INTEGER", "BIGINT", "UTINYINT", "USMALLINT", "UINTEGER",
        "UBIGINT", "HUGEINT", "UHUGEINT", "FLOAT", "DOUBLE", "DATE", "TIME", "TIMESTAMP",
        "TIMESTAMP WITH TIME ZONE", "TIMESTAMP_NS", "TIMESTAMP_MS", "TIMESTAMP_S", "UUID", "INTERVAL",
        "VARCHAR"};
    return kPlain.count(type) > 0;
}

// A small table held in memory, with its columns' names and types.
struct Reckoned {
    Registered *table;
    std::string from;  // the table as a FROM clause names it
    std::vector<std::string> columns, types;
    bool has_strings = false;
};

// The table's storage from its rows and its string columns' total lengths
// (in the order of its string columns).
std::int64_t reckoned_bytes(const Reckoned &r, std::int64_t rows, const std::vector<std::int64_t> &string_bytes) {
    std::vector<std::int64_t> parts;
    size_t next_string = 0;
    for (const std::string &type : r.types) {
        std::int64_t strings = 0;
        if (type == "VARCHAR" && next_string < string_bytes.size())
            strings = string_bytes[next_string++];
        parts.push_back(segment_bytes(type, rows, strings));
        parts.push_back(segment_bytes("VALIDITY", rows, 0));
    }
    return in_memory_bytes(parts);
}

std::vector<std::string> texts_of(nb::handle list) {
    std::vector<std::string> out;
    for (nb::handle item : list)
        out.push_back(to_text(nb::borrow(item)));
    return out;
}

// Splits `due` into the tables reckoned from their columns (kept in
// `reckoned`) and those left to measure from their segments (returned).
std::vector<Measured> split_reckoned(nb::handle cursor, bool catalogs, const std::vector<Measured> &due,
                                     std::vector<Reckoned> &reckoned) {
    nb::object rows = guarded(
        [&] {
            return duck::fetchall(call_method(cursor, duck::kExecute, make_str(text::kMemoryTablesColumnsStatement),
                                              nb::make_tuple(py_bool(catalogs))));
        },
        [&](nb::python_error &) { return nb::object(); });
    if (!rows.is_valid())
        return due;
    std::unordered_map<std::string, nb::handle> columns_of;  // answer key -> row
    for (nb::handle row : rows)
        columns_of[answer_key(str_view(nb::object(row[0])), str_view(nb::object(row[1])))] = row;
    std::vector<Measured> rest;
    for (const Measured &m : due) {
        Registered &r = *m.first;
        auto it = columns_of.find(answer_key(r.catalog, str_view(r.table)));
        std::int64_t count = rows_of(r);
        Reckoned candidate{&r};
        if (it != columns_of.end() && count > 0 && count <= kRowGroupRows) {
            candidate.columns = texts_of(nb::object(it->second[2]));
            candidate.types = texts_of(nb::object(it->second[3]));
        }
        bool plain = !candidate.types.empty() &&
                     std::all_of(candidate.types.begin(), candidate.types.end(),
                                 [](const std::string &type) { return plain_column_type(type); });
        if (!plain) {
            rest.push_back(m);
            continue;
        }
        candidate.has_strings = std::find(candidate.types.begin(), candidate.types.end(), "VARCHAR") !=
                                candidate.types.end();
        candidate.from = (r.catalog.empty() ? "" : sql::quote_identifier(r.catalog) + ".main.") +
                         sql::quote_identifier(str_view(r.table));
        reckoned.push_back(std::move(candidate));
    }
    return rest;
}

// Reckons a batch of tables with string columns in one statement (their
// rows and strings' lengths); false when the statement failed.
bool reckon_batch(nb::handle cursor, Reckoned *batch, std::size_t count) {
    std::string sql;
    for (std::size_t i = 0; i < count; ++i)
        for (std::size_t c = 0, k = 0; c < batch[i].types.size(); ++c) {
            if (batch[i].types[c] != "VARCHAR")
                continue;
            if (!sql.empty())
                sql += text::kUnionAll;
            sql += fill(text::kStringBytesBranch, {{"index", std::to_string(i)}, {"column_index", std::to_string(k++)},
                                                   {"column", sql::quote_identifier(batch[i].columns[c])},
                                                   {"table", batch[i].from}});
        }
    nb::object rows = guarded([&] { return duck::fetchall(duck::execute(cursor, sql)); },
                              [&](nb::python_error &) { return nb::object(); });
    if (!rows.is_valid())
        return false;
    std::vector<std::int64_t> table_rows(count, -1);
    std::vector<std::vector<std::int64_t>> strings(count);
    for (nb::handle row : rows) {
        std::int64_t i = as_int64(nb::object(row[0])), k = as_int64(nb::object(row[1]));
        if (i < 0 || static_cast<std::size_t>(i) >= count || k < 0 || k > 4096)
            continue;
        auto &lengths = strings[static_cast<std::size_t>(i)];
        if (lengths.size() <= static_cast<std::size_t>(k))
            lengths.resize(static_cast<std::size_t>(k) + 1, 0);
        lengths[static_cast<std::size_t>(k)] = as_int64(nb::object(row[3]));
        table_rows[static_cast<std::size_t>(i)] = as_int64(nb::object(row[2]));
    }
    for (std::size_t i = 0; i < count; ++i)
        if (table_rows[i] >= 0)
            keep_measurement(*batch[i].table, reckoned_bytes(batch[i], table_rows[i], strings[i]));
    return true;
}

// Reckons the small tables held in memory; those it cannot (one went in
// the meantime) join `rest`, to be measured from their segments.
void reckon_small_tables(nb::handle cursor, std::vector<Reckoned> &reckoned, std::vector<Measured> &rest) {
    std::vector<Reckoned> with_strings;
    for (Reckoned &r : reckoned) {
        if (r.has_strings)
            with_strings.push_back(r);
        else
            keep_measurement(*r.table, reckoned_bytes(r, rows_of(*r.table), {}));
    }
    for (std::size_t at = 0; at < with_strings.size(); at += kMeasuredPerStatement) {
        std::size_t count = std::min(kMeasuredPerStatement, with_strings.size() - at);
        if (!reckon_batch(cursor, &with_strings[at], count))
            for (std::size_t i = 0; i < count; ++i)
                rest.emplace_back(with_strings[at + i].table, storage_name(*with_strings[at + i].table));
    }
}

// Each table's own storage, into its facts: measured again only when it was
// stored or its row count changed since stats() last measured it (reading
// every segment of thousands of tables on every call would cost stats()
// far more than its own statement). A table that cannot be measured (it
// went in the meantime) shows 0, and is measured again next time.
void measure_storage(nb::handle cursor, bool catalogs, const std::vector<Registered *> &held) {
    std::vector<Measured> due;
    for (Registered *r : held) {
        const TableTally &t = r->tally;
        if (t.measured_bytes < 0 || t.measured_stores != t.stores || t.measured_rows != rows_of(*r))
            due.emplace_back(r, storage_name(*r));
    }
    if (!due.empty()) {
        std::vector<Reckoned> reckoned;
        due = split_reckoned(cursor, catalogs, due, reckoned);
        reckon_small_tables(cursor, reckoned, due);
    }
    for (std::size_t at = 0; at < due.size(); at += kMeasuredPerStatement) {
        std::size_t count = std::min(kMeasuredPerStatement, due.size() - at);
        if (!measure_batch(cursor, &due[at], count))
            for (std::size_t i = 0; i < count; ++i)
                measure_batch(cursor, &due[at + i], 1);  // one by one, to spare the others
    }
    for (Registered *r : held) {
        const TableTally &t = r->tally;
        bool current = t.measured_bytes >= 0 && t.measured_stores == t.stores &&
                       t.measured_rows == rows_of(*r);
        r->facts.memory_bytes = nb::int_(current ? t.measured_bytes : 0);
    }
}

// Reads one source's facts into its tables; nothing when its connection has
// been retired or the statement fails (the database went between the
// registry and here).
void read_source_facts(nb::handle self, const FactsSource &source) {
    nb::object statement = make_str(text::kTablesFactsStatement);
    nb::object params = nb::make_tuple(py_bool(source.catalogs));
    auto read = [&](nb::handle cursor) {
        std::vector<nb::object> columns =
            answer_columns(call_method(cursor, duck::kExecute, statement, params));
        if (columns.empty())
            return nb::none();
        Py_ssize_t rows = PyList_GET_SIZE(columns[0].ptr());
        for (const nb::object &column : columns)
            rows = std::min(rows, PyList_GET_SIZE(column.ptr()));
        std::unordered_map<std::string, Py_ssize_t> answers;  // answer key -> row
        answers.reserve(static_cast<size_t>(rows));
        for (Py_ssize_t i = 0; i < rows; ++i)
            answers[answer_key(str_view(item(columns[0], i)), str_view(item(columns[1], i)))] = i;
        std::vector<Registered *> held;
        for (const auto &[table, name] : source.tables) {
            auto it = answers.find(name);
            if (it == answers.end())
                continue;
            Py_ssize_t i = it->second;
            table->facts = TableFacts{nb::borrow(item(columns[2], i)), nb::borrow(item(columns[3], i)),
                                      nb::object(), nb::borrow(item(columns[4], i))};
            table->held = true;
            held.push_back(table);
        }
        measure_storage(cursor, source.catalogs, held);
        return nb::none();
    };
    guarded(
        [&] {
            if (source.catalogs) {
                duck::Cursor cursor(source.target);
                read(cursor.handle());
                return true;
            }
            ConnectionUse use(source.target, logger_of(self));
            if (use.refused())
                return false;
            duck::with_cursor(this_module().get(kDuckdb), source.target, read);
            return true;
        },
        [&](nb::python_error &) { return false; });
}

// Keeps each table's new measurement for the next stats(), unless the
// table was stored again meanwhile (its tally then no longer matches).
void keep_measurements(nb::handle self, const std::vector<Registered> &registered) {
    ManagerState *state = state_of(self);
    if (!state)
        return;
    for (const Registered &r : registered) {
        if (!r.held)
            continue;
        auto it = state->tallies.find(r.key);
        if (it == state->tallies.end() || it->second.stores != r.tally.measured_stores)
            continue;
        it->second.measured_bytes = r.tally.measured_bytes;
        it->second.measured_stores = r.tally.measured_stores;
        it->second.measured_rows = r.tally.measured_rows;
    }
}

// What one stats() call asks once per database rather than once per table:
// its mode, and in single_db mode its connection. The database objects are
// those of the registry's answer, kept alive by it for the call.
class PerDatabase {
public:
    explicit PerDatabase(nb::handle self) : self_(self) {}

    nb::handle mode(nb::handle database) {
        Known &known = known_[database.ptr()];
        if (!known.mode.is_valid()) {
            known.mode = mode_of(self_, database);
            known.single_db = is_single_db(known.mode);
        }
        return known.mode;
    }

    // The table's connection, or None when it has none, with its record
    // among the catalogs of shared instances (invalid when it has none).
    std::pair<nb::object, nb::object> connection(nb::handle database, nb::handle table) {
        nb::handle m = mode(database);
        Known &known = known_[database.ptr()];
        if (!known.single_db) {
            nb::object connection = call_method(self_, kGetConnection, database, table, m, py_bool(false));
            return {connection, truth(connection) ? duck::catalog_entry(connection) : nb::object()};
        }
        if (!known.connection.is_valid()) {
            known.connection = call_method(self_, kGetConnection, database, nb::none(), m, py_bool(false));
            if (truth(known.connection))
                known.catalog = duck::catalog_entry(known.connection);
        }
        return {known.connection, known.catalog};
    }

private:
    struct Known {
        nb::object mode, connection, catalog;
        bool single_db = false;
    };
    nb::handle self_;
    std::unordered_map<PyObject *, Known> known_;
};

// Reads the facts of every registered table that DuckDB still holds, one
// statement per DuckDB database (so linear in the number of tables).
void read_all_facts(nb::handle self, std::vector<Registered> &registered, PerDatabase &databases) {
    std::unordered_map<PyObject *, FactsSource> sources;
    std::vector<PyObject *> order;
    for (Registered &r : registered) {
        if (!duck::is_plain_identifier(r.table))
            continue;
        auto [connection, entry] = databases.connection(r.database, r.table);
        if (!truth(connection))
            continue;
        nb::object target = entry.is_valid() ? nb::borrow(PyTuple_GET_ITEM(entry.ptr(), 2)) : connection;
        auto [it, fresh] = sources.try_emplace(target.ptr());
        if (fresh) {
            it->second.target = target;
            it->second.catalogs = entry.is_valid();
            order.push_back(target.ptr());
        }
        std::string_view catalog = entry.is_valid() ? str_view(nb::handle(PyTuple_GET_ITEM(entry.ptr(), 3))) : "";
        r.catalog = std::string(catalog);
        it->second.tables.emplace_back(&r, answer_key(catalog, str_view(r.table)));
    }
    for (PyObject *target : order)
        read_source_facts(self, sources[target]);
}

// How stats() tells a table past its time-to-live. The registry's own
// is_expired() compares the entry's age by the registry's clock (the
// datetime that brindle.tidewatch holds, which tests may replace) with its
// time-to-live, under its lock and at a cost per table that dominates
// stats() at thousands of tables; while it is the registry's own, the same
// comparison is made here on the live entry, with one reading of that clock
// for the whole call. A replaced is_expired() is asked table by table.
class ExpiryJudge {
public:
    // `now` is stats()'s own reading of the standard clock: when the registry
    // reads that same clock, a table's age is worked out once for both.
    ExpiryJudge(nb::handle self, nb::handle now) : registry_(attr(self, kTtlRegistry)) {
        if (!own_is_expired(registry_))
            return;
        nb::object clock = attr(import("brindle.tidewatch"), kDatetime);
        same_clock_ = clock.ptr() == attr(import("datetime"), kDatetime).ptr();
        at_ = same_clock_ ? nb::borrow(now) : call_method(clock, kNow);
    }

    // `age_seconds` is the table's age by stats()'s clock.
    bool expired(nb::handle database, nb::handle table, const Registered &r, nb::handle age_seconds) const {
        if (!at_.is_valid())
            return truth(call_method(registry_, kIsExpired, database, table));
        static const nb::object kSixty = nb::int_(60);
        nb::object seconds = same_clock_ ? nb::borrow(age_seconds) : age_by_registry_clock(r.loaded_at);
        nb::object minutes = checked(PyNumber_TrueDivide(seconds.ptr(), kSixty.ptr()));
        return truth(checked(PyObject_RichCompare(minutes.ptr(), r.ttl_minutes.ptr(), Py_GT)));
    }

private:
    nb::object age_by_registry_clock(nb::handle loaded_at) const {
        nb::object age = checked(PyNumber_Subtract(at_.ptr(), loaded_at.ptr()));
        return call_method(age, kTotalSeconds);
    }

    nb::object registry_;
    nb::object at_;  // the registry's clock, read once; invalid when it is asked instead
    bool same_clock_ = false;
};

// A table a query would refuse as out of date: marked stale or past its
// time-to-live, unless an outside scheduler manages it.
bool refused_as_stale(const Registered &r, bool scheduler_managed, nb::handle age_seconds,
                      const ExpiryJudge &expiry) {
    if (scheduler_managed)
        return false;
    return truth(r.is_stale) || expiry.expired(r.database, r.table, r, age_seconds);
}

nb::object count_value(std::uint64_t n) { return checked(PyLong_FromUnsignedLongLong(n)); }

// The keys of a table's entry, interned once: thousands of entries share them.
const Name kDatabaseField{"database"}, kTableField{"table"}, kModeField{"mode"}, kRowsField{"rows"},
    kColumnsField{"columns"}, kMemoryBytesField{"memory_bytes"}, kDatabaseMemoryBytesField{"database_memory_bytes"},
    kAgeSecondsField{"age_seconds"},
    kTtlSecondsField{"ttl_seconds"}, kStaleField{"stale"}, kQueriesField{"queries"}, kNotFoundField{"not_found"},
    kStoresField{"stores"}, kStoreFailuresField{"store_failures"}, kLastStoreMsField{"last_store_ms"},
    kExpirationsField{"expirations"}, kInvalidationsField{"invalidations"},
    kParquetFailuresField{"parquet_write_failures"}, kExternalFailuresField{"external_write_failures"},
    kResultHitsField{"result_cache_hits"}, kResultMissesField{"result_cache_misses"},
    kResultBytesField{"result_cache_bytes"};

void put(nb::handle d, const Name &key, nb::handle value) {
    if (PyDict_SetItem(d.ptr(), key.ptr(), value.ptr()) != 0)
        throw_pending();
}

// A dict holding every key of a table's entry, in order, each bound to
// None: each entry starts as a copy of it, which shares its layout and
// sets values in place rather than growing a new table key by key.
nb::object entry_template() {
    static const Name *const kKeys[] = {
        &kDatabaseField, &kTableField, &kModeField, &kRowsField, &kColumnsField, &kMemoryBytesField,
        &kDatabaseMemoryBytesField, &kLoadedAt,
        &kAgeSecondsField, &kTtlSecondsField, &kStaleField, &kSchedulerManagedField, &kActiveReaders,
        &kQueriesField, &kNotFoundField, &kStoresField, &kStoreFailuresField, &kLastStoreMsField,
        &kExpirationsField, &kInvalidationsField, &kParquetFailuresField, &kExternalFailuresField,
        &kResultHitsField, &kResultMissesField, &kResultBytesField};
    nb::object d = checked(PyDict_New());
    for (const Name *key : kKeys)
        put(d, *key, nb::none());
    return d;
}

nb::object table_stats(nb::handle self, const Registered &r, nb::handle mode, nb::handle now, nb::handle layout,
                       const ExpiryJudge &expiry) {
    const TableTally &tally = r.tally;
    static const nb::object kSecondsPerMinute = nb::int_(60);
    nb::handle loaded_at = r.loaded_at;
    nb::object age = call_method(checked(PyNumber_Subtract(now.ptr(), loaded_at.ptr())), kTotalSeconds);
    nb::object ttl_seconds = checked(PyNumber_Multiply(r.ttl_minutes.ptr(), kSecondsPerMinute.ptr()));
    bool scheduler_managed = truth(r.scheduler_managed);
    nb::object stale = py_bool(refused_as_stale(r, scheduler_managed, age, expiry));
    nb::object d = checked(PyDict_Copy(layout.ptr()));
    put(d, kDatabaseField, r.database);
    put(d, kTableField, r.table);
    put(d, kModeField, mode);
    put(d, kRowsField, r.facts.rows);
    put(d, kColumnsField, r.facts.columns);
    put(d, kMemoryBytesField, r.facts.memory_bytes);
    put(d, kDatabaseMemoryBytesField, r.facts.database_memory_bytes);
    put(d, kLoadedAt, loaded_at);
    put(d, kAgeSecondsField, age);
    put(d, kTtlSecondsField, ttl_seconds);
    put(d, kStaleField, stale);
    put(d, kSchedulerManagedField, py_bool(scheduler_managed));
    put(d, kActiveReaders, r.active_readers);
    put(d, kQueriesField, count_value(tally.queries));
    put(d, kNotFoundField, count_value(tally.not_found));
    put(d, kStoresField, count_value(tally.stores));
    put(d, kStoreFailuresField, count_value(tally.store_failures));
    if (tally.last_store_ms >= 0)
        put(d, kLastStoreMsField, nb::object(checked(PyFloat_FromDouble(tally.last_store_ms))));
    put(d, kExpirationsField, count_value(tally.expirations));
    put(d, kInvalidationsField, count_value(tally.invalidations));
    put(d, kParquetFailuresField, count_value(tally.parquet_failures));
    put(d, kExternalFailuresField, count_value(tally.external_failures));
    put(d, kResultHitsField, count_value(tally.result_hits));
    put(d, kResultMissesField, count_value(tally.result_misses));
    put(d, kResultBytesField, count_value(result_bytes(self, r.key)));
    return d;
}

// (database, table, loaded_at, ttl_minutes, is_stale, scheduler_managed,
// active_readers) for every registered table, sorted by database and table:
// each entry's fields read at one moment, under the registry's lock (plain
// attribute reads; nothing is judged or logged while it is held).
nb::object registered_tables(nb::handle self) {
    static const Name kRegistryLock{"_registry_lock"};
    nb::object registry = attr(self, kTtlRegistry);
    nb::object entries = call_method(registry, kGetAllEntries);
    std::vector<std::pair<nb::object, nb::object>> found;  // (database, (table, entry))
    for (nb::handle db_item : checked(PySequence_List(call_method(entries, kItems).ptr()))) {
        nb::object database = db_item[0];
        for (nb::handle item : checked(PySequence_List(call_method(nb::object(db_item[1]), kItems).ptr())))
            found.emplace_back(database, nb::borrow(item));
    }
    nb::list out;
    {
        nb::object lock = optional_attr(registry, kRegistryLock);
        std::optional<PyLockGuard> held;
        if (lock.is_valid())
            held.emplace(lock);
        for (auto &[database, item] : found) {
            nb::object entry = item[1];
            out.append(nb::make_tuple(database, nb::object(item[0]), attr(entry, kLoadedAt), attr(entry, kTtlMinutes),
                                      attr(entry, kIsStaleField), attr(entry, kSchedulerManagedField),
                                      attr(entry, kActiveReaders)));
        }
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
        if (!PyErr_ExceptionMatches(PyExc_AttributeError))
            throw_pending();
        PyErr_Clear();  // a manager made without __init__
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
    nb::object listed = registered_tables(self);
    std::vector<Registered> registered;
    registered.reserve(static_cast<size_t>(PyList_GET_SIZE(listed.ptr())));
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(listed.ptr()); ++i) {
        PyObject *item = PyList_GET_ITEM(listed.ptr(), i);
        Registered r{PyTuple_GET_ITEM(item, 0), PyTuple_GET_ITEM(item, 1), PyTuple_GET_ITEM(item, 2),
                     PyTuple_GET_ITEM(item, 3), PyTuple_GET_ITEM(item, 4), PyTuple_GET_ITEM(item, 5),
                     PyTuple_GET_ITEM(item, 6), {}, {}, false};
        r.key = table_key(r.database, r.table);
        registered.push_back(std::move(r));
    }
    // Copied before any statement runs: DuckDB releases the GIL, and another
    // thread's store may then add to the map.
    if (ManagerState *state = state_of(self))
        for (Registered &r : registered)
            if (auto it = state->tallies.find(r.key); it != state->tallies.end())
                r.tally = it->second;
    PerDatabase databases(self);
    read_all_facts(self, registered, databases);
    keep_measurements(self, registered);
    ExpiryJudge expiry(self, now);
    nb::object layout = entry_template();
    for (const Registered &r : registered) {
        if (!r.held)
            continue;
        nb::object mode = nb::borrow(databases.mode(r.database));
        nb::object entry = table_stats(self, r, mode, now, layout, expiry);
        if (PyList_Append(out.ptr(), entry.ptr()) != 0)
            throw_pending();
    }
    add_versions(self, out);
    return out;
}

}  // namespace brindle::quaymaster
