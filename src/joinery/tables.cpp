// Creating, filling, changing and dropping tables.
#include "duck/sql.h"
#include "joinery.h"
#include "texts.h"

#include <optional>

namespace brindle::joinery {
namespace {

// What to do when the target table already exists.
enum class Mode { Replace, Append, Fail };

// Exact, case-sensitive match against the three modes.
std::optional<Mode> parse_mode(nb::handle if_exists) {
    std::string_view v = str_view(if_exists);
    if (v == text::kModeReplace)
        return Mode::Replace;
    if (v == text::kModeAppend)
        return Mode::Append;
    if (v == text::kModeFail)
        return Mode::Fail;
    return std::nullopt;
}

Mode require_mode(nb::handle if_exists, const char *message) {
    std::optional<Mode> mode = parse_mode(if_exists);
    if (!mode)
        throw_value_error(fill(message, {{"if_exists", str_view(if_exists)}}));
    return *mode;
}

// The path's text for the quotes around {file_path}. The file system ends a
// path at its first null character, so such a path would name another file
// than the caller's: it is refused, as Python's own file functions do.
std::string path_literal_body(nb::handle path) {
    std::string_view p = str_view(path);
    if (p.find('\0') != std::string_view::npos)
        throw_value_error(text::kNullInPath);
    return sql::escape_string_literal(p);
}

// The two ways of putting a source's rows into the table.
struct LoadStatements {
    std::string create;
    std::string insert;
};

bool table_exists(nb::handle connection, std::string_view table) {
    nb::object rows = duck::fetchall(run(connection, fill(text::kTableExists, {{"table_name", table}})));
    Py_ssize_t n = PyObject_Length(rows.ptr());
    if (n < 0)
        throw_pending();
    return n > 0;
}

void load_table(nb::handle connection, Mode mode, std::string_view table, const LoadStatements &s) {
    switch (mode) {
        case Mode::Replace:
            run(connection, fill(text::kDropIfExists, {{"table_name", table}}));
            run(connection, s.create);
            break;
        case Mode::Append:
            run(connection, table_exists(connection, table) ? s.insert : s.create);
            break;
        case Mode::Fail:
            run(connection, s.create);
            break;
    }
}

nb::object create_duckdb_table_from_df(const Args &a) {
    nb::handle connection = a[0], table = a.str(1), df = a[2], if_exists = a.str(3);
    Mode mode = require_mode(if_exists, text::kBadFrameMode);
    std::string_view t = str_view(table);
    LoadStatements s{fill(text::kCreateFromFrame, {{"table_name", t}}),
                     fill(text::kInsertFromFrame, {{"table_name", t}})};
    // The statements name the frame `df`; registering it makes that name mean
    // this frame, never a variable of that name in the caller's Python code.
    duck::Registration visible(connection, text::kFrameName, df);
    load_table(connection, mode, t, s);
    return nb::none();
}

nb::object import_duckdb_from_parquet(const Args &a) {
    nb::handle connection = a[0], table = a.str(1), path = a.str(2), if_exists = a.str(3);
    Mode mode = require_mode(if_exists, text::kBadParquetMode);
    std::string_view t = str_view(table);
    std::string p = path_literal_body(path);
    LoadStatements s{fill(text::kCreateFromParquet, {{"table_name", t}, {"file_path", p}}),
                     fill(text::kInsertFromParquet, {{"table_name", t}, {"file_path", p}})};
    load_table(connection, mode, t, s);
    return nb::none();
}

nb::object export_duckdb_to_parquet(const Args &a) {
    nb::handle connection = a[0], table = a.str(1), path = a.str(2);
    std::string p = path_literal_body(path);
    run(connection, fill(text::kExportParquet, {{"table_name", str_view(table)}, {"file_path", p}}));
    return nb::none();
}

nb::object create_duckdb_view(const Args &a) {
    nb::handle connection = a[0], view = a.str(1), select = a.str(2);
    bool materialized = a.flag(3), replace = a.flag(4);
    run(connection, fill(text::kCreateView, {{"replace_clause", replace ? text::kReplaceClause : ""},
                                             {"view_type", materialized ? text::kMaterializedView : text::kView},
                                             {"view_name", str_view(view)},
                                             {"select_query", str_view(select)}}));
    return nb::none();
}

nb::object optimize_duckdb_table(const Args &a) {
    nb::handle connection = a[0], table = a.str(1);
    run(connection, fill(text::kAnalyze, {{"table_name", str_view(table)}}));
    return nb::none();
}

nb::object drop_duckdb_table(const Args &a) {
    nb::handle connection = a[0], table = a.str(1);
    bool if_exists = a.flag(2);
    run(connection, fill(if_exists ? text::kDropIfExists : text::kDrop, {{"table_name", str_view(table)}}));
    return nb::none();
}

nb::object create_duckdb_index(const Args &a) {
    nb::handle connection = a[0], table = a.str(1), column = a.str(2), index = a.optional_str(3);
    std::string_view t = str_view(table), c = str_view(column);
    // A given name is used as it is, even an empty one; only None picks the default.
    std::string name = index.is_valid() ? std::string(str_view(index))
                                        : fill(text::kDefaultIndexName, {{"table_name", t}, {"column_name", c}});
    run(connection, fill(text::kCreateIndex, {{"index_name", name}, {"table_name", t}, {"column_name", c}}));
    return nb::none();
}

}  // namespace

void init_tables(nb::module_ &m) {
    nb::str replace_mode(text::kModeReplace);
    add_function(m, "create_duckdb_table_from_df", text::kCreateFromFrameDoc,
                 {"connection", {"table_name", "str"}, {"df", "pd.DataFrame"},
                  {"if_exists", "str", replace_mode}},
                 "None", create_duckdb_table_from_df);
    add_function(m, "create_duckdb_view", text::kCreateViewDoc,
                 {"connection", {"view_name", "str"}, {"select_query", "str"},
                  {"materialized", "bool", nb::bool_(false)}, {"replace", "bool", nb::bool_(true)}},
                 "None", create_duckdb_view);
    add_function(m, "optimize_duckdb_table", text::kOptimizeDoc, {"connection", {"table_name", "str"}},
                 nullptr, optimize_duckdb_table);
    add_function(m, "drop_duckdb_table", text::kDropDoc,
                 {"connection", {"table_name", "str"}, {"if_exists", "bool", nb::bool_(true)}}, nullptr,
                 drop_duckdb_table);
    add_function(m, "create_duckdb_index", text::kCreateIndexDoc,
                 {"connection", {"table_name", "str"}, {"column_name", "str"},
                  {"index_name", "Optional[str]", nb::none()}},
                 nullptr, create_duckdb_index);
    add_function(m, "export_duckdb_to_parquet", text::kExportDoc,
                 {"connection", {"table_name", "str"}, {"file_path", "str"}}, nullptr, export_duckdb_to_parquet);
    add_function(m, "import_duckdb_from_parquet", text::kImportDoc,
                 {"connection", {"table_name", "str"}, {"file_path", "str"}, {"if_exists", "str", replace_mode}},
                 nullptr, import_duckdb_from_parquet);
}

}  // namespace brindle::joinery
