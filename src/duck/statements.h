// Splitting SQL text into statements, as DuckDB's own parser does.
#pragma once

#include "interop/core.h"

#include <cstddef>
#include <functional>
#include <string_view>

namespace brindle::interop::sql {

// Whether DuckDB's parser (cursor.extract_statements) reads `sql` as more
// than one statement. A text without a ';' is one statement at most and is
// not parsed; a ';' inside a string literal or a quoted name splits nothing.
// A text DuckDB cannot parse raises its ParserException.
bool holds_several_statements(nb::handle cursor, nb::handle sql);

// Whether running `sql` leaves nothing behind on the cursor it ran on, so
// that a cursor kept for reads may run it: DuckDB's parser reads it as one
// or more SELECTs (SET, USE, BEGIN, CREATE TEMP, PRAGMA, CALL and the like
// each change the session), and it does not reseed the session's random
// numbers (setseed() is named nowhere in it, even in a string: a false
// alarm costs a fresh cursor, nothing more). A text DuckDB cannot parse, or
// one without a UTF-8 form, is not known to be safe. `cursor()` gives a
// cursor to parse on; it is called only when the text's verdict is not
// remembered from an earlier call. Called with the GIL held.
bool leaves_no_session_state(nb::handle sql, const std::function<nb::object()> &cursor);

// What a run of free SQL logs and raises (the query layer's words).
constexpr const char *kExecutingRaw = "Executing raw SQL: {sql_prefix}...";
constexpr const char *kRawReturned = "Raw SQL query returned {rows} rows";
constexpr std::size_t kSqlPrefixLength = 100;
constexpr const char *kRawFailed = "Raw SQL execution failed: {error}";

// Runs free SQL (with `params` bound, when valid) on `connection` as the
// query layer does, logging through `logger`: on the thread's read cursor
// when it leaves nothing behind there, on a private cursor otherwise; the
// object itself when it is no DuckDB connection. Returns a DataFrame; any
// failure becomes the BrindleError of the module `errors`, chained.
nb::object run_free_sql(nb::handle errors, nb::handle logger, nb::handle connection, nb::handle sql,
                        nb::handle params);

}  // namespace brindle::interop::sql
