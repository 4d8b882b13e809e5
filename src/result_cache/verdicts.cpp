// Which answers may be kept, and what execute_sql() texts may have changed,
// decided from DuckDB's own parse and bound plan rather than from the text.
//
// An answer may be kept when the statement is one SELECT (of any shape:
// joins, subqueries, WITH, set operations, windows, QUALIFY, LIMIT) that
// reads only tables of its own catalog, and calls only functions DuckDB
// lists as CONSISTENT in the overloads it binds: now() and current_date
// change between two runs, random() within one, a macro, a table function, a
// file or a setting could be anything.
#include "result_cache.h"
#include "texts.h"

#include <algorithm>

namespace brindle::result_cache {
namespace {

const Name kLoads{"loads"};
const Name kExtractStatements{"extract_statements"};
const Name kType{"type"};
const Name kName{"name"};

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

bool failed(PyObject *serialized) {
    PyObject *error = field(serialized, "error");
    return !absent_or_none(error) && PyObject_IsTrue(error) == 1;
}

// The parse, for what binding hides: DuckDB folds some calls into constants
// while it binds (getvariable()) and expands macros, so the names the text
// calls are judged as written. Everything else is left to the plan.
class ParseCheck {
public:
    explicit ParseCheck(const FunctionStabilities &functions) : functions_(functions) {}

    std::string run(PyObject *parsed, std::vector<std::string> &bare_names) {
        std::string reason = check(parsed);
        bare_names = std::move(bare_names_);
        return reason;
    }

private:
    std::string check(PyObject *parsed) {
        PyObject *statements = field(parsed, "statements");
        if (failed(parsed))
            return "DuckDB does not read it as a SELECT";
        if (!statements || !PyList_Check(statements) || PyList_GET_SIZE(statements) != 1)
            return "it is not one statement";
        walk(PyList_GET_ITEM(statements, 0));
        return reason_;
    }

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
        if (is_text(field(value, "class"), "FUNCTION"))
            function(value);
        else if (is_text(field(value, "class"), "COLUMN_REF"))
            column(value);
        if (!absent_or_none(field(value, "sample")))
            reason_ = "it samples rows";
        if (!absent_or_none(field(value, "at_clause")))
            reason_ = "it reads a table at a point in time";
        Py_ssize_t pos = 0;
        PyObject *key, *item;
        while (PyDict_Next(value, &pos, &key, &item))
            walk(item);
    }

    void function(PyObject *node) {
        std::string name = ascii_lower(text_of(field(node, "function_name")));
        if (!is_text(field(node, "schema"), "") || !is_text(field(node, "catalog"), ""))
            reason_ = "it calls " + name + " of a named schema";
        else if (auto f = functions_.find(name); f == functions_.end())
            reason_ = "it calls " + name + ", which DuckDB does not list as a function";
        else if (!f->second && !has_consistent_overload(name))
            reason_ = "it calls " + name + ", which has no CONSISTENT overload";
    }

    // DuckDB reads a bare name that is no column as a function where it can
    // (current_date), and binding folds that into a constant: such a name
    // must be a column of a table read, which the caller checks.
    void column(PyObject *node) {
        PyObject *names = field(node, "column_names");
        if (!names || !PyList_Check(names) || PyList_GET_SIZE(names) != 1)
            return;
        std::string name = ascii_lower(text_of(PyList_GET_ITEM(names, 0)));
        auto f = functions_.find(name);
        if (f != functions_.end() && !f->second)
            bare_names_.push_back(std::move(name));
    }

    // The plan tells which overload a call binds; a function with none that
    // is CONSISTENT is refused here, as binding may have folded it away.
    bool has_consistent_overload(const std::string &name) const {
        auto overloads = functions_.mixed.find(name);
        if (overloads == functions_.mixed.end())
            return false;
        return std::any_of(overloads->second.begin(), overloads->second.end(),
                           [](const FunctionStabilities::Overload &o) { return o.consistent; });
    }

