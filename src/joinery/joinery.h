// The table utilities module: shared declarations of its translation units.
//
// Every function runs its statements on the connection the caller passes,
// exactly as that object's execute() takes them: no cursor, no lock, no
// logging, and whatever the connection raises reaches the caller unchanged.
// Nothing is left open on it: every result read is read to its end.
#pragma once

#include "duck/duckdb.h"
#include "interop/interop.h"

#include <string>
#include <string_view>

namespace brindle::joinery {

using namespace brindle::interop;

inline constexpr const char *kModule = "brindle.joinery";

// Runs one statement on the connection and returns what execute() returns.
inline nb::object run(nb::handle connection, const std::string &sql) {
    return duck::execute(connection, sql);
}

// Adds the module-level function `name` to the module.
inline void add_function(nb::module_ &m, const char *name, const char *doc,
                         std::initializer_list<Param> params, const char *returns, Impl impl) {
    m.attr(name) = FunctionMaker(kModule)(name, doc, params, returns, impl);
}

// Adds the functions that create, fill, change and drop tables.
void init_tables(nb::module_ &m);
// Adds the functions that read a table's schema and summary.
void init_inspection(nb::module_ &m);

}  // namespace brindle::joinery
