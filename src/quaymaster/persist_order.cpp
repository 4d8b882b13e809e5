// Persistence writes of a table land in the order of its stores.
//
// A store swaps its table in under the write lock and persists after the lock
// is released, so two stores of one table could otherwise write their Parquet
// files and external snapshots in either order and leave the older data to be
// warmed after a restart. Each store takes a number under the write lock; its
// persistence then waits for the table's turn and is skipped when a later
// store of the table has already been persisted.
#include "quaymaster.h"

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <unordered_map>

namespace brindle::quaymaster {
namespace {

std::atomic<std::uint64_t> g_store_number{0};

struct TableTurn {
    bool busy = false;
    std::thread::id holder;
    std::uint64_t last_written = 0;
};

// Guards the turns; waited for with the GIL released, never held while
// Python code runs. Leaked on purpose (process lifetime, like the locks).
std::mutex g_turn_mutex;
std::condition_variable g_turn_freed;
auto &g_turns = *new std::unordered_map<std::string, TableTurn>();

}  // namespace

std::uint64_t next_store_number() { return g_store_number.fetch_add(1) + 1; }

PersistTurn::PersistTurn(nb::handle database, nb::handle table, std::uint64_t number)
    : key_(table_key(database, table)), number_(number) {
    ReleaseGil released;
    std::unique_lock<std::mutex> held(g_turn_mutex);
    TableTurn &turn = g_turns[key_];
    if (turn.busy && turn.holder == std::this_thread::get_id()) {
        // Re-entered from our own turn: waiting would never end.
        write_ = true;
        return;
    }
    g_turn_freed.wait(held, [&] { return !turn.busy; });
    if (number_ < turn.last_written)
        return;
    turn.busy = true;
    turn.holder = std::this_thread::get_id();
    owner_ = true;
    write_ = true;
}

PersistTurn::~PersistTurn() {
    if (!owner_)
        return;
    {
        MutexGuardNoGil<> held(g_turn_mutex);
        TableTurn &turn = g_turns[key_];
        turn.busy = false;
        if (number_ > turn.last_written)
            turn.last_written = number_;
    }
    g_turn_freed.notify_all();
}

}  // namespace brindle::quaymaster