    const FunctionStabilities &functions_;
    std::string reason_;
    std::vector<std::string> bare_names_;
};

// Operators of a bound plan that compute from their inputs alone. A
// LOGICAL_GET is looked at more closely; anything else (a sample, a write,
// an operator this list does not know) is not kept.
constexpr const char *kPlainOperators[] = {
    "LOGICAL_PROJECTION",    "LOGICAL_FILTER",        "LOGICAL_AGGREGATE_AND_GROUP_BY",
    "LOGICAL_WINDOW",        "LOGICAL_UNNEST",        "LOGICAL_LIMIT",
    "LOGICAL_ORDER_BY",      "LOGICAL_TOP_N",         "LOGICAL_DISTINCT",
    "LOGICAL_DELIM_GET",     "LOGICAL_EXPRESSION_GET", "LOGICAL_DUMMY_SCAN",
    "LOGICAL_EMPTY_RESULT",  "LOGICAL_CTE_REF",       "LOGICAL_ANY_JOIN",
    "LOGICAL_COMPARISON_JOIN", "LOGICAL_DELIM_JOIN",  "LOGICAL_CROSS_PRODUCT",
    "LOGICAL_POSITIONAL_JOIN", "LOGICAL_ASOF_JOIN",   "LOGICAL_DEPENDENT_JOIN",
    "LOGICAL_UNION",         "LOGICAL_EXCEPT",        "LOGICAL_INTERSECT",
    "LOGICAL_RECURSIVE_CTE", "LOGICAL_MATERIALIZED_CTE", "LOGICAL_PIVOT",
};

// Bound expressions that compute from their inputs alone; calls (functions,
// aggregates, windows) are looked at more closely.
constexpr const char *kPlainExpressions[] = {
    "BOUND_CASE",     "BOUND_CONJUNCTION", "BOUND_CONSTANT",  "BOUND_OPERATOR", "BOUND_REF",
    "BOUND_COLUMN_REF", "BOUND_BETWEEN",   "BOUND_CAST",      "BOUND_COMPARISON", "BOUND_PARAMETER",
    "BOUND_LAMBDA",   "BOUND_LAMBDA_REF",  "BOUND_UNNEST",
};

template <std::size_t N>
bool listed(const char *const (&list)[N], const std::string &name) {
    return std::any_of(std::begin(list), std::end(list), [&](const char *entry) { return name == entry; });
}

// Walks DuckDB's bound plan: every table it reads must be a table of the
// statement's own catalog, and every call must bind a CONSISTENT function.
class PlanCheck {
public:
    PlanCheck(const FunctionStabilities &functions, std::string catalog)
        : functions_(functions), catalog_(std::move(catalog)) {}

    std::string run(PyObject *plan, std::vector<std::string> &tables) {
        if (failed(plan))
            return "DuckDB could not bind it";
        PyObject *plans = field(plan, "plans");
        if (!plans || !PyList_Check(plans) || PyList_GET_SIZE(plans) != 1)
            return "it is not one statement";
        walk(plans);
        if (reason_.empty() && tables_.empty())
            reason_ = "it reads no table";
        tables = std::move(tables_);
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
        if (PyObject *cls = field(value, "expression_class"))
            expression(value, text_of(cls));
        else if (PyObject *type = field(value, "type"); type && text_of(type).rfind("LOGICAL_", 0) == 0)
            node(value, text_of(type));
        Py_ssize_t pos = 0;
        PyObject *key, *item;
        while (PyDict_Next(value, &pos, &key, &item))
            walk(item);
    }

    void node(PyObject *value, const std::string &type) {
        if (type == "LOGICAL_GET")
            scan(value);
        else if (!listed(kPlainOperators, type))
            reason_ = "its plan has a " + type;
    }

