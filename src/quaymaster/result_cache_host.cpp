// What the result cache asks of the manager that owns it.
#include "cached_reads.h"
#include "state.h"

namespace brindle::result_cache::host {

ResultCache *results_of(nb::handle manager) {
    quaymaster::ManagerState *state = quaymaster::state_of(manager);
    return state ? &state->results : nullptr;
}

std::string table_key(nb::handle database, nb::handle table) { return quaymaster::table_key(database, table); }

std::string database_key(nb::handle database) { return quaymaster::database_key(database); }

void count_answer(nb::handle manager, nb::handle database, nb::handle table, bool from_cache) {
    using quaymaster::Event;
    quaymaster::count_event(manager, database, table, from_cache ? Event::ResultHit : Event::ResultMiss);
}

void forget_dtypes(nb::handle manager, const std::string &key_start, bool whole_database) {
    quaymaster::forget_dtypes(manager, key_start, whole_database);
}

bool mark_handed_out(nb::handle connection) { return quaymaster::mark_handed_out(connection); }

}  // namespace brindle::result_cache::host

namespace brindle::quaymaster {
namespace {

// TTLRegistry.is_expired as brindle.tidewatch defines it, and
// BrindleManager.exists as this module defines it, taken at import.
PyObject *g_is_expired_function = nullptr;
PyObject *g_exists_function = nullptr;

}  // namespace

bool own_is_expired(nb::handle registry) { return has_own_method(registry, kIsExpired, g_is_expired_function); }

bool own_exists(nb::handle manager) { return has_own_method(manager, kExistsMethod, g_exists_function); }

void init_cached_reads() {
    g_is_expired_function = own_function(attr(import("brindle.tidewatch"), kTTLRegistry).ptr(), kIsExpired);
    g_exists_function = own_function(this_module().get(Name("BrindleManager")).ptr(), kExistsMethod);
    init_reads();
}

}  // namespace brindle::quaymaster
