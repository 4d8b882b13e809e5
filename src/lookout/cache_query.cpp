// CacheQuery: builds and runs SELECT statements and free SQL on a connection.
#include "duck/select.h"
#include "duck/statements.h"
#include "lookout.h"
#include "texts.h"

namespace brindle::lookout {
namespace {

const Name kBrindleNotFoundError{"BrindleNotFoundError"};
const Name kCatalogException{"CatalogException"};

// Reads on a real DuckDB connection run on a cursor of it, so that each read
// gets its own pending result and reads run in parallel. Statements that
// leave no session state reuse the thread's cursor: the built ones (SELECT,
// COUNT, DESCRIBE) always, free SQL when DuckDB's parser reads it as SELECTs
// only. Other free SQL may leave state (SET, temporary tables, transactions)
// and gets a private cursor that is closed afterwards. The duckdb module is
// taken from sys.modules: a real connection implies it is loaded. Other
// objects are driven as they are.
template <typename Fn>
nb::object on_read_cursor(nb::handle connection, Fn &&fn) {
    nb::object duckdb = duck::loaded_module();
    if (is_none(duckdb))
        return fn(connection);
    return duck::with_read_cursor(duck::read_cursors(), duckdb, connection, std::forward<Fn>(fn));
}

// A real DuckDB connection (or a cursor of one).
bool is_connection(nb::handle target) {
    nb::object duckdb = duck::loaded_module();
    return !is_none(duckdb) && duck::is_connection(duckdb, target);
}

template <typename Fn>
nb::object on_private_cursor(nb::handle connection, Fn &&fn) {
    nb::object duckdb = duck::loaded_module();
    if (is_none(duckdb))
        return fn(connection);
    return duck::with_cursor(duckdb, connection, std::forward<Fn>(fn));
}

// Free SQL on the thread's read cursor when it leaves nothing behind there,
// on a private cursor otherwise. A fresh cursor costs more than the
// statement itself when the statement is small (its setup runs a statement
// of its own, and a new engine connection's first query is slow).
template <typename Fn>
nb::object on_cursor_for_sql(nb::handle connection, nb::handle sql, Fn &&fn) {
    nb::object duckdb = duck::loaded_module();
    if (is_none(duckdb) || !duck::is_connection(duckdb, connection))
        return fn(connection);
    if (sql::leaves_no_session_state(sql, [&] { return duck::read_cursors().get(connection); }))
        return duck::with_read_cursor(duck::read_cursors(), duckdb, connection, std::forward<Fn>(fn));
    return duck::with_cursor(duckdb, connection, std::forward<Fn>(fn));
}

// The table is really absent from the connection: checked on a cursor of its
// own after a failure. False when that cannot be told.
bool table_absent(nb::handle connection, nb::handle table) {
    return guarded(
        [&] {
            nb::object row = on_private_cursor(connection, [&](nb::handle c) {
                return duck::fetch_first(duck::execute(c, text::kTableCount, nb::make_tuple(table)));
            });
            return !is_none(row) && !truth(nb::object(row[0]));
        },
        [](nb::python_error &) { return false; });
}

// DuckDB said a catalog entry is missing (CatalogException). Its text is not
// looked at: a missing column or function says "not found" too.
bool is_catalog_error(const nb::python_error &e) {
    nb::object duckdb = duck::loaded_module();
    if (is_none(duckdb))
        return false;
    PyObject *cls = PyObject_GetAttr(duckdb.ptr(), kCatalogException.ptr());
    if (!cls) {
        PyErr_Clear();
        return false;
    }
    nb::object owned = nb::steal(cls);
    return PyType_Check(cls) && e.matches(cls);
}

[[noreturn]] void raise_failed(const nb::python_error &e, nb::handle table, const char *other_template) {
    raise_from(this_module().get(kBrindleError),
               fill(other_template, {{"table", str_view(table)}, {"error", error_text(e)}}), e);
}

// Runs read(); the table is reported missing only when DuckDB says an entry
// is missing and the table is indeed not there. Any other failure of the
// statement (a typo'd column, a syntax error) is the statement's, and
// reloading the table would not mend it. A missing entry while the table is
// there is either the statement's (an unknown function) or a store that
// swapped the table back in meanwhile: the read is tried once more to tell.
template <typename Read>
nb::object classified(nb::handle connection, nb::handle table, const char *other_template, Read &&read) {
    auto not_found = [&](const nb::python_error &e) {
        raise_from(this_module().get(kBrindleNotFoundError), fill(text::kNotFound, {{"table", str_view(table)}}), e);
    };
    auto passes_on = [&](const nb::python_error &e) { return e.matches(this_module().get(kBrindleError)); };
    return guarded(read, [&](nb::python_error &e) -> nb::object {
        if (passes_on(e))
            throw;
        if (!is_catalog_error(e))
            raise_failed(e, table, other_template);
        if (table_absent(connection, table))
            not_found(e);
        return guarded(read, [&](nb::python_error &again) -> nb::object {
            if (passes_on(again))
                throw;
            if (is_catalog_error(again) && table_absent(connection, table))
                not_found(again);
            raise_failed(again, table, other_template);
        });
    });
}

// Refuses a WHERE text or column entry carrying a statement of its own after
// a ';', before anything runs.
void require_one_statement(nb::handle cursor, nb::handle table, nb::handle statement) {
    if (sql::holds_several_statements(cursor, statement))
        raise_plain(this_module().get(kBrindleError), fill(text::kSeveralStatements, {{"table", str_view(table)}}));
}

// The frame of a result; a text of no statement at all leaves DuckDB no
// result to give (execute() answers None).
nb::object frame_of(nb::handle result, std::size_t most_rows = SIZE_MAX) {
    if (is_none(result))
        raise_plain(this_module().get(kBrindleError), text::kNoStatement);
    return duck::to_frame(result, most_rows);
}

// execute(sql), or execute(sql, params) when values are to be bound.
nb::object run(nb::handle target, nb::handle sql, nb::handle params) {
    if (!params.is_valid())
        return duck::execute(target, sql);
    return call_method(target, duck::kExecute, sql, params);
}

// The built SELECT run on the thread's read cursor, its result turned into
// rows by convert (a DataFrame or an Arrow table: both have a len()), which
// is also told the LIMIT, when there is one.
template <typename Convert>
nb::object select_rows(const Args &a, Convert &&convert) {
    nb::handle self = a[0], connection = a[1], table = a.str(2);
    nb::handle sql_where = a.optional_str(3), columns = a.optional_list(4);
    nb::object limit = a.optional_integer(5);
    nb::handle params = a.optional_params(6);
    std::string statement = sql::select_statement(table, sql_where, columns, limit);
    duck::require_plain_identifier(table);
    nb::object logger = logger_of(self);
    return classified(connection, table, text::kQueryFailed, [&] {
        log(logger, Level::Debug, [&] { return text::kExecuting + statement; });
        nb::str sql = make_str(statement);
        nb::object rows = on_read_cursor(connection, [&](nb::handle c) {
            if (is_connection(c))
                require_one_statement(c, table, sql);
            return convert(run(c, sql, params), limit);
        });
        log(logger, Level::Info, [&] {
            return fill(text::kQueryReturned, {{"rows", length_text(rows)}, {"table", str_view(table)}});
        });
        return rows;
    });
}

// At most `limit` rows, or no bound when the query has none (or a negative
// one, which DuckDB refuses anyway).
std::size_t row_bound(nb::handle limit) {
    if (!limit.is_valid() || is_none(limit))
        return SIZE_MAX;
    long long n = PyLong_AsLongLong(limit.ptr());
    if (n == -1 && PyErr_Occurred()) {
        PyErr_Clear();
        return SIZE_MAX;
    }
    return n < 0 ? SIZE_MAX : static_cast<std::size_t>(n);
}

nb::object cache_query_query(const Args &a) {
    return select_rows(a, [](nb::handle result, nb::handle limit) { return frame_of(result, row_bound(limit)); });
}

nb::object cache_query_query_arrow(const Args &a) {
    return select_rows(a, [](nb::handle result, nb::handle) {
        if (is_none(result))
            raise_plain(this_module().get(kBrindleError), text::kNoStatement);
        return duck::to_arrow_table(result);
    });
}

nb::object cache_query_execute_sql(const Args &a) {
    nb::handle self = a[0], connection = a[1], sql = a.str(2), params = a.optional_params(3);
    return guarded(
        [&] {
            nb::object logger = logger_of(self);
            log(logger, Level::Debug, [&] {
                nb::object prefix = checked(PyUnicode_Substring(sql.ptr(), 0, text::kSqlPrefixLength));
                return fill(text::kExecutingRaw, {{"sql_prefix", str_view(prefix)}});
            });
            nb::object frame =
                on_cursor_for_sql(connection, sql, [&](nb::handle c) { return frame_of(run(c, sql, params)); });
            log(logger, Level::Info, [&] { return fill(text::kRawReturned, {{"rows", length_text(frame)}}); });
            return frame;
        },
        [&](nb::python_error &e) -> nb::object {
            raise_from(this_module().get(kBrindleError), fill(text::kRawFailed, {{"error", error_text(e)}}), e);
        });
}

nb::object describe(nb::handle target, std::string_view table) {
    nb::object count_row = duck::fetch_first(duck::execute(target, fill(text::kCountRows, {{"table", table}})));
    nb::object row_count = count_row[0];
    nb::object rows = duck::fetchall(duck::execute(target, fill(text::kDescribe, {{"table", table}})));
    nb::list columns;
    for (nb::handle row : rows)
        columns.append(row[0]);
    nb::dict types;
    for (nb::handle row : rows)
        types[row[0]] = row[1];
    nb::dict info;
    info[text::kRowCount] = row_count;
    info[text::kColumns] = columns;
    info[text::kColumnTypes] = types;
    return info;
}

nb::object cache_query_get_table_info(const Args &a) {
    nb::handle connection = a[1], table = a.str(2);
    duck::require_plain_identifier(table);
    return classified(connection, table, text::kInfoFailed, [&] {
        return on_read_cursor(connection, [&](nb::handle c) { return describe(c, str_view(table)); });
    });
}

}  // namespace

void init_cache_query(nb::module_ &m) {
    duck::read_cursors().init();
    const char *mod = "brindle.lookout";
    const FunctionMaker method(mod);
    const char *conn = duck::kConnectionAnnotation;
    const Params query_params{"self", {"connection", conn}, {"table", "str"},
                              {"sql_where", "Optional[str]", nb::none()},
                              {"columns", "Optional[List[str]]", nb::none()},
                              {"limit", "Optional[int]", nb::none()},
                              keyword_only({"params", kParamsAnnotation, nb::none()})};
    nb::object cls = make_class(mod, "CacheQuery", text::kClassDoc, {
        {"__init__", method("CacheQuery.__init__", text::kInitDoc, {"self"}, nullptr, init_with_module_logger)},
        {"query", method("CacheQuery.query", text::kQueryDoc, query_params, "pd.DataFrame", cache_query_query)},
        {"query_arrow", method("CacheQuery.query_arrow", text::kQueryArrowDoc, query_params, "pa.Table",
                               cache_query_query_arrow)},
        {"execute_sql", method("CacheQuery.execute_sql", text::kExecuteSqlDoc,
                               {"self", {"connection", conn}, {"sql", "str"},
                                {"params", kParamsAnnotation, nb::none()}},
                               "pd.DataFrame", cache_query_execute_sql)},
        {"get_table_info", method("CacheQuery.get_table_info", text::kGetTableInfoDoc,
                                  {"self", {"connection", conn}, {"table", "str"}}, "dict",
                                  cache_query_get_table_info)},
    });
    m.attr("CacheQuery") = cls;
}

}  // namespace brindle::lookout
