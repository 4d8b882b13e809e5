// The cache of query() answers: per table, the frames DuckDB returned for
// the questions asked of it since it last changed, so that a question asked
// again of an unchanged table is answered without DuckDB.
//
// Held in ManagerState and, like the rest of it, guarded by the GIL: the
// manager's methods touch it only with the GIL held and never across a call
// out to Python. Frames that leave the cache are moved into a Released list
// the caller declares first, so that they are let go only after the maps are
// consistent again (letting a frame go can run Python code, which may come
// back here).
#pragma once

#include "quaymaster.h"

#include <cstddef>
#include <cstdint>
#include <list>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

namespace brindle::quaymaster {

using Released = std::vector<nb::object>;

// Whether answers to one question of one table may be kept, from DuckDB's own
// parse of the statement the query layer runs for it.
struct Verdict {
    bool cacheable = false;
    // The unqualified names the statement reads as columns. DuckDB reads a
    // name that is no column of the table as a function where it can
    // (current_timestamp), so each must be a column of the table as stored.
    std::vector<std::string> bare_names;
    std::string reason;  // why not, for the log
};

// What execute_sql() text may have done to the database it ran on.
enum class SqlEffect { Reads, WritesRows, ChangesCatalog };

// Function name (lower case) -> every overload of it is CONSISTENT.
using FunctionStabilities = std::unordered_map<std::string, bool>;
// Shared, so that a verdict being made keeps the map it started with while
// DuckDB runs and the cache forgets it meanwhile.
using SharedFunctions = std::shared_ptr<const FunctionStabilities>;
using ColumnNames = std::unordered_set<std::string>;

class ResultCache {
public:
    // --- answers ------------------------------------------------------------------

    // The table's version: a number no state of any table has had before. A
    // table gets a new one when it is first asked of and after every change.
    std::uint64_t version(const std::string &table);

    // The answer kept for the question, now the most recently used; invalid
    // when there is none.
    nb::object find(const std::string &table, const std::string &question);

    // How often the question was asked of the table's current version and not
    // answered from here. An answer is kept only when its question comes
    // back: a question asked once per version costs no parse and no copy.
    enum class Asked { First, Again, Unkeepable };
    Asked ask(const std::string &table, const std::string &question);
    // The answer to the question cannot be kept (too large, or holding
    // values a caller could change): not tried again at this version.
    void refuse(const std::string &table, std::uint64_t version, const std::string &question);

    // Keeps `frame` as the answer to the question, unless the table changed
    // since `version` was read; then evicts the least recently used answers
    // until the cache fits `budget`.
    void keep(const std::string &table, std::uint64_t version, const std::string &question, nb::object frame,
              std::size_t bytes, std::size_t budget, Released &released);

    // The table's rows changed or may have: its answers go and its version
    // moves on. With `dropped`, everything known of it goes (its columns too).
    void forget_table(const std::string &table, bool dropped, Released &released);
    // The same for every table whose key starts with `database`.
    void forget_database(std::string_view database, bool dropped, Released &released);

    // Evicts least recently used answers until the cache fits `budget`.
    void trim(std::size_t budget, Released &released);

    std::size_t bytes() const { return bytes_; }
    std::size_t bytes_of(const std::string &table) const;

    // --- what the verdicts rest on ---------------------------------------------------

    // The table's column names in lower case as last stored; nullptr when
    // unknown (never stored here, or changed by SQL since).
    const ColumnNames *columns(const std::string &table) const;
    void set_columns(const std::string &table, ColumnNames names);

    // The kept verdict for a question of a table; nullptr when there is none.
    const Verdict *verdict(const std::string &key) const;
    void set_verdict(const std::string &key, Verdict verdict);

    // The database's function stabilities; empty until they are read.
    SharedFunctions functions(const std::string &database) const;
    void set_functions(const std::string &database, SharedFunctions functions);

    // A function or a column may now mean something else: every verdict goes,
    // and the database's functions are read again when next needed.
    void forget_catalog(const std::string &database);

