// The manager's hooks into the signalman (brindle.signalman), which keeps the
// processes of a service coherent when BrindleConfig.signal_enabled is set.
// With it off every hook does nothing.
#pragma once

#include "quaymaster.h"

#include <optional>

namespace brindle::quaymaster {

// Builds the signalman (or leaves _signalman None) and reads the snapshot
// versions; before the warm-up.
void signal_open(nb::handle self);
// Starts listening; after the warm-up.
void signal_start(nb::handle self);
void signal_stop(nb::handle self);

// True while this thread applies another process's news: such a store saves
// no snapshot and announces nothing, such an invalidation announces nothing.
bool applying_remote();

// Orders this process's store of a table against the signalman's reloads of
// it (see signalman.h); held for the whole store.
class SignalTurn {
public:
    SignalTurn(nb::handle self, nb::handle database, nb::handle table);

private:
    std::optional<PyLockGuard> held_;
};

// After a store's persistence: announces the save, or notes an unsaved store.
void signal_stored(nb::handle self, nb::handle database, nb::handle table, nb::handle ttl, bool scheduler_managed,
                   bool saved);
void signal_invalidated(nb::handle self, nb::handle database, nb::handle table);
// stats(): each table's "version" and "version_source".
void add_versions(nb::handle self, nb::handle stats);
// get_or_load's load for the whole cluster; false when this process is to
// load on its own (off, or the lock is out of reach).
bool cluster_load(nb::handle self, nb::handle database, nb::handle table, nb::handle loader, nb::handle ttl,
                  bool scheduler_managed);

nb::object apply_remote_store(const Args &a);
nb::object apply_remote_invalidate(const Args &a);

}  // namespace brindle::quaymaster
