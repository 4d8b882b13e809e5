// The one SELECT a query of a cached table runs.
#include "duck/select.h"

namespace brindle::interop::sql::detail {

std::string column_list(nb::handle columns) {
    if (absent(columns) || PyList_GET_SIZE(columns.ptr()) == 0)
        return kAllColumns;
    nb::object joined = checked(PyUnicode_Join(make_str(kColumnSeparator).ptr(), columns.ptr()));
    return std::string(str_view(joined));
}

}  // namespace brindle::interop::sql::detail

namespace brindle::interop::sql {

std::string select_statement(nb::handle table, nb::handle sql_where, nb::handle columns,
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
