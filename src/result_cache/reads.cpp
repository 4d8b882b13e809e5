// The manager's use of the result cache: reads answered from it, and the
// changes of tables, SQL and connections that make kept answers go.
//
// A kept answer is tied to its table's version, read before DuckDB runs the
// query. Every change of a table ends its version after the change is made
// and before the call making it returns, so an answer read before a change
// (or while it ran) is never kept under the version that follows it, and a
// query that starts after a store returned never gets an older answer.
#include "duck/select.h"
#include "reads.h"
#include "interop/frames.h"
#include "texts.h"

#include <atomic>
#include <chrono>
#include <thread>

namespace brindle::result_cache {
namespace {

using host::database_key;
using host::results_of;
using host::table_key;

const Name kConfig{"config"};
const Name kConfigResolver{"_config_resolver"};
const Name kDuckdb{"duckdb"};
const Name kQueryMethod{"query"};
const Name kQueryArrowMethod{"query_arrow"};
const Name kExecuteSqlMethod{"execute_sql"};
const Name kCacheQuery{"CacheQuery"};
const Name kCacheConfigResolver{"CacheConfigResolver"};

const Name kResultCacheBytes{"result_cache_bytes"};
const Name kIsResultCacheEnabled{"is_result_cache_enabled"};

// The budget of a configuration that does not say, as BrindleConfig's default.
constexpr std::size_t kDefaultBudget = 64 * 1024 * 1024;

// CacheQuery's query, query_arrow and execute_sql as brindle.lookout
// defines them, and that module, taken at import.
PyObject *g_layer_functions[3] = {nullptr, nullptr, nullptr};
PyObject *g_lookout = nullptr;

// self.config.result_cache_bytes; 0 (off) for a value that is no count of bytes.
std::size_t budget_of(nb::handle self) {
    PyObject *value = PyObject_GetAttr(attr(self, kConfig).ptr(), kResultCacheBytes.ptr());
    if (!value) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError))
            throw_pending();
        PyErr_Clear();
        return kDefaultBudget;
    }
    nb::object owned = nb::steal(value);
    if (!PyLong_Check(value) || PyBool_Check(value))
        return 0;
    std::size_t budget = PyLong_AsSize_t(value);
    if (budget == static_cast<std::size_t>(-1) && PyErr_Occurred()) {
        PyErr_Clear();
        return 0;
    }
    return budget;
}

// CacheConfigResolver and its is_result_cache_enabled as brindle.config
// defines them, taken at import.
PyObject *g_resolver_type = nullptr;
PyObject *g_switch_function = nullptr;

// The configuration file's switch for the table; a resolver without one
// leaves the cache on. The answers of brindle's own resolver come from the
// file as it was read, so they are remembered for as long as the manager
// keeps that resolver and that method; any other resolver is asked each time.
bool enabled_for(nb::handle self, nb::handle database, nb::handle table, const std::string &key) {
    nb::object resolver = attr(self, kConfigResolver);
    PyObject *found = PyObject_GetAttr(resolver.ptr(), kIsResultCacheEnabled.ptr());
    if (!found) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError))
            throw_pending();
        PyErr_Clear();
        return true;
    }
    nb::object method = nb::steal(found);
    bool own = reinterpret_cast<PyObject *>(Py_TYPE(resolver.ptr())) == g_resolver_type &&
               is_own_method(method, resolver, g_switch_function);
    if (ResultCache *results = results_of(self); own && results)
        if (const bool *known = results->switch_of(resolver, key))
            return *known;
    bool on = truth(call(method, database, table));
    if (ResultCache *results = results_of(self); own && results)
        results->set_switch(resolver, key, on);
    return on;
}

// The frame's column names as DuckDB names the table's columns, in lower
// case as DuckDB matches them; false when they cannot be read.
bool column_names_of(nb::handle df, ColumnNames &names) {
    return guarded(
        [&] {
            for (nb::handle label : frame_column_labels(df))
                names.insert(ascii_lower(to_text(label)));
            return true;
        },
        [](nb::python_error &) { return false; });
}

void forget_everything_of(nb::handle self, nb::handle database, bool dropped) {
    ResultCache *results = results_of(self);
    if (!results)
        return;
    Released released;
    results->forget_database(database_key(database), dropped, released);
}

