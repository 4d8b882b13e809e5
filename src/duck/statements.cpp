// Splitting SQL text into statements, as DuckDB's own parser does.
#include "duck/statements.h"
#include "duck/duckdb.h"
#include "duck/select.h"
#include "interop/errors.h"
#include "interop/logging.h"
#include "interop/text.h"

#include <string>
#include <unordered_map>

namespace brindle::interop::sql {
namespace {

const Name kExtractStatements{"extract_statements"};
const Name kType{"type"};
const Name kName{"name"};

// Verdicts are kept for texts up to this length, and this many at most: a
// service asks the same few texts over and over, and a text that does not
// come back costs one parse, which is what it costs without the record.
constexpr std::size_t kLongestRemembered = 4096;
constexpr std::size_t kMostRemembered = 512;

// Text -> safe. Guarded by the GIL.
std::unordered_map<std::string, bool> &verdicts() {
    static auto *kept = new std::unordered_map<std::string, bool>();  // never freed: used until exit
    return *kept;
}

bool names_setseed(std::string_view text) {
    return ascii_lower(std::string(text)).find("setseed") != std::string::npos;
}

// DuckDB's parser reads the text as at least one statement, every one a
// SELECT. A text it cannot parse is no such text.
bool parses_as_selects_only(nb::handle cursor, nb::handle sql) {
    return guarded(
        [&] {
            nb::object statements = call_method(cursor, kExtractStatements, sql);
            bool any = false;
            for (nb::handle statement : statements) {
                nb::object kind = attr(attr(statement, kType), kName);
                if (!PyUnicode_Check(kind.ptr()) || str_view(kind) != "SELECT")
                    return false;
                any = true;
            }
            return any;
        },
        [](nb::python_error &) { return false; });
}

}  // namespace

bool holds_several_statements(nb::handle cursor, nb::handle sql) {
    if (str_view(sql).find(';') == std::string_view::npos)
        return false;
    nb::object statements = call_method(cursor, kExtractStatements, sql);
    Py_ssize_t count = PyObject_Length(statements.ptr());
    if (count < 0)
        throw_pending();
    return count > 1;
}

bool leaves_no_session_state(nb::handle sql, const std::function<nb::object()> &cursor) {
    Py_ssize_t size = 0;
    const char *data = PyUnicode_AsUTF8AndSize(sql.ptr(), &size);
    if (!data) {
        PyErr_Clear();
        return false;
    }
    std::string_view text(data, static_cast<size_t>(size));
    auto &kept = verdicts();
    if (text.size() <= kLongestRemembered)
        if (auto found = kept.find(std::string(text)); found != kept.end())
            return found->second;
    bool safe = !names_setseed(text) && parses_as_selects_only(cursor(), sql);
    if (text.size() <= kLongestRemembered) {
        if (kept.size() >= kMostRemembered)
            kept.clear();
        kept.emplace(std::string(text), safe);
    }
    return safe;
}

namespace {

// Free SQL on the thread's read cursor when it leaves nothing behind there,
// on a private cursor otherwise. A fresh cursor costs more than the
// statement itself when the statement is small (its setup runs a statement
// of its own, and a new engine connection's first query is slow).
template <typename Fn>
nb::object on_cursor_for_sql(nb::handle connection, nb::handle sql, Fn &&fn) {
    nb::object duckdb = duck::loaded_module();
    if (is_none(duckdb) || !duck::is_connection(duckdb, connection))
        return fn(connection);
    if (leaves_no_session_state(sql, [&] { return duck::read_cursors().get(connection); }))
        return duck::with_read_cursor(duck::read_cursors(), duckdb, connection, std::forward<Fn>(fn));
    return duck::with_cursor(duckdb, connection, std::forward<Fn>(fn));
}

}  // namespace

nb::object run_free_sql(nb::handle errors, nb::handle logger, nb::handle connection, nb::handle sql,
                        nb::handle params) {
    static const Name kBrindleError{"BrindleError"};
    return guarded(
        [&] {
            log(logger, Level::Debug, [&] {
                nb::object prefix = checked(PyUnicode_Substring(sql.ptr(), 0, kSqlPrefixLength));
                return fill(kExecutingRaw, {{"sql_prefix", str_view(prefix)}});
            });
            nb::object frame = on_cursor_for_sql(connection, sql, [&](nb::handle c) {
                nb::object result = params.is_valid() && !is_none(params)
                                        ? call_method(c, duck::kExecute, sql, params)
                                        : duck::execute(c, sql);
                if (is_none(result))
                    raise_plain(attr(errors, kBrindleError), kNoStatement);
                return duck::to_frame(result, SIZE_MAX, sql);
            });
            log(logger, Level::Info, [&] { return fill(kRawReturned, {{"rows", length_text(frame)}}); });
            return frame;
        },
        [&](nb::python_error &e) -> nb::object {
            raise_from(attr(errors, kBrindleError), fill(kRawFailed, {{"error", error_text(e)}}), e);
        });
}

}  // namespace brindle::interop::sql
