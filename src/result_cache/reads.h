// The result cache at work for its manager: reads answered from it, and the
// hooks through which stores, drops, free SQL and handed-out connections
// make kept answers go (reads.cpp).
#pragma once

#include "duck/select.h"
#include "result_cache/result_cache.h"

namespace brindle::result_cache {

// What the cache asks of the manager that owns it (the manager defines these).
namespace host {
// The manager's result cache; nullptr for a manager without state.
ResultCache *results_of(nb::handle manager);
// A table's key in the manager's maps, and the start every key of the database shares.
std::string table_key(nb::handle database, nb::handle table);
std::string database_key(nb::handle database);
// Counts a query() answered from the cache (or not, while it was on).
void count_answer(nb::handle manager, nb::handle database, nb::handle table, bool from_cache);
// The table of that key was dropped (with whole_database, every table whose
// key starts with key_start): the dtypes its answers were given go.
void forget_dtypes(nb::handle manager, const std::string &key_start, bool whole_database);
// Remembers that get_raw_connection() handed the connection out.
bool mark_handed_out(nb::handle connection);
}  // namespace host

// The query layer answers `method` (query, query_arrow, execute_sql) with
// CacheQuery's own: not a replaced layer, nor one whose method was patched,
// whose answers the cache cannot vouch for and which is called as it is.
enum class LayerMethod { Query, QueryArrow, ExecuteSql };
bool own_query_layer(nb::handle query_layer, LayerMethod method);

// The module whose error classes the query layer raises (brindle.lookout):
// the manager, running the query layer's statements itself, raises them too.
nb::handle query_errors();

// One read of a table through query(): answered from the cache when it can
// be, else by DuckDB, whose answer is then kept when it may be.
class CachedRead {
public:
    // Decides before DuckDB runs: the table's version is read here, so that an
    // answer kept later is never older than the rows it is kept for.
    // `plan` is the question as the query layer (brindle's own) runs it.
    CachedRead(nb::handle self, nb::handle database, nb::handle connection, bool handed_out,
               const sql::SelectPlan &plan);
    CachedRead(const CachedRead &) = delete;
    CachedRead &operator=(const CachedRead &) = delete;

    // The kept answer, copied for this caller; invalid when DuckDB must answer.
    nb::object answer() const;
    // Keeps what DuckDB answered, when it may be kept.
    void keep(nb::handle frame);
    // After the query layer ran the question, answered or not: a WHERE text
    // or column entry holding a ';' may have run statements of its own
    // (raw SQL), which are then dealt with as execute_sql() text is.
    void ran(nb::handle connection);

private:
    bool judged_cacheable(const std::string &key, nb::handle connection);

    nb::handle self_, database_;
    const sql::SelectPlan &plan_;
    // The question's text (what a verdict is about), and the text with the
    // values bound to it (what an answer is kept under).
    std::string table_key_, question_, asked_;
    std::size_t budget_ = 0;
    std::uint64_t version_ = 0;
    bool may_keep_ = false;
    nb::object kept_;
};

// One execute_sql() through the cache: a report (one deterministic SELECT of
// cached tables of the connection, joins allowed) asked again of unchanged
// tables is answered from it. Kept per the versions of every table it reads,
// so a change of any of them makes it go.
class CachedReport {
public:
    // Decides before DuckDB runs, reading the versions of the tables first.
    // `own_layer`: the query layer is brindle's own (see own_query_layer).
    CachedReport(nb::handle self, nb::handle database, nb::handle connection, bool handed_out, bool own_layer,
                 nb::handle sql, nb::handle params);
    CachedReport(const CachedReport &) = delete;
    CachedReport &operator=(const CachedReport &) = delete;

    // The kept answer, copied for this caller; invalid when DuckDB must answer.
    nb::object answer() const;
    // Keeps what DuckDB answered, when it may be kept.
    void keep(nb::handle frame);

private:
    // Reads the versions of the verdict's tables; false when one of them is
    // no cached table of the database.
    bool read_versions(ResultCache &results, const Verdict &verdict);
    // The kept answer, when the tables are all still at the versions it was kept at.
    nb::object find_current(ResultCache &results);

    nb::handle self_, database_;
    std::string reports_key_, asked_;
    std::size_t budget_ = 0;
    std::uint64_t version_ = 0;
    TableVersions reads_;
    std::vector<std::string> tables_;  // as the text names them
    bool may_keep_ = false;
    nb::object kept_;
};

// Counts a store() or execute_sql() as under way for the scope: answers from
// the cache give way to them meanwhile (see give_way_to_writers).
class WriterUnderWay {
public:
    WriterUnderWay();
    ~WriterUnderWay();
    WriterUnderWay(const WriterUnderWay &) = delete;
    WriterUnderWay &operator=(const WriterUnderWay &) = delete;
};

// The table was stored from `df`: its answers go, its columns are `df`'s.
void table_stored(nb::handle self, nb::handle database, nb::handle table, nb::handle df);
// The table's rows may have changed (a failed store) or it was dropped.
void table_changed(nb::handle self, nb::handle database, nb::handle table, bool dropped);
// Every table of the database was dropped.
void database_dropped(nb::handle self, nb::handle database);
// execute_sql() ran `sql` on the database's connection: whatever it may have
// written is forgotten.
void sql_ran(nb::handle self, nb::handle database, nb::handle connection, nb::handle sql);
// get_raw_connection() handed the connection out: from now on the cache
// keeps nothing read through it.
void connection_handed_out(nb::handle self, nb::handle database, nb::handle connection);

// After a read that went past the cache (query_arrow(), a query layer not
// brindle's own): a WHERE text or column entry holding a ';' is dealt with
// as CachedRead::ran deals with it.
void uncached_read_ran(nb::handle self, nb::handle database, nb::handle table, nb::handle connection,
                       nb::handle sql_where, nb::handle columns, nb::handle limit);

// Shutdown: every answer goes.
void forget_all_answers(nb::handle self);

// Bytes the cache holds for the table (a table key).
std::size_t result_bytes(nb::handle self, const std::string &table);

// cls.__dict__[name], kept for the process; TypeError when it has none.
PyObject *own_function(PyObject *cls, const Name &name);
// `method` is `function` bound to `obj`: not replaced on the instance nor
// patched on the class.
bool is_own_method(nb::handle method, nb::handle obj, PyObject *function);
// obj.name is `function` bound to `obj`; false when obj has no such attribute.
bool has_own_method(nb::handle obj, const Name &name, PyObject *function);

// The read cursors the cache's own statements run on, the functions it
// checks for, and init_cached_frames; from the manager module's init.
void init_reads();

}  // namespace brindle::result_cache