// A SELECT whose WHERE text or column entries may have run statements of
// their own was run: dealt with as execute_sql() text is.
void select_ran(nb::handle self, nb::handle database, nb::handle connection, nb::handle statement) {
    if (statement.is_valid())
        sql_ran(self, database, connection, statement);
    else
        forget_everything_of(self, database, true);
}

}  // namespace

// --- reads ---------------------------------------------------------------------------

namespace {

// The functions of the database and their stabilities, read once per catalog state.
SharedFunctions database_functions(nb::handle self, nb::handle database, nb::handle cursor) {
    std::string key = database_key(database);
    if (ResultCache *results = results_of(self))
        if (SharedFunctions known = results->functions(key))
            return known;
    auto functions = std::make_shared<const FunctionStabilities>(read_functions(cursor));
    if (ResultCache *results = results_of(self))
        results->set_functions(key, functions);
    return functions;
}

// Judges `sql` on a read cursor of the connection, and notes the shape of
// every table it reads; a table the cache did not store is not kept.
Verdict judged(nb::handle self, nb::handle database, nb::handle connection, nb::handle sql) {
    Verdict verdict = guarded(
        [&] {
            return duck::with_read_cursor(duck::read_cursors(), this_module().get(kDuckdb), connection,
                                          [&](nb::handle cursor) {
                                              return judge(cursor, sql, *database_functions(self, database, cursor));
                                          });
        },
        [](nb::python_error &e) { return Verdict{false, {}, {}, {}, "DuckDB could not parse it: " + error_text(e)}; });
    // DuckDB ran meanwhile, and other threads with it: the cache is found again.
    ResultCache *results = results_of(self);
    if (!results)
        return Verdict{false, {}, {}, {}, "the cache is gone"};
    ColumnNames columns;
    for (const std::string &table : verdict.tables) {
        std::string key = table_key(database, make_str(table));
        std::uint64_t shape = results->shape(key);
        if (shape == 0 && verdict.cacheable) {
            verdict.cacheable = false;
            verdict.reason = "it reads " + table + ", which is no table the cache stored";
        }
        if (const ColumnNames *names = results->columns(key))
            columns.insert(names->begin(), names->end());
        verdict.shapes.emplace_back(std::move(key), shape);
    }
    for (const std::string &name : verdict.bare_names)
        if (verdict.cacheable && !columns.count(name)) {
            verdict.cacheable = false;
            verdict.reason = "it names " + name + ", which is no column of the tables it reads";
        }
    return verdict;
}

}  // namespace

namespace {

// How long an answer from the cache sleeps, the GIL released, while a
// writer is under way.
constexpr std::chrono::microseconds kGiveWay{250};

std::atomic<int> g_writers_under_way{0};

// An answer from the cache runs no statement, so nothing in it gives up the
// GIL; threads answered from it back to back keep the GIL to themselves, and
// a store, which gives it up and takes it back around each of its DuckDB
// statements, waits a whole switch interval for it each time (a 15 ms store
// took half a second under three such threads). While a store or free SQL
// runs, each answer lets it in.
void give_way_to_writers() {
    if (g_writers_under_way.load(std::memory_order_relaxed) == 0)
        return;
    ReleaseGil released;
    std::this_thread::sleep_for(kGiveWay);
}

}  // namespace

WriterUnderWay::WriterUnderWay() { g_writers_under_way.fetch_add(1, std::memory_order_relaxed); }
WriterUnderWay::~WriterUnderWay() { g_writers_under_way.fetch_sub(1, std::memory_order_relaxed); }

namespace {

// The copy of `frame` the cache may keep under the question, and its size;
// the cache to keep it in, or nullptr when it is not to be kept (too large,
// or holding values a caller could change: the question is then refused at
// this version). The caller gets `frame`; the cache keeps a copy the caller
// cannot reach.
ResultCache *copy_to_keep(nb::handle self, nb::handle frame, const std::string &key, std::uint64_t version,
                          const std::string &asked, std::size_t budget, nb::object &copy, std::size_t &bytes) {
    bool keepable = keepable_size(frame, bytes);
    bytes += key.size() * 2 + asked.size() * 2;
    if (!keepable || bytes > budget / 4) {
        if (ResultCache *results = results_of(self))
            results->refuse(key, version, asked);
        return nullptr;
    }
    copy = guarded([&] { return frame_copy(frame); }, [](nb::python_error &) { return nb::object(); });
    ResultCache *results = results_of(self);
    return copy.is_valid() ? results : nullptr;
}

}  // namespace

