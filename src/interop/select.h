// The one SELECT a query of a cached table runs: built here for the query
// layer that runs it and for the result cache that judges it, so that the
// cache always judges the very text DuckDB is given.
#pragma once

#include "core.h"
#include "text.h"

#include <string>

namespace brindle::interop::sql {

// Statement pieces; the table name, the column entries and the WHERE text
// are spliced verbatim (values travel as bound parameters, never as text).
constexpr const char *kSelect = "SELECT {column_list} FROM {table} {where_clause} {limit_clause}";
constexpr const char *kAllColumns = "*";
constexpr const char *kColumnSeparator = ", ";
constexpr const char *kWherePrefix = "WHERE ";
constexpr const char *kLimitPrefix = "LIMIT ";

namespace detail {

inline bool absent(nb::handle value) { return !value.is_valid() || is_none(value); }

// The entries joined with ", "; str.join does the joining, so a non-str
// entry fails as it would in Python (TypeError).
inline std::string column_list(nb::handle columns) {
    if (absent(columns) || PyList_GET_SIZE(columns.ptr()) == 0)
        return kAllColumns;
    nb::object joined = checked(PyUnicode_Join(make_str(kColumnSeparator).ptr(), columns.ptr()));
    return std::string(str_view(joined));
}

}  // namespace detail

// "SELECT {column_list} FROM {table} {where_clause} {limit_clause}": every
// column with no (or an empty) column list, no WHERE for no (or an empty)
// text, no LIMIT for a limit of None or 0. `columns` is a list or absent,
// `sql_where` a str or absent, `limit` an int or absent.
inline std::string select_statement(nb::handle table, nb::handle sql_where, nb::handle columns,
                                    nb::handle limit) {
    std::string where_clause, limit_clause;
    if (!detail::absent(sql_where) && PyUnicode_GET_LENGTH(sql_where.ptr()) > 0)
        where_clause = std::string(kWherePrefix).append(str_view(sql_where));
    if (!detail::absent(limit) && truth(limit))
        limit_clause = std::string(kLimitPrefix).append(to_text(limit));
    return fill(kSelect, {{"column_list", detail::column_list(columns)},
                          {"table", str_view(table)},
                          {"where_clause", where_clause},
                          {"limit_clause", limit_clause}});
}

}  // namespace brindle::interop::sql
