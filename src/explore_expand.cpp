// The expansion of a state: each window stepped on the worker's own signal set, the property
// parts checked on each step, and the successors looked up in the state set, for the merge.
#include "explore_search_object.h"

#include <algorithm>
#include <string>

bool explorer::check_merge(expansion_worker& w, const lock_values& unmerged,
                           const lock_values& canonical, const int mapping[10]) {
    ++w.found.merge_checks;
    for (const key_window& window : windows_) {
        step_signals signals;
        int unused[10];
        load_values(w.loop, unmerged, &w.own_code);
        const packed_state a =
            canonical_of(step_window(w.loop, options_.step, window, signals, &w.own_code), unused,
                         w.found.problem);
        load_values(w.loop, canonical, &w.own_code);
        const packed_state b =
            canonical_of(step_window(w.loop, options_.step, relabel_window(window, mapping),
                                     signals, &w.own_code),
                         unused, w.found.problem);
        if (!(a == b)) {
            return false;
        }
    }
    return true;
}

// Loads `before` into the worker's loop with window k's keys; false when an earlier window of the
// same state left the same inputs, so that this one steps as that one did. Window 0 loads the
// values; the later windows of the same state put back what it loaded.
bool explorer::load_window(expansion_worker& w, const lock_values& before, std::size_t k) const {
    if (k == 0) {
        load_values(w.loop, before, &w.own_code);
        save_loaded(w.loop, w.own_code, w.loaded);
    } else {
        restore_loaded(w.loop, w.own_code, w.loaded);
    }
    apply_window(w.loop, windows_[k]);
    window_inputs& inputs = w.successors[k].inputs;
    inputs = inputs_of(w.loop);
    for (std::size_t j = 0; j < k; ++j) {
        if (w.successors[j].inputs == inputs) {
            return false;
        }
    }
    return true;
}

bool explorer::pack_canonical(lock_values& merged, int mapping[10], packed_state& packed,
                              std::string& problem) const {
    static constexpr int identity[10] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9};
    if (options_.relabel) {
        relabel_digits(merged, options_.digits, mapping);
    } else {
        std::copy(identity, identity + 10, mapping);
    }
    if (!pack(merged, packed)) {
        if (problem.empty()) {
            problem = "a state outside the ranges of the controllers' rules was reached";
        }
        return false;
    }
    return true;
}

// Whether window k, stepped, reached the very values an earlier window of the state reached and
// raised the very same signals: then every check, the successor and the obligations are that
// window's already. A window of two keys can step as one of them alone (a digit is decoded only
// alone), so with the two-key windows each window is compared with those before it. A key alone
// that is not dropped before the step is always decoded and raises a signal of its own, so single
// keys step alike only where they leave the same inputs (load_window finds those): an alphabet of
// single keys compares nothing.
bool explorer::steps_as_earlier(const expansion_worker& w, std::size_t k) const {
    if (!options_.pairs) {
        return false;
    }
    const expansion_worker::successor& next = w.successors[k];
    for (std::size_t j = 0; j < k; ++j) {
        const expansion_worker::successor& earlier = w.successors[j];
        if (!earlier.repeats && same_signals(earlier.signals, next.signals) &&
            earlier.after == next.after) {
            return true;
        }
    }
    return false;
}

// Steps the loaded window k; false when the step repeats an earlier window's (steps_as_earlier),
// which leaves nothing more to do for it.
bool explorer::step_anew(expansion_worker& w, std::size_t k) const {
    expansion_worker::successor& next = w.successors[k];
    next.after = step_applied(w.loop, options_.step, next.signals, &w.own_code);
    next.repeats = steps_as_earlier(w, k);
    return !next.repeats;
}

// The state after window k's step as the properties see it, its counters merged. When
// `observing` (a step checked directly), it and what the step raised go into the worker's
// observation, which holds the values before the step already.
void explorer::observe_step(expansion_worker& w, std::size_t k, bool observing) const {
    expansion_worker::successor& next = w.successors[k];
    next.merged = next.after;
    merge_counters(next.merged);
    if (observing) {
        observe(next.merged, next.signals, w.seen);
    }
}

// The state after window k's step as the set holds it: merged, relabelled and packed; false when
// it cannot be packed (a value out of its range: the worker's problem says so).
bool explorer::pack_step(expansion_worker& w, std::size_t k) const {
    expansion_worker::successor& next = w.successors[k];
    next.canonical = next.merged;
    return pack_canonical(next.canonical, next.mapping, next.packed, w.found.problem);
}