CachedRead::CachedRead(nb::handle self, nb::handle database, nb::handle connection, bool handed_out,
                       const sql::SelectPlan &plan)
    : self_(self), database_(database), plan_(plan) {
    ResultCache *results = results_of(self);
    if (!results)
        return;
    budget_ = budget_of(self);
    if (budget_ == 0) {
        Released released;  // lowered to 0 while answers were kept
        results->trim(0, released);
        return;
    }
    // Answers are kept only of what DuckDB answers on a connection no one
    // else writes through.
    if (handed_out || !duck::is_connection(this_module().get(kDuckdb), connection) ||
        !question_key(plan.sql_where, plan.columns, plan.limit, question_))
        return;
    asked_ = question_;
    if (!append_params(asked_, plan.params))
        return;
    table_key_ = table_key(database, plan.table);
    if (!enabled_for(self, database, plan.table, table_key_) || !(results = results_of(self)))
        return;
    std::string key = table_key_ + question_;
    const Verdict *known = results->verdict(key);
    bool judged = known && results->shapes_hold(*known);
    if (!judged || known->cacheable) {
        version_ = results->version(table_key_);
        kept_ = results->find(table_key_, asked_);
        // Judged, copied and kept only when the question comes back.
        if (!kept_.is_valid() && results->ask(table_key_, asked_) == ResultCache::Asked::Again)
            may_keep_ = judged || judged_cacheable(key, connection);
    }
    host::count_answer(self, database, plan.table, kept_.is_valid());
}

bool CachedRead::judged_cacheable(const std::string &key, nb::handle connection) {
    nb::handle table = plan_.table;
    Verdict verdict = judged(self_, database_, connection, plan_.text);
    // The question is of the one table: an answer reading others would not
    // go with their stores.
    if (verdict.cacheable &&
        (verdict.tables.size() != 1 || ascii_lower(verdict.tables[0]) != ascii_lower(std::string(str_view(table))))) {
        verdict.cacheable = false;
        verdict.reason = "it reads something other than the table";
    }
    ResultCache *results = results_of(self_);
    if (!results)
        return false;
    bool cacheable = verdict.cacheable;
    std::string reason = verdict.reason;
    results->set_verdict(key, std::move(verdict));
    if (!reason.empty())
        log(logger_of(self_), Level::Debug, [&] {
            return fill(text::kNotCached,
                        {{"database", str_view(database_)}, {"table", str_view(table)}, {"reason", reason}});
        });
    return cacheable;
}

nb::object CachedRead::answer() const {
    if (!kept_.is_valid())
        return nb::object();
    log(logger_of(self_), Level::Debug, [&] {
        return fill(text::kAnsweredFromCache, {{"database", str_view(database_)}, {"table", str_view(plan_.table)}});
    });
    give_way_to_writers();
    return frame_copy(kept_);
}

void CachedRead::keep(nb::handle frame) {
    if (!may_keep_)
        return;
    nb::object copy;
    std::size_t bytes = 0;
    ResultCache *results = copy_to_keep(self_, frame, table_key_, version_, asked_, budget_, copy, bytes);
    if (!results)
        return;
    Released released;
    results->keep(table_key_, version_, asked_, std::move(copy), bytes, budget_, released);
}

void CachedRead::ran(nb::handle connection) {
    if (plan_.may_hold_statements && results_of(self_))
        select_ran(self_, database_, connection, plan_.text);
}

void uncached_read_ran(nb::handle self, nb::handle database, nb::handle table, nb::handle connection,
                       nb::handle sql_where, nb::handle columns, nb::handle limit) {
    if (!results_of(self) || (!sql::holds_semicolon(sql_where) && !sql::any_holds_semicolon(columns)))
        return;
    nb::object statement = guarded(
        [&] { return nb::object(make_str(sql::select_statement(table, sql_where, columns, limit))); },
        [](nb::python_error &) { return nb::object(); });
    select_ran(self, database, connection, statement);
}

