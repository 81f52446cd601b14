// The leads-to check of one pass: whether a run of N steps on which neither Q nor R holds follows a
// state where P holds without Q, all the pass's properties at once, forward. The passes are taken
// in explore_leads_to_passes.cpp, and the shortest counterexample of a property with such a run is
// found in explore_leads_to_counterexample.cpp.
#include "explore_search_object.h"

#include <algorithm>
#include <vector>

// Steps the state under every window for the leads-to checks first..first+count (those whose bit
// is set in `rising`): w.obliges[k] gets the checks whose run goes on through window k, and
// w.successors[k].target the successor's index, or no_index where no run goes on (or the
// successor lies beyond a bounded search). A window that repeats an earlier one's inputs, or its
// step, has none.
void explorer::follow_runs(expansion_worker& w, std::uint32_t state, std::size_t first,
                           std::size_t count, unsigned rising) const {
    const lock_values before = stored(state);
    // The runs of the checks that the search followed are among the remembered verdicts.
    const bool remember = first == 0 && remembering(w);
    w.before_seen = false;
    if (remember) {
        w.before_classes = replace_counters({low_[state], high_[state]}, classes_.of);
    } else {
        see_before(w, before);
    }
    std::uint64_t stepped = 0; // the windows with a successor of their own, packed (61 at most)
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
        observe_step(w, k, !remember);
        if (!pack_step(w, k)) {
            continue; // a state that cannot be numbered: the check fails with the problem
        }
        stepped |= std::uint64_t{1} << k;
        if (remember) {
            key_step(w, k, true);
            continue;
        }
        for (std::size_t c = 0; c < count; ++c) {
            if ((rising >> c & 1u) != 0 &&
                run_goes_on(properties_[leads_to_[first + c].property], w.seen)) {
                goes_on = static_cast<std::uint8_t>(goes_on | 1u << c);
            }
        }
    }
    const std::size_t runs_from = on_steps_.size() + leads_to_.size();
    for (std::size_t k = 0; k < windows_.size(); ++k) {
        expansion_worker::successor& after = w.successors[k];
        if ((stepped >> k & 1u) == 0) {
            continue;
        }
        if (remember) {
            w.obliges[k] = static_cast<std::uint8_t>((verdict_of(w, k, before) >> runs_from) &
                                                     rising & ((1u << count) - 1));
        }
        if (w.obliges[k] != 0) {
            after.hash = state_table::hash(after.packed);
            table_.prefetch(after.hash);
        }
    }
    for (std::size_t k = 0; k < windows_.size(); ++k) {
        expansion_worker::successor& after = w.successors[k];
        after.target = w.obliges[k] != 0 ? table_.find(after.packed, after.hash) : no_index;
    }
}

