// The leads-to check: whether a run of N steps on which neither Q nor R holds follows a state where
// P holds without Q, all properties at once, forward; then, for each one that has such a run, its
// shortest counterexample (explore_leads_to_counterexample.cpp).
#include "explore_search_object.h"

#include <algorithm>
#include <atomic>
#include <new>
#include <string>

// Steps the state under every window for the leads-to checks first..first+count (those whose bit
// is set in `rising`): w.obliges[k] gets the checks whose run goes on through window k, and
// w.successors[k].target the successor's index, or no_index where no run goes on (or the
// successor lies beyond a bounded search). A window that repeats an earlier one's inputs, or its
// step, has none.
void explorer::follow_runs(expansion_worker& w, std::uint32_t state, std::size_t first,
                           std::size_t count, unsigned rising) const {
    const lock_values before = stored(state);
    observe_before(before, w.seen);
    for (std::size_t k = 0; k < windows_.size(); ++k) {
        expansion_worker::successor& after = w.successors[k];
        std::uint8_t& goes_on = w.obliges[k];
        goes_on = 0;
        after.repeats = !load_window(w, before, k);
        if (after.repeats) {
            continue; // the same successor as an earlier window's
        }
        if (!step_anew(w, k)) {
            continue; // the same step as an earlier window's
        }
        observe_step(w, k);
        if (!pack_step(w, k)) {
            continue; // a state that cannot be numbered: the check fails with the problem
        }
        for (std::size_t c = 0; c < count; ++c) {
            if ((rising >> c & 1u) != 0 &&
                run_goes_on(properties_[leads_to_[first + c].property], w.seen)) {
                goes_on = static_cast<std::uint8_t>(goes_on | 1u << c);
            }
        }
        if (goes_on != 0) {
            after.hash = state_table::hash(after.packed);
            table_.prefetch(after.hash);
        }
    }
    for (std::size_t k = 0; k < windows_.size(); ++k) {
        expansion_worker::successor& after = w.successors[k];
        after.target = w.obliges[k] != 0 ? table_.find(after.packed, after.hash) : no_index;
    }
}

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

