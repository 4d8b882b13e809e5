// The writer record of a key: the one place every write of a table goes
// through.
//
// A write of a table (a store, an invalidation, an expiry, another process's
// reload) holds the key's write, one writer at a time, waited for with a
// bound. A store then persists its frame after letting the write go, under
// the key's persistence turn: one persister at a time, in the order of the
// numbers the stores took while writing, so that a store whose persistence
// would land after a later store's is skipped. The record also keeps the
// version of the table's contents that the processes of a service compare.
//
// Every wait gives up the GIL; the records' mutex is held only for a few
// field changes and never while Python code runs. A record is freed once no
// writer holds, waits on or persists it and it keeps no version.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace brindle::interop {

// Where the contents of a table came from, as the processes of a service
// compare them: a snapshot's version (microseconds since 1970) and its source.
struct HeldVersion {
    std::int64_t number = -1;  // below 0: none
    std::string source;
};

// Persistence that a store could not wait for, left to the store persisting
// the key meanwhile (derived by the caller; destroyed where it was made).
struct HandOver {
    virtual ~HandOver() = default;
    std::uint64_t number = 0;
};

enum class Wait { Held, TimedOut, ReEntered };

struct WriterState;

// A reference to the key's record for the scope (constructed and destroyed
// with the GIL held). Timeouts below 0 wait without a bound.
class WriterRecord {
public:
    explicit WriterRecord(std::string key);
    ~WriterRecord();
    WriterRecord(const WriterRecord &) = delete;
    WriterRecord &operator=(const WriterRecord &) = delete;

    // The key's write; ReEntered (at once) when this thread holds it already.
    Wait write(double timeout_seconds);
    void end_write();
    // A number later than every one taken before, taken while writing.
    std::uint64_t take_number();

    // Stores of this process that have swapped their frame in and not yet
    // persisted it (and so not yet noted its version); persistence handed
    // over and not yet run counts as one.
    void local_started();
    // True when news of another process was put off meanwhile and is to be
    // looked at again (the last local store of the key has finished).
    bool local_finished();
    bool local_pending() const;
    // News of another process was put off because a local store is pending.
    void defer_remote();

    // The key's persistence turn for the store numbered `number`. A store
    // re-entering from this thread's own turn (a log handler) is let in; the
    // turn's owner then finds a later number persisted and skips the rest.
    Wait persist(std::uint64_t number, double timeout_seconds);
    // No store numbered later has persisted yet.
    bool still_latest(std::uint64_t number) const;
    // Leaves persistence to the turn's owner (kept unless a later one is
    // there already); false when the turn has come free meanwhile.
    bool hand_over(std::shared_ptr<HandOver> work);
    // The owner is done with its number: the work handed over to it that is
    // later than everything persisted (it stays the owner and runs it), or
    // null, and the turn is let go.
    std::shared_ptr<HandOver> next_or_end();
    // Lets the turn go, dropping what was handed over (on an error).
    void end_persist();

    HeldVersion version() const;
    void set_version(HeldVersion version);

private:
    std::string key_;
    WriterState *state_;
    bool writing_ = false;
    bool persisting_ = false;
    bool nested_ = false;
    std::uint64_t persist_number_ = 0;
};

// The version kept for the key; false when none.
bool find_version(const std::string &key, HeldVersion &found);
// The versions kept for every key starting with `prefix`.
std::vector<std::pair<std::string, HeldVersion>> held_versions(const std::string &prefix);
// Forgets every version (a new manager, or one shut down, holds none).
void forget_versions();
// How many records exist (the freeing of unused ones is tested through it).
std::size_t writer_record_count();

}  // namespace brindle::interop
