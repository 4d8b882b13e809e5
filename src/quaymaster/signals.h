// The manager's hooks into the signalman (brindle.signalman), which keeps the
// processes of a service coherent when BrindleConfig.signal_enabled is set.
// With it off every hook does nothing.
//
// The versions the processes compare live in the tables' writer records
// (interop/turns.h): the signalman reads and notes them through the
// manager's _held_version / _note_version, and applies other processes' news
// through _apply_remote_store / _apply_remote_invalidate, which decide under
// the table's write whether the news is newer than what is held.
#pragma once

#include "quaymaster.h"

namespace brindle::quaymaster {

// Builds the signalman (or leaves _signalman None) and reads the snapshot
// versions; before the warm-up.
void signal_open(nb::handle self);
// Starts listening; after the warm-up.
void signal_start(nb::handle self);
void signal_stop(nb::handle self);

// The news of another process this thread is applying; null when none. Such
// a store saves no snapshot and announces nothing, such an invalidation
// announces nothing.
struct RemoteNews {
    HeldVersion version;
    bool applied = false;
};
RemoteNews *remote_news();
inline bool applying_remote() { return remote_news() != nullptr; }

// With the table's write held: whether the news this thread applies may land
// (newer than what is held, and no store of this process pending, whose
// version would be noted after it; such news is put off and looked at again).
bool remote_news_lands(WriterRecord &record);
// The news landed: its version is the table's.
void remote_news_landed(WriterRecord &record);

// Holds this table's save turn among the processes of the service for the
// scope (an advisory lock of the signalling session), so that two savers of
// one table never meet in the snapshot table. Raises TimeoutError when it is
// not had within external_timeout_seconds; does nothing with signalling off.
class SaveTurn {
public:
    SaveTurn(nb::handle self, nb::handle database, nb::handle table);
    ~SaveTurn();
    SaveTurn(const SaveTurn &) = delete;
    SaveTurn &operator=(const SaveTurn &) = delete;

private:
    nb::object signalman_, database_, table_;
};

// After a store's persistence: announces the save, or notes an unsaved store.
void signal_stored(nb::handle self, nb::handle database, nb::handle table, nb::handle ttl, bool scheduler_managed,
                   bool saved);
void signal_invalidated(nb::handle self, nb::handle database, nb::handle table);
// News of another process was put off while this process stored the table:
// the listener looks at the table's snapshot again.
void signal_recheck(nb::handle self, nb::handle database, nb::handle table);
// stats(): each table's "version" and "version_source".
void add_versions(nb::handle self, nb::handle stats);
// get_or_load's load for the whole cluster; false when this process is to
// load on its own (off, or the lock is out of reach).
bool cluster_load(nb::handle self, nb::handle database, nb::handle table, nb::handle loader, nb::handle ttl,
                  bool scheduler_managed);

nb::object apply_remote_store(const Args &a);
nb::object apply_remote_invalidate(const Args &a);
nb::object held_version_method(const Args &a);
nb::object note_version_method(const Args &a);
nb::object versions_method(const Args &a);

}  // namespace brindle::quaymaster
