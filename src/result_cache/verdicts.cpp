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
        if (!f->second) {
            if (!functions_.mixed.count(name))
                return refuse("it calls " + name + ", which is not CONSISTENT in every overload");
            verdict_.needs_plan = true;
        }
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

// DuckDB's serialization of `sql` by `statement` (parse or bound plan), as Python objects.
nb::object serialized(nb::handle cursor, const char *statement, nb::handle sql) {
    nb::object row = duck::fetch_first(duck::execute(cursor, statement, nb::make_tuple(sql)));
    return call_method(import("json"), kLoads, nb::object(row[0]));
}

// Walks DuckDB's bound plan: every call of a function with overloads of both
// kinds must have bound a CONSISTENT one.
class PlanCheck {
public:
    explicit PlanCheck(const FunctionStabilities &functions) : functions_(functions) {}

    std::string run(PyObject *plan) {
        if (!absent_or_none(field(plan, "error")) && PyObject_IsTrue(field(plan, "error")) == 1)
            return "DuckDB could not bind it";
        walk(plan);
        return reason_;
    }

private:
    void walk(PyObject *value) {
        if (!reason_.empty())
            return;
        if (PyList_Check(value)) {
            for (Py_ssize_t i = 0; i < PyList_GET_SIZE(value); ++i)
                walk(PyList_GET_ITEM(value, i));
            return;
        }
        if (!PyDict_Check(value))
            return;
        if (field(value, "expression_class"))
            call(value);
        Py_ssize_t pos = 0;
        PyObject *key, *item;
        while (PyDict_Next(value, &pos, &key, &item))
            walk(item);
    }

    void call(PyObject *node) {
        PyObject *qname = field(node, "qname");
        PyObject *path = qname ? field(qname, "path") : nullptr;
        if (!path || !PyList_Check(path) || PyList_GET_SIZE(path) == 0)
            return;
        std::string name = ascii_lower(text_of(PyList_GET_ITEM(path, PyList_GET_SIZE(path) - 1)));
        auto overloads = functions_.mixed.find(name);
        if (overloads == functions_.mixed.end())
            return;
        std::vector<std::string> types;
        if (PyObject *arguments = field(node, "arguments"); arguments && PyList_Check(arguments))
            for (Py_ssize_t i = 0; i < PyList_GET_SIZE(arguments); ++i)
                types.push_back(text_of(field(PyList_GET_ITEM(arguments, i), "id")));
        for (const auto &overload : overloads->second)
            if (overload.types == types) {
                if (!overload.consistent)
                    reason_ = "it calls " + name + " on a type whose overload is not CONSISTENT";
                return;
            }
        reason_ = "it calls " + name + " on types DuckDB lists no overload for";
    }

    const FunctionStabilities &functions_;
    std::string reason_;
};

// A verdict the parse left open is settled by the overloads DuckDB binds.
void settle_by_plan(nb::handle cursor, nb::handle sql, const FunctionStabilities &functions, Verdict &verdict) {
    if (!verdict.cacheable || !verdict.needs_plan)
        return;
    std::string reason = PlanCheck(functions).run(serialized(cursor, text::kSerializePlan, sql).ptr());
    if (!reason.empty()) {
        verdict.cacheable = false;
        verdict.reason = std::move(reason);
    }
}

}  // namespace

Verdict judge(nb::handle cursor, std::string_view table, const std::string &statement,
              const FunctionStabilities &functions) {
    nb::str sql = make_str(statement);
    Verdict verdict = Judge(table, functions).run(serialized(cursor, text::kSerializeStatement, sql).ptr());
    settle_by_plan(cursor, sql, functions, verdict);
    return verdict;
}

Verdict judge_report(nb::handle cursor, nb::handle sql, const FunctionStabilities &functions) {
    Verdict verdict = Judge({}, functions).run(serialized(cursor, text::kSerializeStatement, sql).ptr());
    settle_by_plan(cursor, sql, functions, verdict);
    if (verdict.cacheable && verdict.tables.empty())
        verdict = Verdict{false, {}, {}, "it reads no table"};
    return verdict;
}

FunctionStabilities read_functions(nb::handle cursor) {
    FunctionStabilities functions;
    for (nb::handle row : duck::fetchall(duck::execute(cursor, std::string(text::kFunctionStabilities))))
        functions.consistent.emplace(ascii_lower(text_of(nb::object(row[0]).ptr())), truth(nb::object(row[1])));
    for (nb::handle row : duck::fetchall(duck::execute(cursor, std::string(text::kMixedOverloads)))) {
        FunctionStabilities::Overload overload{{}, truth(nb::object(row[2]))};
        for (nb::handle type : nb::object(row[1]))
            overload.types.push_back(text_of(type.ptr()));
        functions.mixed[ascii_lower(text_of(nb::object(row[0]).ptr()))].push_back(std::move(overload));
    }
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