// --- reports ---------------------------------------------------------------------------

CachedReport::CachedReport(nb::handle self, nb::handle database, nb::handle connection, bool handed_out,
                           bool own_layer, nb::handle sql, nb::handle params)
    : self_(self), database_(database) {
    ResultCache *results = results_of(self);
    if (!results || (budget_ = budget_of(self)) == 0)
        return;
    std::string text = "R";
    if (handed_out || !own_layer ||
        !duck::is_connection(this_module().get(kDuckdb), connection) || !append_text(text, sql))
        return;
    asked_ = text;
    if (!append_params(asked_, params))
        return;
    // '#' is in no table name, so this key is no table's.
    reports_key_ = database_key(database) + "#reports";
    std::string verdict_key = reports_key_ + text;
    version_ = results->version(reports_key_);
    const Verdict *known = results->verdict(verdict_key);
    if (known && results->shapes_hold(*known)) {
        if (!known->cacheable || !read_versions(*results, *known))
            return;
        kept_ = find_current(*results);
        if (!kept_.is_valid())
            may_keep_ = results->ask(reports_key_, asked_) == ResultCache::Asked::Again;
        return;
    }
    // Judged only when the text comes back: a text sent once costs no parse.
    if (results->ask(reports_key_, asked_) != ResultCache::Asked::Again)
        return;
    Verdict verdict = judged(self, database, connection, sql);
    if (!(results = results_of(self)))
        return;
    bool cacheable = verdict.cacheable;
    results->set_verdict(verdict_key, verdict);
    version_ = results->version(reports_key_);
    may_keep_ = cacheable && read_versions(*results, verdict);
}

bool CachedReport::read_versions(ResultCache &results, const Verdict &verdict) {
    reads_.clear();
    tables_ = verdict.tables;
    for (const auto &[key, shape] : verdict.shapes) {
        if (!results.columns(key))
            return false;  // not a table the cache stored, or changed by SQL since
        reads_.emplace_back(key, results.version(key));
    }
    return true;
}

nb::object CachedReport::find_current(ResultCache &results) {
    const TableVersions *kept_at = results.report_reads(reports_key_ + asked_);
    if (!kept_at || *kept_at != reads_)
        return nb::object();
    return results.find(reports_key_, asked_);
}

nb::object CachedReport::answer() const {
    if (!kept_.is_valid())
        return nb::object();
    for (const std::string &table : tables_)
        host::count_answer(self_, database_, make_str(table), true);
    give_way_to_writers();
    return frame_copy(kept_);
}

void CachedReport::keep(nb::handle frame) {
    if (!may_keep_)
        return;
    nb::object copy;
    std::size_t bytes = 0;
    ResultCache *results = copy_to_keep(self_, frame, reports_key_, version_, asked_, budget_, copy, bytes);
    if (!results)
        return;
    // A table that changed while DuckDB ran may have given the old rows or the new.
    for (const auto &[table, version] : reads_)
        if (results->version(table) != version)
            return;
    Released released;
    results->keep(reports_key_, version_, asked_, std::move(copy), bytes, budget_, released);
    results->set_report_reads(reports_key_ + asked_, reads_);
}

// --- changes ---------------------------------------------------------------------------

void table_stored(nb::handle self, nb::handle database, nb::handle table, nb::handle df) {
    ColumnNames names;
    bool known = column_names_of(df, names);
    ResultCache *results = results_of(self);
    if (!results)
        return;
    std::string key = table_key(database, table);
    Released released;
    results->forget_table(key, true, released);
    if (known)
        results->set_columns(key, std::move(names));
}

void table_changed(nb::handle self, nb::handle database, nb::handle table, bool dropped) {
    ResultCache *results = results_of(self);
    if (!results)
        return;
    Released released;
    results->forget_table(table_key(database, table), dropped, released);
    if (dropped)
        host::forget_dtypes(self, table_key(database, table), false);
}

void database_dropped(nb::handle self, nb::handle database) {
    forget_everything_of(self, database, true);
    host::forget_dtypes(self, database_key(database), true);
}

