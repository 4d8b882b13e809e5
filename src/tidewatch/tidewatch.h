// The TTL registry module: shared declarations of its translation units.
#pragma once

#include "interop/interop.h"

namespace brindle::tidewatch {

using namespace brindle::interop;

constexpr const char *kModuleName = "brindle.tidewatch";

// Module attributes.
inline const Name kDatetime{"datetime"};
inline const Name kTime{"time"};
inline const Name kLogging{"logging"};
inline const Name kThreading{"threading"};
inline const Name kTTLEntry{"TTLEntry"};

// Instance attributes of the registry.
inline const Name kRegistry{"_registry"};
inline const Name kRegistryLock{"_registry_lock"};
inline const Name kCleanupThread{"_cleanup_thread"};
inline const Name kCleanupStopEvent{"_cleanup_stop_event"};
inline const Name kCleanupCallback{"_cleanup_callback"};
inline const Name kCleanupInterval{"_cleanup_interval_minutes"};
inline const Name kInitialized{"_initialized"};

// Fields of an entry.
inline const Name kLoadedAt{"loaded_at"};
inline const Name kTtlMinutes{"ttl_minutes"};
inline const Name kIsStale{"is_stale"};
inline const Name kSchedulerManaged{"scheduler_managed"};
inline const Name kActiveReaders{"active_readers"};

// Int constants for the life of the process, as borrowed references (built
// under the GIL on first use, never released: usable on any path at exit).
PyObject *zero();
PyObject *one();
PyObject *sixty();

// datetime.now() through the module's own `datetime`, so a patched clock rules.
nb::object now();

// An entry's fields as one moment saw them: read together under
// _registry_lock (plain attribute reads), judged after it is let go.
struct EntryFacts {
    nb::object loaded_at, ttl_minutes, scheduler_managed, active_readers;
};
EntryFacts facts_of(nb::handle entry);

// True when an entry loaded at `loaded_at` with `ttl_minutes` is past its
// time-to-live at `at`: (at - loaded_at).total_seconds() / 60 > ttl_minutes.
// The clock's values are arithmetic of a replaceable clock (which may log or
// call the registry): never worked out with _registry_lock held.
bool past_ttl(const EntryFacts &facts, nb::handle at);

// active_readers > 0
bool has_readers(const EntryFacts &facts);

// The entry filed under (database, table) in the registry dict, or an invalid
// object. The caller holds _registry_lock.
nb::object find_entry(nb::handle registry, nb::handle database, nb::handle table);

// Builds TTLEntry and adds it to the module.
void init_ttl_entry(nb::module_ &m);
// Builds TTLRegistry (with the cleanup thread's methods) and adds it to the module.
void init_ttl_registry(nb::module_ &m);
// The cleanup thread's methods, installed on the registry class.
void add_cleanup_methods(nb::handle cls);
// Makes sure no cleanup thread is inside a pass when the interpreter finalises.
void install_exit_guard();

}  // namespace brindle::tidewatch