    // A scan of a table of the statement's catalog, in its main schema, as
    // it is now; table functions, files and other catalogs are not.
    void scan(PyObject *get) {
        PyObject *data = field(get, "function_data");
        if (!is_qname(get, {"seq_scan"}) || !data || !is_text(field(data, "catalog"), catalog_) ||
            !is_text(field(data, "schema"), "main") || !absent_or_none(field(get, "at_clause"))) {
            reason_ = "it reads something other than tables of its database";
            return;
        }
        std::string table = text_of(field(data, "table"));
        if (std::find(tables_.begin(), tables_.end(), table) == tables_.end())
            tables_.push_back(std::move(table));
    }

    static bool is_qname(PyObject *node, std::initializer_list<const char *> expected) {
        PyObject *qname = field(node, "qname");
        PyObject *path = qname ? field(qname, "path") : nullptr;
        if (!path || !PyList_Check(path) || PyList_GET_SIZE(path) != static_cast<Py_ssize_t>(expected.size()))
            return false;
        Py_ssize_t i = 0;
        for (const char *part : expected)
            if (!is_text(PyList_GET_ITEM(path, i++), part))
                return false;
        return true;
    }

    void expression(PyObject *node, const std::string &cls) {
        if (cls == "BOUND_FUNCTION" || cls == "BOUND_AGGREGATE" || cls == "BOUND_WINDOW")
            call(node, cls);
        else if (!listed(kPlainExpressions, cls))
            reason_ = "it uses a " + cls + " expression";
    }

    void call(PyObject *node, const std::string &cls) {
        PyObject *qname = field(node, "qname");
        PyObject *path = qname ? field(qname, "path") : nullptr;
        std::string type = text_of(field(node, "type"));
        if (!path || !PyList_Check(path) || PyList_GET_SIZE(path) == 0) {
            // row_number(), rank(), lag() and the like: computed from the rows alone.
            if (cls != "BOUND_WINDOW" || type.rfind("WINDOW_", 0) != 0)
                reason_ = "it makes a call DuckDB does not name";
            return;
        }
        Py_ssize_t parts = PyList_GET_SIZE(path);
        std::string name = ascii_lower(text_of(PyList_GET_ITEM(path, parts - 1)));
        if (parts == 1) {
            // Comparisons and casts, which DuckDB binds by itself.
            if (type.rfind("COMPARE_", 0) == 0 || type == "OPERATOR_CAST")
                return;
        } else if (parts != 3 || !is_text(PyList_GET_ITEM(path, 0), "system") ||
                   !is_text(PyList_GET_ITEM(path, 1), "main")) {
            reason_ = "it calls " + name + " of a named catalog or schema";
            return;
        }
        auto f = functions_.find(name);
        if (f == functions_.end()) {
            reason_ = "it calls " + name + ", which DuckDB does not list as a function";
            return;
        }
        if (f->second)
            return;
        auto overloads = functions_.mixed.find(name);
        if (overloads == functions_.mixed.end()) {
            reason_ = "it calls " + name + ", which is not CONSISTENT in every overload";
            return;
        }
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
    std::string catalog_;
    std::vector<std::string> tables_;
    std::string reason_;
};

// DuckDB's serialization of `sql` by `statement` (parse or bound plan), as Python objects.
nb::object serialized(nb::handle cursor, const char *statement, nb::handle sql) {
    nb::object row = duck::fetch_first(duck::execute(cursor, statement, nb::make_tuple(sql)));
    return call_method(import("json"), kLoads, nb::object(row[0]));
}

}  // namespace

Verdict judge(nb::handle cursor, nb::handle sql, const FunctionStabilities &functions) {
    Verdict verdict;
    verdict.reason =
        ParseCheck(functions).run(serialized(cursor, text::kSerializeStatement, sql).ptr(), verdict.bare_names);
    if (verdict.reason.empty()) {
        nb::object catalog = duck::fetch_first(duck::execute(cursor, std::string(text::kCurrentCatalog)))[0];
        verdict.reason = PlanCheck(functions, text_of(catalog.ptr()))
                             .run(serialized(cursor, text::kSerializePlan, sql).ptr(), verdict.tables);
    }
    verdict.cacheable = verdict.reason.empty();
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
