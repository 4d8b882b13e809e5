// Reading a table's schema and summary.
#include "duck/names.h"
#include "joinery.h"
#include "texts.h"

namespace brindle::joinery {
namespace {

const Name kGetSchema{"get_duckdb_table_schema"};
const Name kKeys{"keys"};

nb::object get_duckdb_table_schema(const Args &a) {
    nb::handle connection = a[0], table = a.str(1);
    nb::object rows = duck::fetchall(run(connection, names::describe_statement(str_view(table))));
    nb::dict schema;
    for (nb::handle row : rows)
        schema[row[0]] = row[1];
    return std::move(schema);
}

nb::object row_count(nb::handle connection, std::string_view table) {
    nb::object row = duck::fetch_first(run(connection, fill(text::kCountRows, {{"table_name", table}})));
    if (is_none(row))
        return nb::int_(0);
    return nb::object(row[0]);
}

// DuckDB's own estimate of the table's size, or None when it has none to give.
// The summary is still worth returning without it, so any failure here is dropped.
nb::object estimated_size(nb::handle connection, std::string_view table) {
    return guarded(
        [&] {
            nb::object row = duck::fetch_first(run(connection, fill(text::kEstimatedSize, {{"table_name", table}})));
            if (is_none(row))
                return nb::object(nb::none());
            return nb::object(row[0]);
        },
        [](nb::python_error &) { return nb::object(nb::none()); });
}

nb::object get_duckdb_table_info(const Args &a) {
    nb::handle connection = a[0], table = a.str(1);
    std::string_view t = str_view(table);
    nb::object count = row_count(connection, t);
    // Through the module, as a call from Python code would go.
    nb::object schema = call(this_module().get(kGetSchema), connection, table);
    nb::object columns = checked(PySequence_List(call_method(schema, kKeys).ptr()));
    nb::object size = estimated_size(connection, t);

    nb::dict info;
    info[text::kKeyTableName] = table;
    info[text::kKeyRowCount] = count;
    info[text::kKeyColumns] = columns;
    info[text::kKeyColumnTypes] = schema;
    if (!is_none(size))
        info[text::kKeyEstimatedSize] = size;
    return std::move(info);
}

}  // namespace

void init_inspection(nb::module_ &m) {
    add_function(m, "get_duckdb_table_schema", text::kGetSchemaDoc, {"connection", {"table_name", "str"}},
                 "Dict[str, str]", get_duckdb_table_schema);
    add_function(m, "get_duckdb_table_info", text::kGetInfoDoc, {"connection", {"table_name", "str"}},
                 "Dict[str, Any]", get_duckdb_table_info);
}

}  // namespace brindle::joinery
