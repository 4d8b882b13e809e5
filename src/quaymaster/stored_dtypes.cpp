// Answers of query() in the dtypes their table was stored in.
//
// Each store keeps the stored frame's dtypes that DuckDB may answer otherwise
// (interop/dtypes.h); a query answer's columns read straight from a stored
// column (SELECT *, or a column entry that only names it) get that dtype back
// where the conversion loses nothing. Computed columns keep DuckDB's type;
// execute_sql() answers are left as DuckDB gives them.
#include "state.h"


namespace brindle::quaymaster {
namespace {

// The entry names the column and nothing else: `name` or `"name"`.
bool names_only(nb::handle entry, nb::handle label) {
    if (!PyUnicode_Check(entry.ptr()))
        return false;
    std::string_view text = str_view(entry), name = str_view(label);
    if (text == name)
        return duck::is_plain_identifier(entry);
    return text.size() == name.size() + 2 && text.front() == '"' && text.back() == '"' &&
           text.substr(1, name.size()) == name && name.find('"') == std::string_view::npos;
}

// With a column list, answer column i is read straight when entry i only
// names it. Entries and answer columns pair up one to one only when there are
// as many of each (an entry such as * can stand for several); DuckDB renames
// a repeated label (a, a_1), so labels alone cannot tell.
bool read_straight(nb::handle columns, Py_ssize_t width, Py_ssize_t i, nb::handle label) {
    if (!columns.is_valid() || is_none(columns) || PyList_GET_SIZE(columns.ptr()) == 0)
        return true;
    return PyList_GET_SIZE(columns.ptr()) == width && names_only(PyList_GET_ITEM(columns.ptr(), i), label);
}

}  // namespace

std::shared_ptr<const KeptDtypes> dtypes_to_restore(nb::handle df) {
    KeptDtypes kept = dtypes_to_keep(df);
    if (kept.empty())
        return nullptr;
    return std::make_shared<const KeptDtypes>(std::move(kept));
}

void dtypes_stored(nb::handle self, nb::handle database, nb::handle table, std::shared_ptr<const KeptDtypes> kept) {
    ManagerState *state = state_of(self);
    if (!state)
        return;
    std::string key = table_key(database, table);
    std::shared_ptr<const KeptDtypes> previous;  // let go once the map is consistent
    auto it = state->kept_dtypes.find(key);
    if (it != state->kept_dtypes.end()) {
        previous = std::move(it->second);
        if (kept)
            it->second = std::move(kept);
        else
            state->kept_dtypes.erase(it);
    } else if (kept) {
        state->kept_dtypes.emplace(std::move(key), std::move(kept));
    }
}

void forget_dtypes(nb::handle self, const std::string &key_start, bool whole_database) {
    ManagerState *state = state_of(self);
    if (!state)
        return;
    std::vector<std::shared_ptr<const KeptDtypes>> released;
    for (auto it = state->kept_dtypes.begin(); it != state->kept_dtypes.end();) {
        bool matches = whole_database ? it->first.compare(0, key_start.size(), key_start) == 0 : it->first == key_start;
        if (matches) {
            released.push_back(std::move(it->second));
            it = state->kept_dtypes.erase(it);
        } else {
            ++it;
        }
    }
}

void restore_answer_dtypes(nb::handle self, nb::handle database, nb::handle table, nb::handle columns,
                           nb::handle frame) {
    ManagerState *state = state_of(self);
    if (!state || state->kept_dtypes.empty())
        return;
    auto it = state->kept_dtypes.find(table_key(database, table));
    if (it == state->kept_dtypes.end())
        return;
    std::shared_ptr<const KeptDtypes> kept = it->second;  // pandas may run a store meanwhile
    bool every_column = !columns.is_valid() || is_none(columns) || PyList_GET_SIZE(columns.ptr()) == 0;
    if (every_column) {
        restore_dtypes_in_stored_order(frame, *kept);
        return;
    }
    PyObject *labels = PyObject_GetAttrString(frame.ptr(), "columns");
    Py_ssize_t width = labels ? PyObject_Length(labels) : -1;
    Py_XDECREF(labels);
    if (width < 0) {
        PyErr_Clear();
        return;
    }
    restore_dtypes(frame, *kept, [&](Py_ssize_t i, nb::handle label) { return read_straight(columns, width, i, label); });
}

}  // namespace brindle::quaymaster
