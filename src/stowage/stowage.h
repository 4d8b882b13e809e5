// The table store module: shared declarations of its translation units.
#pragma once

#include "interop/duckdb.h"
#include "interop/interop.h"

namespace brindle::stowage {

namespace nb = nanobind;
using namespace brindle::interop;

inline const Name kDuckdb{"duckdb"};
inline const Name kBrindleError{"BrindleError"};
inline const Name kLogger{"logger"};

// Adds the CacheStore class to the module.
void init_cache_store(nb::module_ &m);

}  // namespace brindle::stowage
