// The one SELECT a query of a cached table runs.
#include "duck/select.h"
#include "duck/statements.h"
#include "interop/errors.h"
#include "interop/logging.h"

namespace brindle::interop::sql {
namespace {

const Name kBrindleError{"BrindleError"};
const Name kCatalogException{"CatalogException"};

bool absent(nb::handle value) { return !value.is_valid() || is_none(value); }

// The entries joined with ", "; str.join does the joining, so a non-str
// entry fails as it would in Python (TypeError).
std::string column_list(nb::handle columns) {
    if (absent(columns) || PyList_GET_SIZE(columns.ptr()) == 0)
        return kAllColumns;
    nb::object joined = checked(PyUnicode_Join(make_str(kColumnSeparator).ptr(), columns.ptr()));
    return std::string(str_view(joined));
}


// At most `limit` rows, or no bound when the query has none (or a negative
// one, which DuckDB refuses anyway).
std::size_t row_bound(nb::handle limit) {
    if (absent(limit))
        return SIZE_MAX;
    long long n = PyLong_AsLongLong(limit.ptr());
    if (n == -1 && PyErr_Occurred()) {
        PyErr_Clear();
        return SIZE_MAX;
    }
    return n < 0 ? SIZE_MAX : static_cast<std::size_t>(n);
}

// execute(sql), or execute(sql, params) when values are to be bound.
nb::object run(nb::handle target, nb::handle sql, nb::handle params) {
    if (absent(params))
        return duck::execute(target, sql);
    return call_method(target, duck::kExecute, sql, params);
}

// The rows of a result: a DataFrame (told the LIMIT, when there is one) or a
// pyarrow Table. A text of no statement at all leaves DuckDB no result to
// give (execute() answers None).
nb::object rows_of(nb::handle errors, nb::handle result, const SelectPlan &plan, bool arrow) {
    if (is_none(result))
        raise_plain(attr(errors, kBrindleError), kNoStatement);
    return arrow ? duck::to_arrow_table(result) : duck::to_frame(result, row_bound(plan.limit), plan.text);
}

}  // namespace

bool holds_semicolon(nb::handle text) {
    if (absent(text) || !PyUnicode_Check(text.ptr()))
        return false;
    Py_ssize_t at = PyUnicode_FindChar(text.ptr(), ';', 0, PyUnicode_GET_LENGTH(text.ptr()), 1);
    if (at == -2)
        throw_pending();
    return at >= 0;
}

bool any_holds_semicolon(nb::handle texts) {
    if (absent(texts) || !PyList_Check(texts.ptr()))
        return false;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(texts.ptr()); ++i)
        if (holds_semicolon(PyList_GET_ITEM(texts.ptr(), i)))
            return true;
    return false;
}

std::string select_statement(nb::handle table, nb::handle sql_where, nb::handle columns, nb::handle limit) {
    std::string where_clause, limit_clause;
    if (!absent(sql_where) && PyUnicode_GET_LENGTH(sql_where.ptr()) > 0)
        where_clause = std::string(kWherePrefix).append(str_view(sql_where));
    if (!absent(limit) && truth(limit))
        limit_clause = std::string(kLimitPrefix).append(to_text(limit));
    return fill(kSelect, {{"column_list", column_list(columns)},
                          {"table", str_view(table)},
                          {"where_clause", where_clause},
                          {"limit_clause", limit_clause}});
}

SelectPlan plan_select(nb::handle errors, nb::handle table, nb::handle sql_where, nb::handle columns,
                       nb::handle limit, nb::handle params) {
    SelectPlan plan{table, sql_where, columns, absent(limit) ? nb::none() : nb::borrow(limit), params};
    plan.statement = select_statement(table, sql_where, columns, plan.limit);
    duck::require_plain_identifier(table, attr(errors, kBrindleError));
    plan.text = make_str(plan.statement);
    plan.may_hold_statements = holds_semicolon(sql_where) || any_holds_semicolon(columns);
    return plan;
}

nb::object run_select(nb::handle errors, nb::handle logger, nb::handle connection, const SelectPlan &plan,
                      bool arrow) {
    nb::handle table = plan.table;
    return classified(errors, connection, table, kQueryFailed, [&] {
        log(logger, Level::Debug, [&] { return kExecuting + plan.statement; });
        nb::object duckdb = duck::loaded_module();
        auto read = [&](nb::handle cursor) {
            // A WHERE text or column entry carrying a statement of its own
            // after a ';' is refused before anything runs.
            if (plan.may_hold_statements && !is_none(duckdb) && duck::is_connection(duckdb, cursor) &&
                holds_several_statements(cursor, plan.text))
                raise_plain(attr(errors, kBrindleError), fill(kSeveralStatements, {{"table", str_view(table)}}));
            return rows_of(errors, run(cursor, plan.text, plan.params), plan, arrow);
        };
        nb::object rows = is_none(duckdb) ? read(connection)
                                          : duck::with_read_cursor(duck::read_cursors(), duckdb, connection, read);
        log(logger, Level::Info, [&] {
            return fill(kQueryReturned, {{"rows", length_text(rows)}, {"table", str_view(table)}});
        });
        return rows;
    });
}

bool table_absent(nb::handle connection, nb::handle table) {
    return guarded(
        [&] {
            nb::object row = duck::with_cursor(duck::loaded_module(), connection, [&](nb::handle c) {
                return duck::fetch_first(duck::execute(c, kTableCount, nb::make_tuple(table)));
            });
            return !is_none(row) && !truth(nb::object(row[0]));
        },
        [](nb::python_error &) { return false; });
}

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

void raise_failed(nb::handle errors, const nb::python_error &e, nb::handle table, const char *other_template) {
    raise_from(attr(errors, kBrindleError), fill(other_template, {{"table", str_view(table)}, {"error", error_text(e)}}),
               e);
}

}  // namespace brindle::interop::sql
