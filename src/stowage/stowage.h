// The table store module: shared declarations of its translation units.
#pragma once

#include "interop/duckdb.h"
#include "interop/interop.h"

namespace brindle::stowage {

using namespace brindle::interop;

// The frame as DuckDB should read it: columns of decimal.Decimal objects
// typed from every value (see decimal_columns.cpp); the frame itself when it
// has none.
nb::object with_exact_decimals(nb::handle df);

// Adds the CacheStore class to the module.
void init_cache_store(nb::module_ &m);

}  // namespace brindle::stowage