// Whether the runs of check `c` (from the pass's first) can go round for ever: whether a cycle of
// steps on which its run goes on can be reached from a state with an age. The states that runs
// reach from there are listed, each stepped once under every window, counting the steps into
// each; then, as long as one is left that no step from a listed state still enters, it is taken
// out and its steps with it (stepping it again). A cycle keeps the states on it: some are left.
// One thread; a state beyond a bounded search is not followed, as the levels do not follow it
// (though a state the levels would not have stepped before N may be stepped here, and a fault
// met there fails the run as one met by the levels does). Holds three numbers and a mark a state.
bool explorer::runs_go_round(std::size_t first, std::size_t c,
                             const std::vector<std::vector<run_age>>& age) {
    expansion_worker& w = workers_[0];
    const std::size_t states = low_.size();
    std::vector<std::uint32_t> entering(states, 0); // by state: steps into it from listed ones
    std::vector<bool> listed(states, false);
    std::vector<std::uint32_t> reached;   // the listed states, in the order listed
    std::vector<std::uint32_t> unentered; // listed states no step enters any longer
    reached.reserve(states);
    unentered.reserve(states);
    for (std::uint32_t state = 0; state < states; ++state) {
        if (age[c][state] != no_run) {
            listed[state] = true;
            reached.push_back(state);
        }
    }
    std::uint64_t stepped = 0;
    const auto each_step = [&](std::uint32_t state, auto visit) {
        follow_runs(w, state, first + c, 1, 1u);
        for (std::size_t k = 0; k < windows_.size(); ++k) {
            if (w.obliges[k] != 0 && w.successors[k].target != no_index) {
                visit(w.successors[k].target);
            }
        }
        if (++stepped % 65536 == 0) {
            show_progress(false);
        }
    };
    for (std::size_t i = 0; i < reached.size(); ++i) {
        each_step(reached[i], [&](std::uint32_t target) {
            ++entering[target];
            if (!listed[target]) {
                listed[target] = true;
                reached.push_back(target);
            }
        });
    }
    for (std::uint32_t state : reached) {
        if (entering[state] == 0) {
            unentered.push_back(state);
        }
    }
    std::size_t taken = 0;
    while (!unentered.empty()) {
        const std::uint32_t state = unentered.back();
        unentered.pop_back();
        ++taken;
        each_step(state, [&](std::uint32_t target) {
            if (--entering[target] == 0) {
                unentered.push_back(target);
            }
        });
    }
    return taken < reached.size();
}

// The leads-to properties together, forward from their P states one step at a time: each state's
// age for a property is the longest run it ends, from a P state, on which neither Q nor R held
// after any step. A state whose age rises is expanded again at the next level (once for all the
// properties whose age rose there), so a run that reaches N steps shows as an age of N; one that
// can go round for ever does too, or is found by runs_go_round first. The runs start from each P
// state at age 0 (`from_p_states`, `age` all no_run), or, after a search that followed them, from
// the seeds at their ages (`age` as the search left it). Each level is taken block by block by the
// two threads like the breadth-first search; what they find is applied in order by this one. Sets
// `violated` for each property with such a run.
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
    // Around a cycle of steps on which a run goes on, ages rise at every level until they reach
    // N, and a whole region of states can rise with them (an entry begun and timed out, again and
    // again): N levels of it. Once the levels have followed a check's runs into as many states as
    // the set holds, the check is looked at once for such a cycle (runs_go_round, each state its
    // runs reach stepped twice under every window), where the memory limit allows.
    std::vector<std::uint64_t> states_followed(count, 0); // by check
    std::vector<bool> looked_for_cycle(count, false);     // by check
    for (int level = 0; level < deepest; ++level) {
        for (std::size_t c = 0; c < count; ++c) {
            if (!looked_for_cycle[c] && !violated[first + c] && states_followed[c] > 0 &&
                static_cast<double>(states_followed[c]) >=
                    options_.cycle_check_share * static_cast<double>(states)) {
                looked_for_cycle[c] = true;
                // Held now: what the search holds, this pass's marks, lists and seeds, and its
                // ages (those of a pass from the P states are its own). The look adds three
                // numbers and a mark a state.
                const std::uint64_t now = held_bytes() + states * (2 + 8) +
                                          seeds.size() * sizeof(run_seed) +
                                          (from_p_states ? count * states * sizeof(run_age) : 0);
                const std::uint64_t needed = now + states * (3 * sizeof(std::uint32_t) + 1);
                if (options_.max_memory == 0 || needed <= options_.max_memory) {
                    result_.held_bytes = std::max(result_.held_bytes, needed);
                    violated[first + c] = runs_go_round(first, c, age);
                }
            }
        }
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
        for (std::uint32_t state : frontier) {
            for (unsigned checks = rising[state]; checks != 0; checks &= checks - 1) {
                ++states_followed[static_cast<std::size_t>(__builtin_ctz(checks))];
            }
        }
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
        result_.leads_to_levels = std::max<std::uint64_t>(result_.leads_to_levels, next);
        show_progress(false);
    }
}
