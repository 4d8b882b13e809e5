// Splitting SQL text into statements, as DuckDB's own parser does.
#pragma once

#include "core.h"

#include <string_view>

namespace brindle::interop::sql {

// Whether DuckDB's parser (cursor.extract_statements) reads `sql` as more
// than one statement. A text without a ';' is one statement at most and is
// not parsed; a ';' inside a string literal or a quoted name splits nothing.
// A text DuckDB cannot parse raises its ParserException.
inline bool holds_several_statements(nb::handle cursor, nb::handle sql) {
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
