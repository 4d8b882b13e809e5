// The table store module: shared declarations of its translation units.
#pragma once

#include "duck/duckdb.h"
#include "interop/interop.h"

namespace brindle::stowage {

using namespace brindle::interop;

// Adds the CacheStore class to the module.
void init_cache_store(nb::module_ &m);

}  // namespace brindle::stowage
