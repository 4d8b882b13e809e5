// The writer record of a key: writes one at a time, persistence in store order.
#include "turns.h"

#include "gil.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <unordered_map>

namespace brindle::interop {

struct WriterState {
    long users = 0;  // WriterRecord objects alive: holders, waiters, stores in flight
    bool writing = false;
    std::thread::id writer;
    bool persisting = false;
    std::thread::id persister;
    std::uint64_t last_persisted = 0;
    long local_pending = 0;
    bool deferred = false;
    HeldVersion version;
    std::shared_ptr<HandOver> handed_over;

    bool unused() const { return users == 0 && version.number < 0 && version.source.empty() && !handed_over; }
};

namespace {

std::atomic<std::uint64_t> g_numbers{0};

// Guards the records; waited for with the GIL released, never held while
// Python code runs. Leaked on purpose: records may be let go at exit.
std::mutex g_mutex;
std::condition_variable g_changed;
auto &g_records = *new std::unordered_map<std::string, WriterState>();

using Clock = std::chrono::steady_clock;

// Waits (the caller holds `held` and has given up the GIL) until `ready`, at
// most timeout_seconds (below 0: without a bound). False on timeout.
template <typename Ready>
bool wait_for(std::unique_lock<std::mutex> &held, double timeout_seconds, Ready ready) {
    if (timeout_seconds < 0) {
        g_changed.wait(held, ready);
        return true;
    }
    auto deadline = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                       std::chrono::duration<double>(timeout_seconds));
    return g_changed.wait_until(held, deadline, ready);
}

}  // namespace

WriterRecord::WriterRecord(std::string key) : key_(std::move(key)) {
    MutexGuardNoGil<> held(g_mutex);
    state_ = &g_records[key_];  // node-based map: the address stays while the entry does
    ++state_->users;
}

WriterRecord::~WriterRecord() {
    if (writing_)
        end_write();
    if (persisting_)
        end_persist();
    std::shared_ptr<HandOver> freed;  // let go after the mutex, where it was made (GIL held)
    MutexGuardNoGil<> held(g_mutex);
    --state_->users;
    if (state_->unused())
        g_records.erase(key_);
}

Wait WriterRecord::write(double timeout_seconds) {
    auto take = [&](std::unique_lock<std::mutex> &held, bool may_wait) {
        if (state_->writing && state_->writer == std::this_thread::get_id())
            return Wait::ReEntered;
        if (state_->writing &&
            (!may_wait || !wait_for(held, timeout_seconds, [&] { return !state_->writing; })))
            return Wait::TimedOut;
        state_->writing = true;
        state_->writer = std::this_thread::get_id();
        writing_ = true;
        return Wait::Held;
    };
    return take_kept_gil_if_free(g_mutex, Wait::TimedOut, take);
}

void WriterRecord::end_write() {
    {
        MutexGuardNoGil<> held(g_mutex);
        state_->writing = false;
        writing_ = false;
    }
    g_changed.notify_all();
}

std::uint64_t WriterRecord::take_number() { return g_numbers.fetch_add(1) + 1; }

void WriterRecord::local_started() {
    MutexGuardNoGil<> held(g_mutex);
    ++state_->local_pending;
}

bool WriterRecord::local_finished() {
    MutexGuardNoGil<> held(g_mutex);
    if (--state_->local_pending > 0 || !state_->deferred)
        return false;
    state_->deferred = false;
    return true;
}

bool WriterRecord::local_pending() const {
    MutexGuardNoGil<> held(g_mutex);
    // Persistence handed over is a store whose version is still to be noted,
    // though the store itself has returned.
    return state_->local_pending > 0 || state_->handed_over != nullptr;
}

void WriterRecord::defer_remote() {
    MutexGuardNoGil<> held(g_mutex);
    state_->deferred = true;
}

Wait WriterRecord::persist(std::uint64_t number, double timeout_seconds) {
    auto take = [&](std::unique_lock<std::mutex> &held, bool may_wait) {
        persist_number_ = number;
        if (state_->persisting && state_->persister == std::this_thread::get_id()) {
            nested_ = true;
            persisting_ = true;
            return Wait::Held;
        }
        if (state_->persisting &&
            (!may_wait || !wait_for(held, timeout_seconds, [&] { return !state_->persisting; })))
            return Wait::TimedOut;
        state_->persisting = true;
        state_->persister = std::this_thread::get_id();
        persisting_ = true;
        return Wait::Held;
    };
    return take_kept_gil_if_free(g_mutex, Wait::TimedOut, take);
}

bool WriterRecord::still_latest(std::uint64_t number) const {
    MutexGuardNoGil<> held(g_mutex);
    return number >= state_->last_persisted;
}

void WriterRecord::end_persist() {
    // Work handed over meanwhile is dropped: the owner is leaving on an error.
    while (next_or_end()) {
    }
}

bool WriterRecord::hand_over(std::shared_ptr<HandOver> work) {
    std::shared_ptr<HandOver> replaced;  // let go after the mutex
    MutexGuardNoGil<> held(g_mutex);
    if (!state_->persisting)
        return false;  // the owner has finished meanwhile: the caller's turn is free
    if (!state_->handed_over || state_->handed_over->number < work->number) {
        replaced = std::move(state_->handed_over);
        state_->handed_over = std::move(work);
    }
    return true;
}

std::shared_ptr<HandOver> WriterRecord::next_or_end() {
    std::shared_ptr<HandOver> work;
    {
        MutexGuardNoGil<> held(g_mutex);
        if (persist_number_ > state_->last_persisted)
            state_->last_persisted = persist_number_;
        if (!nested_) {  // what was handed over is the owner's
            work = std::move(state_->handed_over);
            if (work && work->number > state_->last_persisted) {
                persist_number_ = work->number;
                return work;
            }
        }
        if (!nested_)
            state_->persisting = false;
        persisting_ = false;
        nested_ = false;
    }
    g_changed.notify_all();
    return nullptr;  // an older hand-over is dropped here, after the mutex
}

HeldVersion WriterRecord::version() const {
    MutexGuardNoGil<> held(g_mutex);
    return state_->version;
}

void WriterRecord::set_version(HeldVersion version) {
    MutexGuardNoGil<> held(g_mutex);
    state_->version = std::move(version);
}

bool find_version(const std::string &key, HeldVersion &found) {
    MutexGuardNoGil<> held(g_mutex);
    auto it = g_records.find(key);
    if (it == g_records.end() || it->second.version.source.empty())
        return false;
    found = it->second.version;
    return true;
}

std::vector<std::pair<std::string, HeldVersion>> held_versions(const std::string &prefix) {
    std::vector<std::pair<std::string, HeldVersion>> found;
    MutexGuardNoGil<> held(g_mutex);
    for (const auto &[key, state] : g_records)
        if (!state.version.source.empty() && key.compare(0, prefix.size(), prefix) == 0)
            found.emplace_back(key, state.version);
    return found;
}

void forget_versions() {
    MutexGuardNoGil<> held(g_mutex);
    for (auto it = g_records.begin(); it != g_records.end();) {
        it->second.version = HeldVersion();
        it = it->second.unused() ? g_records.erase(it) : std::next(it);
    }
}

std::size_t writer_record_count() {
    MutexGuardNoGil<> held(g_mutex);
    return g_records.size();
}

}  // namespace brindle::interop
