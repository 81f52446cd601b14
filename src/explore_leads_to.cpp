// The leads-to check: whether a run of N steps on which neither Q nor R holds follows a state where
// P holds without Q, all properties at once, forward; then, for each one that has such a run, its
// shortest counterexample (explore_leads_to_counterexample.cpp).
#include "explore_search_object.h"

#include <algorithm>
#include <atomic>
#include <new>
#include <string>

namespace {

// Whether a leads-to's run goes on through the step just observed: neither Q nor R holds after it.
bool run_goes_on(const property& p, const observation& seen) {
    return !evaluate(p.target, seen) && !(p.has_excuse && evaluate(p.excuse, seen));
}

} // namespace

// Steps the state under every window for the leads-to checks first..first+count (those whose bit
// is set in `rising`): w.obliges[k] gets the checks whose run goes on through window k, and
// w.successors[k].target the successor's index, or no_index where no run goes on (or the
// successor lies beyond a bounded search). A window that repeats an earlier one's inputs has none.
void explorer::follow_runs(expansion_worker& w, std::uint32_t state, std::size_t first,
                           std::size_t count, unsigned rising) const {
    const lock_values before = stored(state);
    observe_before(before, w.seen);
    for (std::size_t k = 0; k < windows_.size(); ++k) {
        expansion_worker::successor& after = w.successors[k];
        std::uint8_t& goes_on = w.obliges[k];
        goes_on = 0;
        if (!load_window(w, before, k)) {
            continue; // the same successor as an earlier window's
        }
        after.packed = step_to(w);
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

// The leads-to properties together, forward from their P states one step at a time: each state's
// age for a property is the longest run it ends, from a P state, on which neither Q nor R held
// after any step. A state whose age rises is expanded again at the next level (once for all the
// properties whose age rose there), so a run that reaches N steps, or goes round for ever, shows
// as an age of N. Each level is taken block by block by the two threads like the breadth-first
// search; what they find is applied in order by this one. Sets `violated` for each property with
// such a run.
void explorer::find_long_runs(std::size_t first, std::size_t count, std::vector<bool>& violated) {
    constexpr std::uint16_t never = 0xFFFF;
    const std::size_t states = low_.size();
    std::vector<std::vector<std::uint16_t>> age(count);
    int deepest = 0;
    for (std::size_t c = 0; c < count; ++c) {
        age[c].assign(states, never);
        deepest = std::max(deepest, properties_[leads_to_[first + c].property].within);
    }
    std::vector<std::uint8_t> rose(states, 0); // the properties whose age rose at this level
    std::vector<std::uint32_t> raised;         // the states whose age rose, in order
    // This list and the frontier below hold each state once at most: made that large at once, they
    // hold the 12 bytes a state counted for them, and no doubling more.
    raised.reserve(states);
    const auto raise = [&](std::uint32_t state, std::size_t c, std::uint16_t level) {
        const std::size_t at = first + c;
        if (violated[at] || (age[c][state] != never && age[c][state] >= level)) {
            return;
        }
        age[c][state] = level;
        if (level >= properties_[leads_to_[at].property].within) {
            violated[at] = true;
            return;
        }
        if (rose[state] == 0) {
            raised.push_back(state);
        }
        rose[state] = static_cast<std::uint8_t>(rose[state] | 1u << c);
    };
    for (std::size_t c = 0; c < count; ++c) {
        for (const obligation& o : leads_to_[first + c].obligations) {
            raise(o.target, c, 0);
        }
    }
    struct rise {
        std::uint32_t state;
        std::uint8_t properties;
    };
    std::vector<rise> frontier;
    frontier.reserve(states);
    // By block of the frontier: the thread that took it, and where its steps end in that thread's
    // list.
    struct frontier_block_end {
        std::uint32_t obliged;
        std::uint8_t worker;
    };
    std::vector<frontier_block_end> ends;
    for (int level = 0; level < deepest && !raised.empty(); ++level) {
        frontier.clear();
        for (std::uint32_t state : raised) {
            frontier.push_back({state, rose[state]});
            rose[state] = 0;
        }
        raised.clear();
        const auto next = static_cast<std::uint16_t>(level + 1);
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
                    follow_runs(w, frontier[i].state, first, count, frontier[i].properties);
                    for (std::size_t k = 0; k < windows_.size(); ++k) {
                        const std::uint8_t goes_on = w.obliges[k]; // whose run goes on
                        const std::uint32_t target = w.successors[k].target;
                        for (std::size_t c = 0; target != no_index && c < count; ++c) {
                            if ((goes_on >> c & 1u) != 0 &&
                                (age[c][target] == never || age[c][target] < next)) {
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
        leads_to_level_ = next;
        show_progress(false);
    }
}

void explorer::check_all_leads_to() {
    if (leads_to_.empty()) {
        return;
    }
    std::vector<bool> violated(leads_to_.size(), false);
    constexpr std::size_t at_once = 8; // properties a pass follows together
    // A pass holds an age a property and a mark for every state, and at most every state in the
    // levels it goes through and the next.
    const std::uint64_t needed =
        held_bytes() + low_.size() * (2 * std::min(at_once, leads_to_.size()) + 1 + 12);
    if (over_memory_limit(needed, "the leads-to check")) {
        return;
    }
    // The properties a pass that ran out of memory did not finish are left unchecked; those the
    // passes before it found violated are still reported.
    std::size_t checked = 0;
    try {
        for (; checked < leads_to_.size(); checked += at_once) {
            find_long_runs(checked, std::min(at_once, leads_to_.size() - checked), violated);
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
}
