// Writes of one key, made one at a time in the order of their numbers.
#include "turns.h"

#include "gil.h"

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <unordered_map>

namespace brindle::interop {
namespace {

std::atomic<std::uint64_t> g_turn_number{0};

struct KeyTurn {
    bool busy = false;
    std::thread::id holder;
    std::uint64_t last_written = 0;
};

// Guards the turns; waited for with the GIL released, never held while
// Python code runs. Leaked on purpose (process lifetime, like the locks).
std::mutex g_turn_mutex;
std::condition_variable g_turn_freed;
auto &g_turns = *new std::unordered_map<std::string, KeyTurn>();

}  // namespace

std::uint64_t next_turn_number() { return g_turn_number.fetch_add(1) + 1; }

OrderedTurn::OrderedTurn(std::string key, std::uint64_t number) : key_(std::move(key)), number_(number) {
    ReleaseGil released;
    std::unique_lock<std::mutex> held(g_turn_mutex);
    KeyTurn &turn = g_turns[key_];
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

OrderedTurn::~OrderedTurn() {
    if (!owner_)
        return;
    {
        MutexGuardNoGil<> held(g_turn_mutex);
        KeyTurn &turn = g_turns[key_];
        turn.busy = false;
        if (number_ > turn.last_written)
            turn.last_written = number_;
    }
    g_turn_freed.notify_all();
}

}  // namespace brindle::interop
