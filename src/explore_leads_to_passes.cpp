// The leads-to check in passes: the properties the search followed, from where it left their runs;
// the others from their P states, eight at a time; each pass within the memory limit, and the
// shortest counterexample of each property found violated.
#include "explore_search_object.h"

#include <algorithm>
#include <atomic>
#include <new>
#include <string>
#include <vector>

// Where the check after a search that followed runs takes them up: each state whose age rose too
// late for its own steps, and each state with an age that the search did not expand (it stopped
// at its depth), at that age.
template <typename Visit> void explorer::each_seed(Visit visit) const {
    for (std::uint32_t state = 0; state < low_.size(); ++state) {
        const unsigned checks = state < expanded_ ? rose_late_[state] : (1u << followed_) - 1;
        for (std::size_t c = 0; checks != 0 && c < followed_; ++c) {
            const run_age age = run_age_[c][state];
            if ((checks >> c & 1u) != 0 && age != no_run && run_violated_[c] == 0) {
                visit(run_seed{age, static_cast<std::uint8_t>(c), state});
            }
        }
    }
}

std::uint64_t explorer::runs_bytes() const {
    std::uint64_t bytes = rose_late_.capacity();
    for (const std::vector<run_age>& ages : run_age_) {
        bytes += ages.capacity() * sizeof(run_age);
    }
    return bytes;
}

void explorer::forget_runs() {
    for (std::vector<run_age>& ages : run_age_) {
        std::vector<run_age>().swap(ages);
    }
    std::vector<std::uint8_t>().swap(rose_late_);
}

void explorer::check_all_leads_to() {
    if (leads_to_.empty()) {
        return;
    }
    std::vector<bool> violated(leads_to_.size(), false);
    // The search followed the first pass's runs when it merged every step of the states it
    // expanded: it ran to the end, or to its depth. Otherwise the first pass starts anew too.
    const bool search_followed =
        followed_ > 0 && (result_.status == explore_status::complete || stopped_at_depth_);
    if (!search_followed) {
        forget_runs();
    }
    std::size_t seeds = 0;
    if (search_followed) {
        each_seed([&seeds](const run_seed&) { ++seeds; });
    }
    // A pass holds two marks for every state (this level's and the next's) and at most every state
    // in the two levels' lists; the first, the search's ages and seeds; any other, an age a
    // property for every state (once the search's are gone).
    const std::size_t states = low_.size();
    const std::uint64_t lists = states * (2 + 8);
    const std::size_t first_fresh = search_followed ? followed_ : 0;
    std::uint64_t needed = held_bytes() + lists + seeds * sizeof(run_seed);
    if (first_fresh < leads_to_.size()) {
        const std::size_t count = std::min(runs_at_once, leads_to_.size() - first_fresh);
        needed = std::max(needed,
                          held_bytes() - runs_bytes() + lists + states * count * sizeof(run_age));
    }
    if (over_memory_limit(needed, "the leads-to check")) {
        return;
    }
    // The properties a pass that ran out of memory did not finish are left unchecked; those the
    // passes before it found violated are still reported.
    std::size_t checked = 0;
    try {
        if (search_followed) {
            std::vector<run_seed> from;
            from.reserve(seeds);
            each_seed([&from](const run_seed& s) { from.push_back(s); });
            std::sort(from.begin(), from.end(), [](const run_seed& a, const run_seed& b) {
                return a.age != b.age ? a.age < b.age : a.state < b.state;
            });
            std::vector<std::uint8_t>().swap(rose_late_);
            for (std::size_t c = 0; c < followed_; ++c) {
                violated[c] = run_violated_[c] != 0;
            }
            find_long_runs(0, followed_, violated, run_age_, false, from);
            checked = followed_;
            forget_runs();
        }
        for (; checked < leads_to_.size(); checked += runs_at_once) {
            const std::size_t count = std::min(runs_at_once, leads_to_.size() - checked);
            std::vector<std::vector<run_age>> age(count, std::vector<run_age>(states, no_run));
            find_long_runs(checked, count, violated, age, true, {});
        }
    } catch (const std::bad_alloc&) {
        stop("memory ran out in the leads-to check");
    }
    result_.held_bytes = std::max(result_.held_bytes, needed);
    std::vector<std::size_t> to_show;
    for (std::size_t c = 0; c < std::min(checked, leads_to_.size()); ++c) {
        result_.outcomes[leads_to_[c].property].states =
            violated[c] ? 0 : leads_to_[c].obligations.size();
        result_.outcomes[leads_to_[c].property].checked = true;
        if (violated[c]) {
            // Violated, whether or not the memory allows its counterexample below.
            result_.outcomes[leads_to_[c].property].holds = false;
            to_show.push_back(c);
        }
    }
    // The shortest counterexample of each violated property, depth first (on two threads when
    // there are two of them). Each search holds a run's length for every state, two bytes, less
    // than a pass held above.
    std::atomic<std::size_t> next{0};
    const auto work = [&](expansion_worker& w) {
        for (std::size_t i = next++; i < to_show.size(); i = next++) {
            check_leads_to(leads_to_[to_show[i]], w);
        }
    };
    auto second = [&] { work(workers_[1]); };
    try {
        if (helper_.running() && to_show.size() > 1) {
            helper_.run_beside(&second, [&] { work(workers_[0]); });
        } else {
            work(workers_[0]);
        }
    } catch (const std::bad_alloc&) {
        stop("memory ran out while finding a leads-to counterexample");
    }
    // A state out of the controllers' ranges that only the check stepped (beyond a search cut
    // short) is a fault as much as one the search met.
    for (expansion_worker& w : workers_) {
        if (!w.found.problem.empty()) {
            fail(w.found.problem);
        }
    }
}
