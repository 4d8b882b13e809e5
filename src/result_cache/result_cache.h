// The cache of query() answers: per table, the frames DuckDB returned for
// the questions asked of it since it last changed, so that a question asked
// again of an unchanged table is answered without DuckDB.
//
// Held by its owner (the manager's state) and guarded by the GIL: the
// owner touches it only with the GIL held and never across a call
// out to Python. Frames that leave the cache are moved into a Released list
// the caller declares first, so that they are let go only after the maps are
// consistent again (letting a frame go can run Python code, which may come
// back here).
#pragma once

#include "interop/interop.h"
#include "duck/duckdb.h"

#include <cstddef>
#include <cstdint>
#include <list>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

namespace brindle::result_cache {

namespace nb = nanobind;
using namespace brindle::interop;

using Released = std::vector<nb::object>;

// Whether answers to a statement may be kept, from DuckDB's own parse and
// bound plan of it.
struct Verdict {
    bool cacheable = false;
    // The tables the statement reads, as DuckDB's catalog spells them.
    std::vector<std::string> tables;
    // Each table read (by table key) with the shape of its columns when the
    // statement was judged: a name that was a column then may be a function
    // of the clock once the table is stored without it (current_date), so
    // the verdict holds only while every shape is the same.
    std::vector<std::pair<std::string, std::uint64_t>> shapes;
    // Bare names the text reads that DuckDB would read as a function of the
    // clock were they no column (current_date): each must be a column of a
    // table read.
    std::vector<std::string> bare_names;
    std::string reason;  // why not, for the log
};

// The tables a kept report read, with the version each had when it was run.
using TableVersions = std::vector<std::pair<std::string, std::uint64_t>>;

// What execute_sql() text may have done to the database it ran on.
enum class SqlEffect { Reads, WritesRows, ChangesCatalog };

// Function name (lower case) -> every overload of it is CONSISTENT.
struct FunctionStabilities {
    std::unordered_map<std::string, bool> consistent;
    // Functions with overloads of both kinds: each overload's parameter
    // types (as DuckDB writes them) and whether it is CONSISTENT. Which one a
    // call binds is read from DuckDB's bound plan of the statement.
    struct Overload {
        std::vector<std::string> types;
        bool consistent;
    };
    std::unordered_map<std::string, std::vector<Overload>> mixed;

    auto find(const std::string &name) const { return consistent.find(name); }
    auto end() const { return consistent.end(); }
};
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

    // For the garbage collector: every Python object the cache keeps, and
    // their release (everything is forgotten).
    int traverse(visitproc visit, void *arg) const;
    void release_all(Released &released);

    std::size_t bytes() const { return bytes_; }
    std::size_t bytes_of(const std::string &table) const;

    // --- what the verdicts rest on ---------------------------------------------------

    // The table's column names in lower case as last stored; nullptr when
    // unknown (never stored here, or changed by SQL since).
    const ColumnNames *columns(const std::string &table) const;
    void set_columns(const std::string &table, ColumnNames names);
    // A number that stays the same while the table is stored with the same
    // column names, and changes when they change; 0 when they are unknown.
    std::uint64_t shape(const std::string &table) const;
    // The verdict's tables all still have the shapes it was judged at.
    bool shapes_hold(const Verdict &verdict) const;

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

    // The tables a kept report read and their versions then; nullptr when
    // the report's answer was never kept.
    const TableVersions *report_reads(const std::string &key) const;
    void set_report_reads(const std::string &key, TableVersions reads);

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

    struct KnownColumns {
        ColumnNames names;
        std::uint64_t shape;
    };
    std::unordered_map<std::string, KnownColumns> columns_;
    std::unordered_map<std::string, Verdict> verdicts_;
    std::unordered_map<std::string, SharedFunctions> functions_;
    std::unordered_map<std::string, SqlEffect> sql_effects_;
    std::unordered_map<std::string, TableVersions> report_reads_;
    nb::object switches_resolver_;
    std::unordered_map<std::string, bool> switches_;
};

// --- the keys of questions (questions.cpp) --------------------------------------------

// Appends "<length>:<text>"; false for a str without a UTF-8 form.
bool append_text(std::string &key, nb::handle text);

// The values bound with the question, in the order given: the same text
// with other values is another question. False when one cannot be told
// apart from every other value by its text (nothing is then kept).
bool append_params(std::string &key, nb::handle params);

// The question exactly as asked: where, columns and limit, each tagged so
// that None, "" and [] stay apart. It starts with '#', which no table name
// does. False when a part is not what the query layer takes (it then
// raises, and nothing is kept).
bool question_key(nb::handle sql_where, nb::handle columns, nb::handle limit, std::string &key);

// --- frames and verdicts (cached_frames.cpp, verdicts.cpp) --------------------------------

// Reads what the checks below need from numpy and pandas; from the init of
// the module this library is built into.
void init_cached_frames();

// What a frame holds in memory, when a caller cannot change a kept copy
// through the frame it is handed: false for anything but a plain DataFrame,
// and for one holding mutable values (lists, dicts, bytearrays).
bool keepable_size(nb::handle frame, std::size_t &bytes);

// A new DataFrame that shares nothing a caller can change with `frame`.
nb::object frame_copy(nb::handle frame);

// Judges a statement (a SELECT of any shape: joins, subqueries, WITH, set
// operations, windows) on `cursor`: it may be kept when it is one SELECT
// that reads only tables of the cursor's own catalog and calls only
// functions that are CONSISTENT in the overloads it binds.
Verdict judge(nb::handle cursor, nb::handle sql, const FunctionStabilities &functions);

// Every function DuckDB knows on `cursor`'s database, and whether it is
// CONSISTENT in all its overloads.
FunctionStabilities read_functions(nb::handle cursor);

// What running `sql` may have done, from DuckDB's own split of it into
// statements; a text DuckDB cannot split counts as ChangesCatalog.
SqlEffect classify_sql(nb::handle cursor, nb::handle sql);

}  // namespace brindle::result_cache