// The leads-to properties together, forward from their P states one step at a time: each state's
// age for a property is the longest run it ends, from a P state, on which neither Q nor R held
// after any step. A state whose age rises is expanded again at the next level (once for all the
// properties whose age rose there), so a run that reaches N steps, or goes round for ever, shows
// as an age of N. The runs start from each P state at age 0 (`from_p_states`, `age` all no_run),
// or, after a search that followed them, from the seeds at their ages (`age` as the search left
// it). Each level is taken block by block by the two threads like the breadth-first search; what
// they find is applied in order by this one. Sets `violated` for each property with such a run.
void explorer::find_long_runs(std::size_t first, std::size_t count, std::vector<bool>& violated,
                              std::vector<std::vector<run_age>>& age, bool from_p_states,
                              const std::vector<run_seed>& seeds) {
    const std::size_t states = low_.size();
    int deepest = 0;
    for (std::size_t c = 0; c < count; ++c) {
        deepest = std::max(deepest, properties_[leads_to_[first + c].property].within);
    }
    std::vector<std::uint8_t> rose(states, 0); // the properties whose age rose to the next level
    std::vector<std::uint32_t> raised;         // the states whose age rose to it, in order
    // The same for this level, whose states are being followed.
    std::vector<std::uint8_t> rising(states, 0);
    std::vector<std::uint32_t> frontier;
    // The two lists hold each state once at most: made that large at once, they hold the 8 bytes a
    // state counted for them, and no doubling more.
    raised.reserve(states);
    frontier.reserve(states);
    const auto follow = [&](std::uint32_t state, std::size_t c) {
        if (rose[state] == 0) {
            raised.push_back(state);
        }
        rose[state] = static_cast<std::uint8_t>(rose[state] | 1u << c);
    };
    const auto raise = [&](std::uint32_t state, std::size_t c, run_age level) {
        const std::size_t at = first + c;
        if (violated[at] || (age[c][state] != no_run && age[c][state] >= level)) {
            return;
        }
        age[c][state] = level;
        if (level >= properties_[leads_to_[at].property].within) {
            violated[at] = true;
            return;
        }
        follow(state, c);
    };
    if (from_p_states) {
        for (std::size_t c = 0; c < count; ++c) {
            for (const obligation& o : leads_to_[first + c].obligations) {
                raise(o.target, c, 0);
            }
        }
    }
    std::size_t seed = 0;
    // By block of the frontier: the thread that took it, and where its steps end in that thread's
    // list.
    struct frontier_block_end {
        std::uint32_t obliged;
        std::uint8_t worker;
    };
    std::vector<frontier_block_end> ends;
    for (int level = 0; level < deepest; ++level) {
        for (; seed < seeds.size() && seeds[seed].age == level; ++seed) {
            const run_seed& s = seeds[seed];
            if (!violated[first + s.check] && age[s.check][s.state] == level) {
                follow(s.state, s.check);
            }
        }
        if (raised.empty()) {
            if (seed == seeds.size()) {
                break;
            }
            level = seeds[seed].age - 1; // nothing to follow until the next seed's age
            continue;
        }
        // This level's marks were all cleared after the level before.
        frontier.swap(raised);
        rising.swap(rose);
        raised.clear();
        const auto next = static_cast<run_age>(level + 1);
        // The frontier goes in chunks, each taken block by block by the two threads; each steps a
        // block's states and lists, in order, the steps that go on into a state whose age is below
        // the next level (two entries a step and property). A chunk is small enough that its lists
        // fit those the search prepared for a round, so the check takes no memory it did not count.
        const std::size_t chunk = std::max<std::size_t>(1, round_states_ / 2);
        const std::size_t block = std::max<std::size_t>(1, chunk / 8);
        for (std::size_t from = 0; from < frontier.size(); from += chunk) {
            const std::size_t to = std::min(frontier.size(), from + chunk);
            const std::size_t blocks = (to - from + block - 1) / block;
            ends.assign(blocks, {0, block_end::none});
            const auto expand_block = [&](std::uint8_t worker, std::size_t b) {
                expansion_worker& w = workers_[worker];
                for (std::size_t i = from + b * block; i < std::min(to, from + (b + 1) * block);
                     ++i) {
                    follow_runs(w, frontier[i], first, count, rising[frontier[i]]);
                    for (std::size_t k = 0; k < windows_.size(); ++k) {
                        const std::uint8_t goes_on = w.obliges[k]; // whose run goes on
                        const std::uint32_t target = w.successors[k].target;
                        for (std::size_t c = 0; target != no_index && c < count; ++c) {
                            if ((goes_on >> c & 1u) != 0 &&
                                (age[c][target] == no_run || age[c][target] < next)) {
                                w.found.obliged.push_back(target);
                                w.found.obliged.push_back(static_cast<std::uint32_t>(c));
                            }
                        }
                    }
                }
                ends[b] = {static_cast<std::uint32_t>(w.found.obliged.size()), worker};
                return true;
            };
            share_blocks(blocks, blocks > 1, expand_block, [] { return true; });
            // What the blocks found, in the order of the frontier.
            std::size_t at[2] = {0, 0};
            for (const frontier_block_end& end : ends) {
                if (end.worker == block_end::none) {
                    continue;
                }
                const std::vector<std::uint32_t>& found = workers_[end.worker].found.obliged;
                for (std::size_t& i = at[end.worker]; i < end.obliged; i += 2) {
                    raise(found[i], found[i + 1], next);
                }
            }
            for (expansion_worker& w : workers_) {
                w.found.obliged.clear();
            }
        }
        for (std::uint32_t state : frontier) {
            rising[state] = 0;
        }
        leads_to_level_ = next;
        show_progress(false);
    }
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
