// What the property checks decided on a step, remembered for the steps that look alike to them.
// The checks read the values before and after a step and what the step raised; a counter they
// only compare with numbers reads alike at every value between two of those numbers. Two steps
// that agree in every value, each counter taken as the class of values it falls in, get the same
// verdict from every check: the search then looks the verdict up instead of checking again.
#pragma once

#include "explore_properties.h"
#include "explore_state.h"
#include "explore_step.h"

#include <cstdint>
#include <vector>

// The counters the checks read as classes of values.
struct counter_classes {
    static constexpr int counters = counter_count;
    static constexpr int values = counter_values;
    std::uint16_t of[counters][values] = {}; // by counter_index and value: its class
};

// The classes that the tests of these expressions tell apart: two values of a counter are in one
// class when every test comparing it with a number gives the same result on both. A counter
// compared with another value read from the step keeps every value apart.
counter_classes classes_of(const std::vector<const expression*>& read);

// The key of a step: the state before and after it, each counter as its class, and what it raised.
struct verdict_key {
    std::uint64_t word[5];
    bool operator==(const verdict_key&) const = default;
};

verdict_key key_of(const packed_state& before, const packed_state& after,
                   const step_signals& signals);

// A table of the verdicts last found, one a slot: a verdict is a bit for each check (at most 63),
// found true.
class verdict_cache {
  public:
    static constexpr int verdict_bits = 63;
    verdict_cache() = default;
    ~verdict_cache();
    verdict_cache(const verdict_cache&) = delete;
    verdict_cache& operator=(const verdict_cache&) = delete;
    void make(std::size_t slots); // rounded up to a power of two, 2 at least
    std::uint64_t bytes() const { return bytes_; }
    // The slot a key goes to: hashed once, for the fetch ahead and the look-up after it.
    std::size_t slot_of(const verdict_key& key) const {
        // Each word multiplied on its own (the products can be computed side by side), mixed
        // together, multiplied again: the top bits of a product depend on every bit below them.
        const std::uint64_t* w = key.word;
        std::uint64_t h = w[0] * 0x9E3779B97F4A7C15ull ^ w[1] * 0xC2B2AE3D27D4EB4Full ^
                          w[2] * 0x165667B19E3779F9ull ^ w[3] * 0xD6E8FEB86659FD93ull ^
                          w[4] * 0xFF51AFD7ED558CCDull;
        h ^= h >> 32;
        h *= 0xBF58476D1CE4E5B9ull;
        return static_cast<std::size_t>(h >> shift_);
    }
    void prefetch(std::size_t slot) const { __builtin_prefetch(&entries_[slot]); }
    // The verdict for this key when it is held (`found`); otherwise whether its slot was empty
    // or held another key's.
    enum class lookup { found, empty, taken };
    lookup find(std::size_t slot, const verdict_key& key, std::uint64_t& verdict) const {
        const entry& e = entries_[slot];
        if ((e.verdict >> verdict_bits) == 0) {
            return lookup::empty;
        }
        if (!(e.key == key)) {
            return lookup::taken;
        }
        verdict = e.verdict & ~(std::uint64_t{1} << verdict_bits);
        return lookup::found;
    }
    void keep(std::size_t slot, const verdict_key& key, std::uint64_t verdict) {
        entries_[slot] = {key, verdict | std::uint64_t{1} << verdict_bits};
    }

  private:
    struct alignas(64) entry { // one cache line
        verdict_key key;
        std::uint64_t verdict; // the top bit: the slot holds one
    };
    entry* entries_ = nullptr;
    int shift_ = 63; // 64 less the bits of a slot's number
    std::uint64_t bytes_ = 0;
};
