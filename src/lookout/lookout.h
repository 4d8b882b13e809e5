// The query layer module: shared declarations of its translation units.
#pragma once

#include "interop/duckdb.h"
#include "interop/interop.h"

namespace brindle::lookout {

namespace nb = nanobind;
using namespace brindle::interop;

inline const Name kBrindleError{"BrindleError"};
inline const Name kBrindleNotFoundError{"BrindleNotFoundError"};
inline const Name kLogger{"logger"};

// Adds the CacheQuery class to the module.
void init_cache_query(nb::module_ &m);

}  // namespace brindle::lookout
