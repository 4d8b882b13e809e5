// The one SELECT a query of a cached table runs: planned once per question
// (its text built and its pieces checked), and run on the thread's read
// cursor with the query layer's logging and errors. The query layer runs it
// for CacheQuery.query(); the manager hands the same plan to the result cache
// (which judges the very text DuckDB is given) and, when the query layer is
// brindle's own, runs it here without going through Python.
#pragma once

#include "duck/duckdb.h"
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

// What the run logs and raises (the query layer's words).
constexpr const char *kExecuting = "Executing query: ";
constexpr const char *kQueryReturned = "Query returned {rows} rows from table '{table}'";
constexpr const char *kNotFound = "Table '{table}' not found in cache";
constexpr const char *kQueryFailed = "Query failed on table '{table}': {error}";
constexpr const char *kSeveralStatements =
    "Query failed on table '{table}': the WHERE text or a column entry holds more than one statement";
constexpr const char *kNoStatement = "the SQL text holds no statement";
// Only the catalog the statement ran in counts: a table of that name in
// another catalog of the same instance is not the one the statement names.
constexpr const char *kTableCount =
    "SELECT COUNT(*) FROM duckdb_tables() WHERE database_name = current_database() "
    "AND lower(table_name) = lower(?)";

// Whether a WHERE text, or any column entry, holds a ';' (so that the text
// may hold more than one statement).
bool holds_semicolon(nb::handle text);
bool any_holds_semicolon(nb::handle texts);

// "SELECT {column_list} FROM {table} {where_clause} {limit_clause}": every
// column with no (or an empty) column list, no WHERE for no (or an empty)
// text, no LIMIT for a limit of None or 0. `columns` is a list or absent,
// `sql_where` a str or absent, `limit` an int or absent. A non-str column
// entry fails as str.join does (TypeError).
std::string select_statement(nb::handle table, nb::handle sql_where, nb::handle columns, nb::handle limit);

// One question of a table, planned once: the arguments as checked (`limit`
// converted to an int), the statement built from them, and whether a ';' in
// the WHERE text or a column entry may make it more than one statement
// (DuckDB's own split decides when it runs).
struct SelectPlan {
    nb::handle table, sql_where, columns;
    nb::object limit;  // None or an int
    nb::handle params;  // invalid or None: no values to bind
    std::string statement;
    nb::str text;
    bool may_hold_statements = false;
};

// Plans the question. The table name must be a plain identifier (BrindleError
// of `errors` otherwise); a non-str column entry raises TypeError.
SelectPlan plan_select(nb::handle errors, nb::handle table, nb::handle sql_where, nb::handle columns,
                       nb::handle limit, nb::handle params);

// Runs the plan on the thread's read cursor of `connection` (the object itself
// when it is no DuckDB connection), logging through `logger`, and returns a
// DataFrame (or with `arrow`, a pyarrow Table). Failures become errors of the
// module `errors` (its BrindleError and BrindleNotFoundError, looked up at
// call time), as the query layer raises them.
nb::object run_select(nb::handle errors, nb::handle logger, nb::handle connection, const SelectPlan &plan,
                      bool arrow = false);

// The table is really absent from the connection: checked on a cursor of its
// own after a failure. False when that cannot be told.
bool table_absent(nb::handle connection, nb::handle table);

// DuckDB said a catalog entry is missing (CatalogException). Its text is not
// looked at: a missing column or function says "not found" too.
bool is_catalog_error(const nb::python_error &e);

[[noreturn]] void raise_failed(nb::handle errors, const nb::python_error &e, nb::handle table,
                               const char *other_template);

// Runs read(); the table is reported missing only when DuckDB says an entry
// is missing and the table is indeed not there. Any other failure of the
// statement (a typo'd column, a syntax error) is the statement's, and
// reloading the table would not mend it. A missing entry while the table is
// there is either the statement's (an unknown function) or a store that
// swapped the table back in meanwhile: the read is tried once more to tell.
template <typename Read>
nb::object classified(nb::handle errors, nb::handle connection, nb::handle table, const char *other_template,
                      Read &&read) {
    static const Name kBrindleError{"BrindleError"}, kBrindleNotFoundError{"BrindleNotFoundError"};
    auto not_found = [&](const nb::python_error &e) {
        raise_from(attr(errors, kBrindleNotFoundError), fill(kNotFound, {{"table", str_view(table)}}), e);
    };
    auto passes_on = [&](const nb::python_error &e) { return e.matches(attr(errors, kBrindleError)); };
    return guarded(read, [&](nb::python_error &e) -> nb::object {
        if (passes_on(e))
            throw;
        if (!is_catalog_error(e))
            raise_failed(errors, e, table, other_template);
        if (table_absent(connection, table))
            not_found(e);
        return guarded(read, [&](nb::python_error &again) -> nb::object {
            if (passes_on(again))
                throw;
            if (is_catalog_error(again) && table_absent(connection, table))
                not_found(again);
            raise_failed(errors, again, table, other_template);
        });
    });
}

}  // namespace brindle::interop::sql
