// Which answers may be kept, and what execute_sql() texts may have changed,
// decided from DuckDB's own parse rather than from the text.
//
// An answer may be kept when the statement reads the one table and nothing
// else, and calls only functions DuckDB lists as CONSISTENT in every overload:
// now() and current_date change between two runs, random() within one, a
// macro or an unknown name could be anything.
#include "result_cache.h"
#include "texts.h"


namespace brindle::result_cache {
namespace {

const Name kLoads{"loads"};
const Name kExtractStatements{"extract_statements"};
const Name kType{"type"};
const Name kName{"name"};

// Expression classes of the parse that compute from their inputs alone;
// FUNCTION and COLUMN_REF are looked at more closely. A PARAMETER is a value
// bound with the call, and bound values are part of the question.
constexpr const char *kPlainExpressions[] = {"CONSTANT", "COMPARISON", "CONJUNCTION", "OPERATOR",
                                             "CASE",     "CAST",       "BETWEEN",     "STAR",
                                             "COLLATE",  "TYPE",       "LAMBDA",      "PARAMETER"};

// d[key] for a dict from json.loads; nullptr when absent. Borrowed.
PyObject *field(PyObject *d, const char *key) { return PyDict_Check(d) ? PyDict_GetItemString(d, key) : nullptr; }

// The str's UTF-8 text; "" for anything else.
std::string text_of(PyObject *value) {
    if (!value || !PyUnicode_Check(value))
        return {};
    Py_ssize_t size = 0;
    const char *data = PyUnicode_AsUTF8AndSize(value, &size);
    if (!data) {
        PyErr_Clear();
        return {};
    }
    return std::string(data, static_cast<size_t>(size));
}

bool is_text(PyObject *value, std::string_view expected) {
    return value && PyUnicode_Check(value) && text_of(value) == expected;
}

bool absent_or_none(PyObject *value) { return !value || value == Py_None; }

class Judge {
public:
    // With no table, the statement is judged as a report: it may read any
    // unqualified tables, joined, which the verdict lists.
    Judge(std::string_view table, const FunctionStabilities &functions) : table_(table), functions_(functions) {}

    Verdict run(PyObject *parsed) {
        PyObject *statements = field(parsed, "statements");
        if (!absent_or_none(field(parsed, "error")) && PyObject_IsTrue(field(parsed, "error")) == 1)
            refuse("DuckDB does not read it as a SELECT");
        else if (!statements || !PyList_Check(statements) || PyList_GET_SIZE(statements) != 1)
            refuse("it is not one statement");
        else if (walk(PyList_GET_ITEM(statements, 0)) && select_nodes_ != 1)
            refuse("it has more than one query");
        verdict_.cacheable = verdict_.reason.empty();
        return std::move(verdict_);
    }

private:
    bool refuse(std::string reason) {
        if (verdict_.reason.empty())
            verdict_.reason = std::move(reason);
        return false;
    }

    bool walk(PyObject *value) {
        if (PyList_Check(value)) {
            for (Py_ssize_t i = 0; i < PyList_GET_SIZE(value); ++i)
                if (!walk(PyList_GET_ITEM(value, i)))
                    return false;
            return true;
        }
        if (!PyDict_Check(value))
            return true;
        if (PyObject *cls = field(value, "class"); cls && !expression(value, text_of(cls)))
            return false;
        if (PyObject *from = field(value, "from_table"); from && !query_node(value, from))
            return false;
        if (PyObject *ctes = field(value, "cte_map"); ctes && !no_ctes(ctes))
            return false;
        if (!absent_or_none(field(value, "sample")))
            return refuse("it samples rows");
        Py_ssize_t pos = 0;
        PyObject *key, *item;
        while (PyDict_Next(value, &pos, &key, &item))
            if (!walk(item))
                return false;
        return true;
    }

    bool expression(PyObject *node, const std::string &cls) {
        if (cls == "FUNCTION")
            return function(node);
        if (cls == "COLUMN_REF")
            return column(node);
        if (cls == "SUBQUERY")
            return refuse("it has a subquery");
        if (cls == "WINDOW")
            return refuse("it uses a window function");
        for (const char *plain : kPlainExpressions)
            if (cls == plain)
                return true;
        return refuse("it uses a " + cls + " expression");
    }

    bool function(PyObject *node) {
        std::string name = ascii_lower(text_of(field(node, "function_name")));
        if (!is_text(field(node, "schema"), "") || !is_text(field(node, "catalog"), ""))
            return refuse("it calls " + name + " of a named schema");
        auto f = functions_.find(name);
        if (f == functions_.end())
            return refuse("it calls " + name + ", which DuckDB does not list as a function");
        if (!f->second)
            return refuse("it calls " + name + ", which is not CONSISTENT in every overload");
        return true;
    }

