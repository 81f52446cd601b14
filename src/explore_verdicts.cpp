#include "explore_verdicts.h"

#include "explore_table.h"

#include <algorithm>
#include <bit>
#include <cstdlib>
#include <map>
#include <memory>

namespace {

// The counter a slot of an observation reads (now or before the step), or -1.
int counter_of(int slot) {
    if (slot < 0 || slot >= 2 * property_name_count) {
        return -1;
    }
    switch (slot % property_name_count) {
    case name_pw_timer: return counter_pw;
    case name_lock_timer: return counter_lock;
    case name_sound_timer: return counter_sound;
    case name_light_timer: return counter_light;
    default: return -1;
    }
}

// The test's result where its counter reads `value` and the other side is the slot that reads 0.
bool passes_at(const range_test& t, bool counter_left, std::int64_t value) {
    observation seen{};
    seen.value[counter_left ? t.left : t.right] = value;
    return passes(t, seen);
}

} // namespace

counter_classes classes_of(const std::vector<const expression*>& read) {
    std::vector<const range_test*> with_number[counter_classes::counters];
    bool exact[counter_classes::counters] = {};
    for (const expression* e : read) {
        for (const decision& d : e->graph) {
            const range_test& t = d.test;
            const int left = counter_of(t.left);
            const int right = counter_of(t.right);
            if (t.left == t.right) {
                continue; // the same slot on both sides: the same result everywhere
            }
            if (left >= 0 && t.right == zero_slot) {
                with_number[left].push_back(&t);
            } else if (right >= 0 && t.left == zero_slot) {
                with_number[right].push_back(&t);
            } else {
                for (int c : {left, right}) {
                    if (c >= 0) {
                        exact[c] = true;
                    }
                }
            }
        }
    }
    counter_classes classes;
    for (int c = 0; c < counter_classes::counters; ++c) {
        std::map<std::vector<bool>, std::uint16_t> ids;
        for (int value = 0; value < counter_classes::values; ++value) {
            if (exact[c]) {
                classes.of[c][value] = static_cast<std::uint16_t>(value);
                continue;
            }
            std::vector<bool> results;
            for (const range_test* t : with_number[c]) {
                results.push_back(passes_at(*t, counter_of(t->left) == c, value));
            }
            // Ids in the order of their first value, so that a class never exceeds its values
            // and packs wherever they do.
            const auto found = ids.try_emplace(results, static_cast<std::uint16_t>(ids.size()));
            classes.of[c][value] = found.first->second;
        }
    }
    return classes;
}

verdict_key key_of(const packed_state& before, const packed_state& after,
                   const step_signals& signals) {
    std::uint64_t raised[2];
    signal_words(signals, raised);
    return {{before.low, after.low, std::uint64_t{before.high} | std::uint64_t{after.high} << 32,
             raised[0], raised[1]}};
}

verdict_cache::~verdict_cache() {
    std::free(entries_);
}

void verdict_cache::make(std::size_t slots) {
    slots = std::bit_ceil(std::max<std::size_t>(slots, 2)); // a slot's number has a bit at least
    std::free(entries_);
    entries_ = nullptr;
    entries_ = static_cast<entry*>(allocate_in_huge_pages(slots * sizeof(entry)));
    bytes_ = huge_page_bytes(slots * sizeof(entry));
    std::uninitialized_fill_n(entries_, slots, entry{});
    shift_ = 64 - std::countr_zero(slots);
}
