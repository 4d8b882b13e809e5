// Splitting SQL text into statements, as DuckDB's own parser does.
#pragma once

#include "interop/core.h"

#include <string_view>

namespace brindle::interop::sql {

// Whether DuckDB's parser (cursor.extract_statements) reads `sql` as more
// than one statement. A text without a ';' is one statement at most and is
// not parsed; a ';' inside a string literal or a quoted name splits nothing.
// A text DuckDB cannot parse raises its ParserException.
bool holds_several_statements(nb::handle cursor, nb::handle sql);

}  // namespace brindle::interop::sql
