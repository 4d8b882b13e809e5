// Writes of one key made one at a time and in the order of their numbers.
//
// A writer takes a number while it holds the key's write lock and writes after
// releasing it (persistence after a store), so two writers of one key could
// otherwise land in either order and leave the older data last. Holding the
// key's turn makes them one at a time, and a writer whose number is below one
// already written is skipped.
#pragma once

#include <cstdint>
#include <string>

namespace brindle::interop {

// A number taken by each writer while it holds the key's write lock; later
// writers always take larger numbers.
std::uint64_t next_turn_number();

// Holds a key's turn for the scope; should_write() is false for a writer
// whose number is below one already written. Waiting for the turn releases
// the GIL (constructed and destroyed with it held). A writer re-entering from
// its own turn's thread (a log handler that stores the same table) writes
// without waiting.
class OrderedTurn {
public:
    OrderedTurn(std::string key, std::uint64_t number);
    ~OrderedTurn();
    OrderedTurn(const OrderedTurn &) = delete;
    OrderedTurn &operator=(const OrderedTurn &) = delete;

    bool should_write() const { return write_; }

private:
    std::string key_;
    std::uint64_t number_;
    bool write_ = false;
    bool owner_ = false;
};

}  // namespace brindle::interop
