// Splitting SQL text into statements, as DuckDB's own parser does.
#include "duck/statements.h"

namespace brindle::interop::sql {

bool holds_several_statements(nb::handle cursor, nb::handle sql) {
    static const Name kExtractStatements{"extract_statements"};
    if (str_view(sql).find(';') == std::string_view::npos)
        return false;
    nb::object statements = call_method(cursor, kExtractStatements, sql);
    Py_ssize_t count = PyObject_Length(statements.ptr());
    if (count < 0)
        throw_pending();
    return count > 1;
}

}  // namespace brindle::interop::sql
