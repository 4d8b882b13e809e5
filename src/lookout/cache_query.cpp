// CacheQuery: builds and runs SELECT statements and free SQL on a connection.
#include "duck/names.h"
#include "duck/select.h"
#include "duck/statements.h"
#include "lookout.h"
#include "texts.h"

namespace brindle::lookout {
namespace {

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

// The built SELECT, planned and run as the manager runs it.
nb::object select_rows(const Args &a, bool arrow) {
    nb::handle self = a[0], connection = a[1], table = a.str(2);
    nb::handle sql_where = a.optional_str(3), columns = a.optional_list(4);
    nb::object limit = a.optional_integer(5);
    nb::handle params = a.optional_params(6);
    nb::handle errors = this_module().module();
    sql::SelectPlan plan = sql::plan_select(errors, table, sql_where, columns, limit, params);
    return sql::run_select(errors, logger_of(self), connection, plan, arrow);
}

nb::object cache_query_query(const Args &a) { return select_rows(a, false); }

nb::object cache_query_query_arrow(const Args &a) { return select_rows(a, true); }

nb::object cache_query_execute_sql(const Args &a) {
    nb::handle self = a[0], connection = a[1], sql = a.str(2), params = a.optional_params(3);
    return sql::run_free_sql(this_module().module(), logger_of(self), connection, sql, params);
}

nb::object describe(nb::handle target, std::string_view table) {
    nb::object count_row = duck::fetch_first(duck::execute(target, fill(text::kCountRows, {{"table", table}})));
    nb::object row_count = count_row[0];
    nb::object rows = duck::fetchall(duck::execute(target, names::describe_statement(table)));
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
    return sql::classified(this_module().module(), connection, table, text::kInfoFailed, [&] {
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
