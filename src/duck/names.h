// Which table names the cache accepts: names it can splice into SQL bare and
// that DuckDB reads back as the same table.
//
// A name is ASCII letters, digits and underscores, not starting with a digit
// (Python's str.isidentifier() also admits other scripts' letters, which the
// documented rule does not), and not one of DuckDB's reserved keywords (a
// bare `select`, `order` or `join` can never be parsed as a table name). Names of
// temporary objects the cache makes use a character outside this set, so
// they can never collide with an accepted name.
#pragma once

#include "interop/core.h"
#include "interop/text.h"

#include <string>
#include <unordered_set>

namespace brindle::interop::names {

// Reserved keywords, and those that may name a type or function but not a
// table (`at`, `join`, `left`): bare, DuckDB parses neither as a table name.
constexpr const char *kReservedKeywords =
    "SELECT keyword_name FROM duckdb_keywords() WHERE keyword_category IN ('reserved', 'type_function')";

bool is_ascii_identifier(std::string_view name);

namespace detail {

using Keywords = std::unordered_set<std::string>;

// Read once per module, from a private in-memory database (never the
// caller's connection, nor duckdb's default one). Guarded by the GIL: DuckDB
// may release it while the list is read, so a thread that finds the list
// missing reads its own and the first to finish keeps it (never a static
// initialiser, which would hold other threads waiting with the GIL taken).
inline const Keywords *g_keywords = nullptr;

inline const Keywords *read_keywords() {
    static const Name kConnect{"connect"};
    static const Name kExecute{"execute"};
    static const Name kFetchall{"fetchall"};
    static const Name kClose{"close"};
    nb::object connection = call_method(import("duckdb"), kConnect);
    auto *keywords = new Keywords;
    try {
        nb::object rows = call_method(call_method(connection, kExecute, make_str(kReservedKeywords)), kFetchall);
        for (nb::handle row : rows)
            keywords->insert(ascii_lower(to_text(nb::object(row[0]))));
    } catch (nb::python_error &) {
        delete keywords;
        PyObject *r = call_method_raw(connection.ptr(), kClose);
        Py_XDECREF(r);
        PyErr_Clear();
        throw;
    }
    call_method(connection, kClose);
    return keywords;
}

}  // namespace detail

// DuckDB's reserved keywords in lower case; null when they cannot be read
// (duckdb missing), and then no name is refused for being one.
inline const detail::Keywords *reserved_keywords() {
    if (detail::g_keywords)
        return detail::g_keywords;
    const detail::Keywords *read = nullptr;
    try {
        read = detail::read_keywords();
    } catch (nb::python_error &e) {
        if (!e.matches(PyExc_Exception))
            throw;
        return nullptr;
    }
    if (detail::g_keywords)
        delete read;  // another thread finished first
    else
        detail::g_keywords = read;  // kept for the life of the process
    return detail::g_keywords;
}

bool is_reserved_keyword(std::string_view name);

}  // namespace brindle::interop::names
