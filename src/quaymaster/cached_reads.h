// The manager's use of the result cache (result_cache/reads.h), and the
// manager's answers to what the cache asks of it (result_cache_host.cpp).
#pragma once

#include "quaymaster.h"
#include "result_cache/reads.h"

namespace brindle::quaymaster {

using namespace brindle::result_cache;

// The registry answers is_expired() with TTLRegistry's own method: not
// replaced on the instance nor patched on the class.
bool own_is_expired(nb::handle registry);
// The manager answers exists() with BrindleManager's own method.
bool own_exists(nb::handle manager);

// The result cache's hooks and the functions the manager checks for; from module init.
void init_cached_reads();

}  // namespace brindle::quaymaster
