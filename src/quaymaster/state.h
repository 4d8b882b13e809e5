// The manager's own C++ state, one per manager, held by its _state attribute
// (an owner object the garbage collector sees into): the per-table counters
// stats() reports, the loads get_or_load() has in flight and the result cache.
#pragma once

#include "interop/dtypes.h"
#include "interop/owner.h"
#include "quaymaster.h"
#include "result_cache/result_cache.h"

#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>

namespace brindle::quaymaster {

// Python objects let go once the maps holding them are consistent again.
using result_cache::Released;

// What happened to one table since it was first stored in this process.
struct TableTally {
    std::uint64_t queries = 0;
    std::uint64_t not_found = 0;
    std::uint64_t stores = 0;
    std::uint64_t store_failures = 0;
    std::uint64_t expirations = 0;
    std::uint64_t invalidations = 0;
    std::uint64_t parquet_failures = 0;
    std::uint64_t external_failures = 0;
    double last_store_ms = -1;  // below 0: no store has succeeded yet
    std::uint64_t result_hits = 0;    // queries answered from the result cache
    std::uint64_t result_misses = 0;  // queries DuckDB answered while the cache was on for the table
    // The table's own storage as stats() last measured it, with the store
    // and row counts it was measured at: measured again only after a store
    // or a change of its rows (below 0: never measured).
    std::int64_t measured_bytes = -1;
    std::uint64_t measured_stores = 0;
    std::int64_t measured_rows = -1;
};

// The kept dtypes of the tables, by table_key.
using KeptDtypesByTable = std::unordered_map<std::string, std::shared_ptr<const KeptDtypes>>;

// Py_VISIT of every Python object the kept dtypes hold.
inline int visit_kept_dtypes(const KeptDtypesByTable &by_table, visitproc visit, void *arg) {
    for (const auto &[key, kept] : by_table)
        for (const KeptDtype &k : *kept) {
            Py_VISIT(k.name.ptr());
            Py_VISIT(k.dtype.ptr());
        }
    return 0;
}

// One get_or_load() of a table running its loader; the callers asking for the
// same table meanwhile wait for it to finish.
struct Flight {
    std::thread::id loader;  // the thread running the loader
    bool done = false;       // guarded by ManagerState::loads_mutex
    nb::object error;        // the loader's (or the store's) exception; set before done, GIL held
    bool abandoned = false;  // the loader's thread was interrupted (KeyboardInterrupt, SystemExit)
};

struct ManagerState {
    static constexpr const char *kTypeName = "brindle.quaymaster.ManagerState";

    // Guarded by the GIL: they are touched only by the manager's methods,
    // which run with it held, and never across a call out to Python.
    std::unordered_map<std::string, TableTally> tallies;

    // The loads in flight by table. The mutex is never held while Python code
    // runs and is waited for with the GIL released; the map changes and a
    // Flight is dropped only with the GIL held (its error is a Python object),
    // so the collector reads them without the mutex.
    std::mutex loads_mutex;
    std::condition_variable load_finished;
    std::unordered_map<std::string, std::shared_ptr<Flight>> flights;

    // Guarded by the GIL, as the tallies are.
    result_cache::ResultCache results;

    // The dtypes of each table's stored frame that its answers may not carry,
    // by table_key; a table that needs no restoring has no entry. Replaced
    // by each store, forgotten when the table is dropped. Shared, so that a
    // restore that runs pandas keeps its entry while a store replaces it.
    // Guarded by the GIL.
    KeptDtypesByTable kept_dtypes;

    // For the collector: the kept frames, the resolver, the loads' errors
    // (with their tracebacks) and the kept dtypes may refer back to the manager.
    int traverse(visitproc visit, void *arg) const;
    void clear();
};

// The manager's state held for a call that runs Python code (a loader, a
// store) meanwhile: it stays alive even when _state is replaced or the
// manager dropped. Raises AttributeError when the manager has none.
class HeldState {
public:
    explicit HeldState(nb::handle self);
    ManagerState &operator*() const { return *state_; }
    ManagerState *operator->() const { return state_; }

private:
    nb::object owner_;
    ManagerState *state_;
};

// A new state, for __init__.
nb::object new_state();

// The manager's state; nullptr for a manager without one (made without
// __init__), which then counts nothing.
ManagerState *state_of(nb::handle self);

}  // namespace brindle::quaymaster
