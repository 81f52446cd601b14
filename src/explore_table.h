// The exploration's set of packed states: open addressing with linear probing in one flat array
// (on Linux in huge pages, since every look-up lands somewhere random in it).
#pragma once

#include "explore_state.h"

#include <cstddef>
#include <cstdint>
#include <limits>

constexpr std::uint32_t no_index = std::numeric_limits<std::uint32_t>::max();

// Memory of at least `bytes` (released with std::free), on Linux in huge pages where the system
// gives them: tables read at random places then miss the address cache less. Throws
// std::bad_alloc when the memory is not there.
void* allocate_in_huge_pages(std::uint64_t bytes);
// The bytes such memory takes: rounded up to whole huge pages on Linux.
std::uint64_t huge_page_bytes(std::uint64_t bytes);

class state_table {
  public:
    struct slot {
        std::uint64_t low;
        std::uint32_t high;
        std::uint32_t index; // no_index: empty
    };

    state_table() = default;
    ~state_table();
    state_table(const state_table&) = delete;
    state_table& operator=(const state_table&) = delete;

    static std::uint64_t hash(const packed_state& s) {
        std::uint64_t h =
            s.low * 0x9E3779B97F4A7C15ull ^ (std::uint64_t{s.high} + 0x632BE59BD9B4E019ull);
        h ^= h >> 31;
        h *= 0xBF58476D1CE4E5B9ull;
        h ^= h >> 29;
        return h;
    }
    std::uint64_t bytes() const { return size_ * sizeof(slot); }
    std::uint64_t bytes_after_growth() const {
        return (size_ == 0 ? 1u << 16 : size_ * 2) * sizeof(slot);
    }
    // Filled to 82 % at most: a state set of the size the lock reaches keeps to half the memory of
    // the next doubling, while a look-up still finds most states in the first cache line.
    bool needs_growth() const { return !has_room_for(1); }
    bool has_room_for(std::uint64_t more) const { return (used_ + more) * 100 <= size_ * 82; }
    // Doubles the table; throws std::bad_alloc when the memory is not there.
    void grow();

    // Brings the slot of a state with this hash towards the processor ahead of a look-up.
    void prefetch(std::uint64_t hash) const { __builtin_prefetch(&slots_[hash & (size_ - 1)]); }

    // The state's index, or no_index after inserting it with `index`.
    std::uint32_t find_or_insert(const packed_state& s, std::uint64_t hash, std::uint32_t index);
    // The state's index when it is below `visible`, otherwise no_index. May run on another thread
    // beside find_or_insert, as long as the table does not grow: a slot shows its state once its
    // index is set, and the index is set last. What such a look-up finds does not depend on how
    // far the insertions have come when their indices are `visible` or more.
    std::uint32_t find(const packed_state& s, std::uint64_t hash,
                       std::uint32_t visible = no_index) const;

  private:
    slot* slots_ = nullptr;
    std::uint64_t size_ = 0;
    // On a cache line of its own: each insertion writes it, while look-ups on another thread read
    // the two above.
    alignas(64) std::uint64_t used_ = 0;
};
