// The query layer module: shared declarations of its translation units.
#pragma once

#include "duck/duckdb.h"
#include "interop/interop.h"

namespace brindle::lookout {

using namespace brindle::interop;

// Adds the CacheQuery class to the module.
void init_cache_query(nb::module_ &m);

}  // namespace brindle::lookout
