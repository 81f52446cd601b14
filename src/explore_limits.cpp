// The search's limits: the memory it holds, counted as it grows, and the states it may number;
// the tables grown ahead of need, so that a step never takes memory the limit did not allow.
#include "explore_search_object.h"

#include <algorithm>
#include <new>
#include <string>

std::uint64_t explorer::held_bytes() const {
    std::uint64_t bytes = table_.bytes() + low_.capacity() * sizeof(std::uint64_t) +
                          high_.capacity() * sizeof(std::uint32_t) +
                          parent_.capacity() * sizeof(std::uint32_t) + window_.capacity();
    for (const leads_to_check& check : leads_to_) {
        bytes += check.obligations.capacity() * sizeof(obligation) + check.recorded.capacity() / 8;
    }
    bytes += runs_bytes();
    // The workers' lists of the round being expanded and of the one being merged, and their tables
    // of remembered verdicts.
    return bytes + round_lists_bytes_ + verdict_bytes_;
}

// Whether `after` bytes would pass the memory limit; if so the search is incomplete, saying that
// `what` would need more (unless it stopped for another reason already).
bool explorer::over_memory_limit(std::uint64_t after, const char* what) {
    if (options_.max_memory == 0 || after <= options_.max_memory) {
        return false;
    }
    const std::uint64_t limit = options_.max_memory;
    const std::string size = limit >= 1024 * 1024 ? std::to_string(limit >> 20) + " MiB"
                             : limit >= 1024      ? std::to_string(limit >> 10) + " KiB"
                                                  : std::to_string(limit) + " bytes";
    stop(std::string(what) + " would need more than " + size + " (--max-memory)");
    return true;
}

void explorer::stop(const std::string& problem) {
    if (result_.status == explore_status::complete) {
        result_.status = explore_status::incomplete;
        result_.problem = problem;
    }
}

bool explorer::room_is_ready() const {
    const std::size_t n = low_.size();
    return (options_.max_states == 0 || n < options_.max_states) && n < no_index - 1 &&
           n != state_room_ && !table_.needs_growth();
}

// Whether one more state fits the limits; grows the tables ahead of need.
bool explorer::room_for_one_more() {
    if (room_is_ready()) {
        return true;
    }
    if (options_.max_states != 0 && low_.size() >= options_.max_states) {
        stop("the limit of " + std::to_string(options_.max_states) +
             " states (--max-states) was reached");
        return false;
    }
    if (low_.size() >= no_index - 1) {
        stop("more states than the search can number");
        return false;
    }
    const std::size_t n = low_.size();
    const bool arrays_full = n == state_room_;
    const bool table_full = table_.needs_growth();
    const std::size_t more = n < 1024 ? 1024 : n * 2;
    std::uint64_t after = held_bytes();
    if (arrays_full) {
        after += (more - n) * (sizeof(std::uint64_t) + 2 * sizeof(std::uint32_t) + 1) +
                 leads_to_.size() * ((more - n) / 8 + 8) +
                 (followed_ > 0 ? (more - n) * (followed_ * sizeof(run_age) + 1) : 0);
    }
    if (table_full) {
        after += table_.bytes_after_growth();
    }
    if (over_memory_limit(after, "the search")) {
        return false;
    }
    try {
        if (arrays_full) {
            // Every array by state has room for `more` states now (some perhaps for more than
            // that): none grows until `state_room_` states fill them.
            low_.reserve(more);
            high_.reserve(more);
            parent_.reserve(more);
            window_.reserve(more);
            // A mark for every state the arrays can hold, so that recording takes no memory.
            for (leads_to_check& check : leads_to_) {
                check.recorded.resize(more);
            }
            // Reserved, not filled: a state's age and mark are added with the state, so that the
            // memory the process touches grows with the states, not with the room for them.
            for (std::vector<run_age>& ages : run_age_) {
                ages.reserve(more);
            }
            if (followed_ > 0) {
                rose_late_.reserve(more);
            }
            state_room_ = more;
        }
        if (table_full) {
            table_.grow();
        }
    } catch (const std::bad_alloc&) {
        stop("memory ran out");
        return false;
    }
    result_.held_bytes = std::max(result_.held_bytes, held_bytes());
    return true;
}

// Whether one of the leads-to lists named by obliged[from..to) is full.
bool explorer::obligation_list_full(const std::vector<std::uint32_t>& obliged, std::size_t from,
                                    std::size_t to) const {
    for (std::size_t i = from; i < to; ++i) {
        const std::vector<obligation>& list = leads_to_[obliged[i]].obligations;
        if (list.size() == list.capacity()) {
            return true;
        }
    }
    return false;
}

// Whether the leads-to lists named by obliged[from..to) can each take one more obligation into
// `target` (no_index: a state not in the set) within the limits; grows the full ones ahead of
// need, leaving those that hold one into `target` already.
bool explorer::room_for_obligations(const std::vector<std::uint32_t>& obliged, std::size_t from,
                                    std::size_t to, std::uint32_t target) {
    // How many more obligations a list takes when it is full and would record one.
    const auto growth = [&](const leads_to_check& check) -> std::size_t {
        const std::vector<obligation>& list = check.obligations;
        const bool records = target == no_index || !check.recorded[target];
        return list.size() == list.capacity() && records ? std::max<std::size_t>(1024, list.size())
                                                         : 0;
    };
    std::uint64_t more = 0;
    for (std::size_t i = from; i < to; ++i) {
        more += growth(leads_to_[obliged[i]]) * sizeof(obligation);
    }
    if (more == 0) {
        return true;
    }
    if (over_memory_limit(held_bytes() + more, "the search")) {
        return false;
    }
    try {
        for (std::size_t i = from; i < to; ++i) {
            leads_to_check& check = leads_to_[obliged[i]];
            check.obligations.reserve(check.obligations.capacity() + growth(check));
        }
    } catch (const std::bad_alloc&) {
        stop("memory ran out");
        return false;
    }
    result_.held_bytes = std::max(result_.held_bytes, held_bytes());
    return true;
}
