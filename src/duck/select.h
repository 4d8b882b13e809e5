// The one SELECT a query of a cached table runs: built here for the query
// layer that runs it and for the result cache that judges it, so that the
// cache always judges the very text DuckDB is given.
#pragma once

#include "interop/core.h"
#include "interop/text.h"

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
std::string column_list(nb::handle columns);

}  // namespace detail

// "SELECT {column_list} FROM {table} {where_clause} {limit_clause}": every
// column with no (or an empty) column list, no WHERE for no (or an empty)
// text, no LIMIT for a limit of None or 0. `columns` is a list or absent,
// `sql_where` a str or absent, `limit` an int or absent.
std::string select_statement(nb::handle table, nb::handle sql_where, nb::handle columns,
                                    nb::handle limit);

}  // namespace brindle::interop::sql
