// Which table names the cache accepts: names it can splice into SQL bare and
// that DuckDB reads back as the same table.
//
// A name is ASCII letters, digits and underscores, not starting with a digit
// (Python's str.isidentifier() also admits other scripts' letters, which the
// documented rule does not), not one of DuckDB's reserved keywords (a bare
// `select`, `order` or `join` can never be parsed as a table name), and not
// the name of one of DuckDB's own catalog views (`duckdb_tables`, `pg_class`,
// `sqlite_master`, ...): a CREATE shadows them, but the DROP that every store
// and invalidation runs fails with "Cannot drop internal catalog entry". Names of
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

// DuckDB's own views that an unqualified name reaches: those of the schemas
// on the search path (main and pg_catalog; information_schema is not on it,
// so `tables` or `columns` stay free). Read from DuckDB itself, so a release
// that adds one refuses it too.
constexpr const char *kInternalCatalogNames =
    "SELECT DISTINCT view_name FROM duckdb_views() "
    "WHERE internal AND list_contains(current_schemas(true), schema_name)";

bool is_ascii_identifier(std::string_view name);

namespace detail {

using Keywords = std::unordered_set<std::string>;

// The words a table name may not be, in lower case.
struct Refused {
    Keywords reserved;  // kReservedKeywords
    Keywords internal;  // kInternalCatalogNames
};

// Read once per module, from a private in-memory database (never the
// caller's connection, nor duckdb's default one). Guarded by the GIL: DuckDB
// may release it while the lists are read, so a thread that finds them
// missing reads its own and the first to finish keeps them (never a static
// initialiser, which would hold other threads waiting with the GIL taken).
inline const Refused *g_refused = nullptr;

inline void read_words(nb::handle connection, const char *sql, Keywords &into) {
    static const Name kExecute{"execute"};
    static const Name kFetchall{"fetchall"};
    nb::object rows = call_method(call_method(connection, kExecute, make_str(sql)), kFetchall);
    for (nb::handle row : rows)
        into.insert(ascii_lower(to_text(nb::object(row[0]))));
}

inline const Refused *read_refused() {
    static const Name kConnect{"connect"};
    static const Name kClose{"close"};
    nb::object connection = call_method(import("duckdb"), kConnect);
    auto *refused = new Refused;
    try {
        read_words(connection, kReservedKeywords, refused->reserved);
        read_words(connection, kInternalCatalogNames, refused->internal);
    } catch (nb::python_error &) {
        delete refused;
        PyObject *r = call_method_raw(connection.ptr(), kClose);
        Py_XDECREF(r);
        PyErr_Clear();
        throw;
    }
    call_method(connection, kClose);
    return refused;
}

}  // namespace detail

// DuckDB's reserved keywords and own catalog names, in lower case; null when
// they cannot be read (duckdb missing), and then no name is refused for
// being one.
inline const detail::Refused *refused_words() {
    if (detail::g_refused)
        return detail::g_refused;
    const detail::Refused *read = nullptr;
    try {
        read = detail::read_refused();
    } catch (nb::python_error &e) {
        if (!e.matches(PyExc_Exception))
            throw;
        return nullptr;
    }
    if (detail::g_refused)
        delete read;  // another thread finished first
    else
        detail::g_refused = read;  // kept for the life of the process
    return detail::g_refused;
}

bool is_reserved_keyword(std::string_view name);

// One of DuckDB's own catalog views, which a store could never replace.
bool is_internal_catalog_name(std::string_view name);

// The statement that describes a table: "DESCRIBE {table}", except for the
// names DuckDB reads after DESCRIBE as SHOW commands (`DESCRIBE tables` lists
// the tables, `DESCRIBE schemas` the schemas, quoted or not): those are
// described through a SELECT of the table, which always names the table.
constexpr const char *kDescribe = "DESCRIBE {table}";
constexpr const char *kDescribeSelect = "DESCRIBE SELECT * FROM {table}";
std::string describe_statement(std::string_view table);

}  // namespace brindle::interop::names
