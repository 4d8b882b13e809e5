// Table names that differ only in case.
//
// DuckDB reads identifiers case-insensitively: `t` and `T` are one table of a
// database, while the registry and the result cache would hold two entries
// for them. The manager keeps them in agreement by refusing to store a name
// that differs only in case from a table cached in the same database, and by
// invalidating a cached table under any spelling of its name.
#include "quaymaster.h"
#include "texts.h"

namespace brindle::quaymaster {

// The registry's names of the database other than `table` that DuckDB
// would read as `table`. Called on the first store of every name, so it
// compares in place: no copy of the names, and only names of its length.
nb::object other_spelling(nb::handle self, nb::handle database, nb::handle table) {
    nb::object entries = call_method(attr(self, kTtlRegistry), kGetAllEntries);
    nb::object tables = find_item(entries, database);
    if (!tables.is_valid())
        return nb::object();
    std::string_view wanted = str_view(table);
    Py_ssize_t length = PyUnicode_GET_LENGTH(table.ptr());
    for (nb::handle name : tables) {
        if (PyUnicode_Check(name.ptr()) && PyUnicode_GET_LENGTH(name.ptr()) == length && !equal(name, table) &&
            equal_ignoring_ascii_case(str_view(name), wanted))
            return nb::borrow(name);
    }
    return nb::object();
}

void refuse_case_collision(nb::handle self, nb::handle database, nb::handle table) {
    // A name already registered as spelt had its own check when it was
    // first stored, so no other spelling can be there beside it; a re-store
    // then costs no pass over every table of the database.
    if (truth(call_method(attr(self, kTtlRegistry), kExists, database, table)))
        return;
    nb::object cached = other_spelling(self, database, table);
    if (cached.is_valid())
        raise_error(kBrindleError, fill(text::kCaseCollision, {{"database", str_view(database)},
                                                                {"table", str_view(table)},
                                                                {"cached", str_view(cached)}}));
}

nb::object cached_spelling(nb::handle self, nb::handle database, nb::handle table) {
    if (truth(call_method(attr(self, kTtlRegistry), kExists, database, table)))
        return nb::borrow(table);
    nb::object cached = other_spelling(self, database, table);
    return cached.is_valid() ? cached : nb::borrow(table);
}

}  // namespace brindle::quaymaster