// Steps the state under every window: the properties of each step, then the successors looked
// up in the set as the round began; the steps that the merge must see go to the worker's list.
void explorer::expand(expansion_worker& w, std::uint32_t index) {
    const lock_values before = stored(index);
    const state_checks checks = checks_of(w, index, before);
    const std::size_t leads = w.active_leads.size();
    // First every successor (checked directly, or its verdicts' slot fetched); then the slots of
    // the set fetched together (the processor can then look their pages up side by side); then
    // the remembered verdicts and the look-ups, whose memory is on its way by then. A successor
    // the same as an earlier window's is looked up once.
    for (std::size_t k = 0; k < windows_.size(); ++k) {
        expansion_worker::successor& next = w.successors[k];
        ++w.found.transitions;
        // A window that leaves the inputs an earlier one left steps as that one did: its checks,
        // its successor and its obligations are that window's already.
        next.repeats = !load_window(w, before, k);
        if (next.repeats) {
            continue;
        }
        if (!step_anew(w, k)) {
            continue;
        }
        if (options_.arcs && w.found.arcs != all_arcs_) {
            w.found.arcs |= arcs_of_step(before, next.signals, next.after);
        }
        observe_step(w, k, !checks.remember);
        if (!checks.remember) {
            check_directly(w, k, index, checks);
        }
        const bool packed = pack_step(w, k);
        if (checks.remember) {
            key_step(w, k, packed);
        }
        if (!packed) {
            // The search fails with the worker's problem; the steps so far are checked first.
            for (std::size_t j = 0; checks.remember && j <= k; ++j) {
                if (!w.successors[j].repeats) {
                    apply_verdicts(w, j, index, before, checks);
                }
            }
            return;
        }
        next.same_as = -1;
        for (std::size_t j = 0; j < k; ++j) {
            if (!w.successors[j].repeats && w.successors[j].packed == next.packed) {
                next.same_as = static_cast<int>(j);
                break;
            }
        }
        if (next.same_as < 0) {
            next.hash = state_table::hash(next.packed);
        }
    }
    for (const expansion_worker::successor& next : w.successors) {
        if (!next.repeats && next.same_as < 0) {
            table_.prefetch(next.hash);
        }
    }
    for (std::size_t k = 0; checks.remember && k < windows_.size(); ++k) {
        if (!w.successors[k].repeats) {
            apply_verdicts(w, k, index, before, checks);
        }
    }
    for (std::size_t k = 0; k < windows_.size(); ++k) {
        expansion_worker::successor& next = w.successors[k];
        if (next.repeats) {
            continue;
        }
        const bool first = next.same_as < 0;
        if (first) {
            next.target = table_.find(next.packed, next.hash, round_visible_);
        } else {
            const expansion_worker::successor& same =
                w.successors[static_cast<std::size_t>(next.same_as)];
            next.target = same.target;
            next.hash = same.hash;
        }
        const std::size_t obliged_before = w.found.obliged.size();
        for (std::size_t c = 0; c < leads; ++c) {
            if (w.obliges[k * leads + c] != 0) {
                w.found.obliged.push_back(w.active_leads[c]);
            }
        }
        if (next.target == no_index && first) {
            if (checks.remember) {
                const std::size_t from = on_steps_.size() + leads_to_.size() + followed_;
                for (std::uint64_t found = next.verdict >> from; found != 0; found &= found - 1) {
                    decide_part(w, on_states_[static_cast<std::size_t>(__builtin_ctzll(found))],
                                index, k);
                }
            } else if (!on_states_.empty()) {
                observe(next.merged, step_signals{}, w.seen);
                for (const part_check& c : on_states_) {
                    check(w, c, index, k);
                }
            }
            if (!(next.after == next.canonical) &&
                (options_.check_every_merge || (next.hash >> 58) == 0) &&
                !check_merge(w, next.after, next.canonical, next.mapping) &&
                w.found.problem.empty()) {
                w.found.problem = "a merge does not hold: the state reached by " +
                                  std::to_string(path_to(index).size() + 1) +
                                  " steps and its merged form step to different states";
                return;
            }
        }
        if (next.target == no_index || w.found.obliged.size() != obliged_before || next.runs != 0) {
            w.found.misses += next.target == no_index ? 1 : 0;
            w.found.pending.push_back({next.packed, index, next.hash, next.target,
                                       static_cast<std::uint32_t>(w.found.obliged.size()),
                                       static_cast<std::uint8_t>(k), next.runs});
        }
    }
}

void explorer::expand_range(expansion_worker& w, std::uint32_t from, std::uint32_t to) {
    for (std::uint32_t index = from; index < to && w.found.problem.empty(); ++index) {
        expand(w, index);
    }
}