    bool column(PyObject *node) {
        PyObject *names = field(node, "column_names");
        if (!names || !PyList_Check(names) || PyList_GET_SIZE(names) != 1)
            return true;  // qualified: a column of the table (or an error)
        // DuckDB reads a name as a column of the table first; only a name that
        // is none is read as a function of the clock. Checked at each use.
        std::string name = ascii_lower(text_of(PyList_GET_ITEM(names, 0)));
        // A report names its output columns (ORDER BY total): a name that no
        // function bears, or only CONSISTENT ones, means the same whether it
        // is a column or an alias.
        if (report()) {
            auto f = functions_.find(name);
            if (f == functions_.end() || f->second)
                return true;
        }
        verdict_.bare_names.push_back(std::move(name));
        return true;
    }

    bool report() const { return table_.empty(); }

    // A report's FROM: unqualified tables, joined in ordinary ways.
    bool report_source(PyObject *from) {
        PyObject *type = field(from, "type");
        if (is_text(type, "BASE_TABLE")) {
            if (!is_text(field(from, "schema_name"), "") || !is_text(field(from, "catalog_name"), "") ||
                !absent_or_none(field(from, "at_clause")))
                return refuse("it reads a table of a named schema or catalog, or at a point in time");
            verdict_.tables.push_back(text_of(field(from, "table_name")));
            return true;
        }
        if (is_text(type, "JOIN")) {
            PyObject *ref = field(from, "ref_type");
            if (!is_text(ref, "REGULAR") && !is_text(ref, "NATURAL") && !is_text(ref, "CROSS"))
                return refuse("it joins in a way other than a plain join");
            PyObject *left = field(from, "left"), *right = field(from, "right");
            return left && right && report_source(left) && report_source(right);
        }
        return refuse("it reads something other than tables");
    }

    bool query_node(PyObject *node, PyObject *from) {
        if (!is_text(field(node, "type"), "SELECT_NODE"))
            return refuse("it is not a plain SELECT");
        ++select_nodes_;
        if (report())
            return report_source(from);
        bool the_table = is_text(field(from, "type"), "BASE_TABLE") && is_text(field(from, "table_name"), table_) &&
                         is_text(field(from, "schema_name"), "") && is_text(field(from, "catalog_name"), "") &&
                         absent_or_none(field(from, "at_clause"));
        return the_table || refuse("it reads something other than the table");
    }

    bool no_ctes(PyObject *ctes) {
        PyObject *map = field(ctes, "map");
        return (map && PyList_Check(map) && PyList_GET_SIZE(map) == 0) || refuse("it has a WITH clause");
    }

    std::string_view table_;
    const FunctionStabilities &functions_;
    Verdict verdict_;
    int select_nodes_ = 0;
};

}  // namespace

Verdict judge(nb::handle cursor, std::string_view table, const std::string &statement,
              const FunctionStabilities &functions) {
    nb::object row =
        duck::fetch_first(duck::execute(cursor, text::kSerializeStatement, nb::make_tuple(make_str(statement))));
    nb::object parsed = call_method(import("json"), kLoads, nb::object(row[0]));
    return Judge(table, functions).run(parsed.ptr());
}

Verdict judge_report(nb::handle cursor, nb::handle sql, const FunctionStabilities &functions) {
    nb::object row = duck::fetch_first(duck::execute(cursor, text::kSerializeStatement, nb::make_tuple(sql)));
    nb::object parsed = call_method(import("json"), kLoads, nb::object(row[0]));
    Verdict verdict = Judge({}, functions).run(parsed.ptr());
    if (verdict.cacheable && verdict.tables.empty())
        verdict = Verdict{false, {}, {}, "it reads no table"};
    return verdict;
}

FunctionStabilities read_functions(nb::handle cursor) {
    FunctionStabilities functions;
    for (nb::handle row : duck::fetchall(duck::execute(cursor, std::string(text::kFunctionStabilities))))
        functions.emplace(ascii_lower(text_of(nb::object(row[0]).ptr())), truth(nb::object(row[1])));
    return functions;
}

SqlEffect classify_sql(nb::handle cursor, nb::handle sql) {
    SqlEffect effect = SqlEffect::Reads;
    for (nb::handle statement : call_method(cursor, kExtractStatements, sql)) {
        nb::object kind = attr(attr(statement, kType), kName);
        if (is_text(kind.ptr(), "SELECT"))
            continue;
        if (is_text(kind.ptr(), "INSERT") || is_text(kind.ptr(), "UPDATE") || is_text(kind.ptr(), "DELETE"))
            effect = SqlEffect::WritesRows;
        else
            return SqlEffect::ChangesCatalog;
    }
    return effect;
}

}  // namespace brindle::result_cache