    // The configuration file's switch for a table, as `resolver` last
    // answered; nullptr when not asked yet (or another resolver answered).
    const bool *switch_of(nb::handle resolver, const std::string &table) const;
    void set_switch(nb::handle resolver, const std::string &table, bool on);

    // What an execute_sql() text does, as last classified; nullptr when not yet.
    const SqlEffect *sql_effect(const std::string &sql) const;
    void set_sql_effect(const std::string &sql, SqlEffect effect);

private:
    struct Answer {
        std::string table, question;
        nb::object frame;
        std::size_t bytes;
    };
    using Answers = std::list<Answer>;  // most recently used first
    struct TableAnswers {
        std::uint64_t version;
        std::unordered_map<std::string, Answers::iterator> by_question;
        std::unordered_map<std::string, Asked> asked;  // questions not answered from here
        std::size_t bytes = 0;
    };

    void evict(Answers::iterator answer, Released &released);
    void forget_answers(std::unordered_map<std::string, TableAnswers>::iterator table, bool dropped,
                        Released &released);

    Answers answers_;
    std::unordered_map<std::string, TableAnswers> tables_;
    std::size_t bytes_ = 0;
    std::uint64_t last_version_ = 0;

    std::unordered_map<std::string, ColumnNames> columns_;
    std::unordered_map<std::string, Verdict> verdicts_;
    std::unordered_map<std::string, SharedFunctions> functions_;
    std::unordered_map<std::string, SqlEffect> sql_effects_;
    nb::object switches_resolver_;
    std::unordered_map<std::string, bool> switches_;
};

// --- the manager's use of it (cached_reads.cpp) -----------------------------------------

// One read of a table through query(): answered from the cache when it can
// be, else by DuckDB, whose answer is then kept when it may be.
class CachedRead {
public:
    // Decides before DuckDB runs: the table's version is read here, so that an
    // answer kept later is never older than the rows it is kept for.
    CachedRead(nb::handle self, nb::handle database, nb::handle table, nb::handle connection,
               const ConnectionUse &use, nb::handle query_layer, nb::handle sql_where, nb::handle columns,
               nb::handle limit, nb::handle params);
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
    bool judged_cacheable(const std::string &key, nb::handle connection, nb::handle sql_where, nb::handle columns,
                          nb::handle limit);
    SharedFunctions functions_for(nb::handle cursor);

    nb::handle self_, database_, table_, sql_where_, columns_, limit_;
    bool may_write_ = false;
    // The question's text (what a verdict is about), and the text with the
    // values bound to it (what an answer is kept under).
    std::string table_key_, question_, asked_;
    std::size_t budget_ = 0;
    std::uint64_t version_ = 0;
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

// Shutdown: every answer goes.
void forget_all_answers(nb::handle self);

// The read cursors the cache's own statements run on, and init_cached_frames;
// from module init.
void init_cached_reads();

// --- frames and verdicts (cached_frames.cpp, verdicts.cpp) --------------------------------

// Reads what the checks below need from numpy and pandas; from module init.
void init_cached_frames();

// What a frame holds in memory, when a caller cannot change a kept copy
// through the frame it is handed: false for anything but a plain DataFrame,
// and for one holding mutable values (lists, dicts, bytearrays).
bool keepable_size(nb::handle frame, std::size_t &bytes);

// A new DataFrame that shares nothing a caller can change with `frame`.
nb::object frame_copy(nb::handle frame);

// Judges the statement the query layer runs for a question, on `cursor`.
Verdict judge(nb::handle cursor, std::string_view table, const std::string &statement,
              const FunctionStabilities &functions);

// Every function DuckDB knows on `cursor`'s database, and whether it is
// CONSISTENT in all its overloads.
FunctionStabilities read_functions(nb::handle cursor);

// What running `sql` may have done, from DuckDB's own split of it into
// statements; a text DuckDB cannot split counts as ChangesCatalog.
SqlEffect classify_sql(nb::handle cursor, nb::handle sql);

}  // namespace brindle::quaymaster
