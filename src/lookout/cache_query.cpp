// CacheQuery: builds and runs SELECT statements and free SQL on a connection.
#include "interop/select.h"
#include "lookout.h"
#include "texts.h"

namespace brindle::lookout {
namespace {

const Name kBrindleNotFoundError{"BrindleNotFoundError"};

duck::ReadCursors &read_cursors() {
    static duck::ReadCursors cursors;
    return cursors;
}

// Reads on a real DuckDB connection run on a cursor of it, so that each read
// gets its own pending result and reads run in parallel. Built statements
// (SELECT, COUNT, DESCRIBE) leave no session state and reuse the thread's
// cursor; free SQL may (SET, temporary tables, transactions) and gets a
// private cursor that is closed afterwards. The duckdb module is taken from
// sys.modules: a real connection implies it is loaded. Other objects are
// driven as they are.
template <typename Fn>
nb::object on_read_cursor(nb::handle connection, Fn &&fn) {
    nb::object duckdb = duck::loaded_module();
    if (is_none(duckdb))
        return fn(connection);
    return duck::with_read_cursor(read_cursors(), duckdb, connection, std::forward<Fn>(fn));
}

template <typename Fn>
nb::object on_private_cursor(nb::handle connection, Fn &&fn) {
    nb::object duckdb = duck::loaded_module();
    if (is_none(duckdb))
        return fn(connection);
    return duck::with_cursor(duckdb, connection, std::forward<Fn>(fn));
}

// A failure whose text mentions a missing object is reported as a missing table.
bool mentions_missing(const std::string &error) {
    std::string lower = ascii_lower(error);
    for (const char *marker : text::kMissingMarkers)
        if (lower.find(marker) != std::string::npos)
            return true;
    return false;
}

[[noreturn]] void raise_classified(const nb::python_error &e, std::string_view table,
                                   const char *other_template) {
    std::string error = error_text(e);
    if (mentions_missing(error))
        raise_from(this_module().get(kBrindleNotFoundError), fill(text::kNotFound, {{"table", table}}), e);
    raise_from(this_module().get(kBrindleError), fill(other_template, {{"table", table}, {"error", error}}), e);
}

// execute(sql), or execute(sql, params) when values are to be bound.
nb::object run(nb::handle target, nb::handle sql, nb::handle params) {
    if (!params.is_valid())
        return duck::execute(target, sql);
    return call_method(target, duck::kExecute, sql, params);
}

nb::object cache_query_query(const Args &a) {
    nb::handle self = a[0], connection = a[1], table = a.str(2);
    nb::handle sql_where = a.optional_str(3), columns = a.optional_list(4);
    nb::object limit = a.optional_integer(5);
    nb::handle params = a.optional_params(6);
    std::string statement = sql::select_statement(table, sql_where, columns, limit);
    duck::require_plain_identifier(table);
    nb::object logger = logger_of(self);
    return guarded(
        [&] {
            log(logger, Level::Debug, [&] { return text::kExecuting + statement; });
            nb::str sql = make_str(statement);
            nb::object frame = on_read_cursor(connection, [&](nb::handle c) {
                return duck::to_frame(run(c, sql, params));
            });
            log(logger, Level::Info, [&] {
                return fill(text::kQueryReturned, {{"rows", length_text(frame)}, {"table", str_view(table)}});
            });
            return frame;
        },
        [&](nb::python_error &e) -> nb::object { raise_classified(e, str_view(table), text::kQueryFailed); });
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
            nb::object frame = on_private_cursor(connection, [&](nb::handle c) {
                return duck::to_frame(run(c, sql, params));
            });
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
    return guarded(
        [&] {
            return on_read_cursor(connection, [&](nb::handle c) { return describe(c, str_view(table)); });
        },
        [&](nb::python_error &e) -> nb::object { raise_classified(e, str_view(table), text::kInfoFailed); });
}

}  // namespace

void init_cache_query(nb::module_ &m) {
    read_cursors().init();
    const char *mod = "brindle.lookout";
    const FunctionMaker method(mod);
    const char *conn = duck::kConnectionAnnotation;
    nb::object cls = make_class(mod, "CacheQuery", text::kClassDoc, {
        {"__init__", method("CacheQuery.__init__", text::kInitDoc, {"self"}, nullptr, init_with_module_logger)},
        {"query", method("CacheQuery.query", text::kQueryDoc,
                         {"self", {"connection", conn}, {"table", "str"},
                          {"sql_where", "Optional[str]", nb::none()},
                          {"columns", "Optional[List[str]]", nb::none()},
                          {"limit", "Optional[int]", nb::none()},
                          keyword_only({"params", kParamsAnnotation, nb::none()})},
                         "pd.DataFrame", cache_query_query)},
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