void sql_ran(nb::handle self, nb::handle database, nb::handle connection, nb::handle sql) {
    if (!results_of(self))
        return;
    // Classified even while the cache is off (once per text): what the text
    // did must be known when the cache is turned on again, and forgetting all
    // that is known of the database instead would keep nothing of it until
    // its tables are stored again.
    std::string database_text = database_key(database);
    std::string sql_text;
    bool has_text = append_text(sql_text, sql);
    const SqlEffect *known = has_text ? results_of(self)->sql_effect(sql_text) : nullptr;
    SqlEffect effect = known ? *known : SqlEffect::ChangesCatalog;
    if (!known && has_text) {
        effect = guarded(
            [&] {
                return duck::with_read_cursor(duck::read_cursors(), this_module().get(kDuckdb), connection,
                                              [&](nb::handle cursor) { return classify_sql(cursor, sql); });
            },
            [](nb::python_error &) { return SqlEffect::ChangesCatalog; });
        if (ResultCache *results = results_of(self))
            results->set_sql_effect(sql_text, effect);
    }
    if (effect == SqlEffect::Reads)
        return;
    forget_everything_of(self, database, effect == SqlEffect::ChangesCatalog);
    if (effect == SqlEffect::ChangesCatalog) {
        // An ALTER or CREATE OR REPLACE may have changed what a column holds.
        host::forget_dtypes(self, database_text, true);
        if (ResultCache *results = results_of(self))
            results->forget_catalog(database_text);
    }
}

void connection_handed_out(nb::handle self, nb::handle database, nb::handle connection) {
    host::mark_handed_out(connection);
    forget_everything_of(self, database, false);
    host::forget_dtypes(self, database_key(database), true);
    if (ResultCache *results = results_of(self))
        results->forget_catalog(database_key(database));
}

void forget_all_answers(nb::handle self) {
    host::forget_dtypes(self, "", true);
    ResultCache *results = results_of(self);
    if (!results)
        return;
    Released released;
    results->forget_database("", true, released);
}

std::size_t result_bytes(nb::handle self, const std::string &table) {
    ResultCache *results = results_of(self);
    return results ? results->bytes_of(table) : 0;
}

PyObject *own_function(PyObject *cls, const Name &name) {
    PyObject *function = PyDict_GetItemWithError(reinterpret_cast<PyTypeObject *>(cls)->tp_dict, name.ptr());
    if (!function) {
        if (PyErr_Occurred())
            throw_pending();
        throw_type_error(to_text(cls) + " has no " + to_text(name.handle()));
    }
    Py_INCREF(function);
    return function;
}

bool is_own_method(nb::handle method, nb::handle obj, PyObject *function) {
    return PyMethod_Check(method.ptr()) && PyMethod_GET_FUNCTION(method.ptr()) == function &&
           PyMethod_GET_SELF(method.ptr()) == obj.ptr();
}

bool has_own_method(nb::handle obj, const Name &name, PyObject *function) {
    PyObject *method = PyObject_GetAttr(obj.ptr(), name.ptr());
    if (!method) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError))
            throw_pending();
        PyErr_Clear();
        return false;
    }
    return is_own_method(nb::steal(method), obj, function);
}

bool own_query_layer(nb::handle query_layer, LayerMethod which) {
    static const Name *const names[] = {&kQueryMethod, &kQueryArrowMethod, &kExecuteSqlMethod};
    auto i = static_cast<std::size_t>(which);
    return has_own_method(query_layer, *names[i], g_layer_functions[i]);
}

nb::handle query_errors() { return g_lookout; }

void init_reads() {
    g_lookout = import("brindle.lookout").release().ptr();
    nb::object query_class = attr(nb::handle(g_lookout), kCacheQuery);
    g_layer_functions[0] = own_function(query_class.ptr(), kQueryMethod);
    g_layer_functions[1] = own_function(query_class.ptr(), kQueryArrowMethod);
    g_layer_functions[2] = own_function(query_class.ptr(), kExecuteSqlMethod);
    g_resolver_type = attr(import("brindle.config"), kCacheConfigResolver).release().ptr();
    g_switch_function = own_function(g_resolver_type, kIsResultCacheEnabled);
    duck::read_cursors().init();
    init_cached_frames();
}

}  // namespace brindle::result_cache
