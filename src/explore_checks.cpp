// How the steps of a state are checked: by the verdicts remembered for steps alike (see
// explore_verdicts.h), or directly, part by part; and how a check that finds something records it.
#include "explore_search_object.h"

#include <algorithm>

// Records a violation (or a witness) of property p: the step `step` (state << 8 | window).
void explorer::decide(std::size_t p, std::uint64_t step) {
    property_outcome& outcome = result_.outcomes[p];
    outcome.holds = properties_[p].kind == property_kind::reachable;
    outcome.path = path_to(static_cast<std::uint32_t>(step >> 8));
    outcome.path.push_back(windows_[step & 0xFF]);
}

// Whether property p is still open: a step can still decide it.
bool explorer::undecided(std::size_t p) const {
    const bool reachable = properties_[p].kind == property_kind::reachable;
    return result_.outcomes[p].holds != reachable;
}

// Records that part c found a violation (a witness) on window k's step from state `index`, where
// nothing decided its property before.
void explorer::decide_part(expansion_worker& w, const part_check& c, std::uint32_t index,
                           std::size_t k) const {
    if (w.found.decided[c.property] == 0 && open_[c.property] != 0) {
        w.found.decided[c.property] = 1 + ((std::uint64_t{index} << 8) | k);
    }
}

// Checks part c on window k's step, just observed, where nothing decided its property before.
void explorer::check(expansion_worker& w, const part_check& c, std::uint32_t index, std::size_t k) {
    if (w.found.decided[c.property] == 0 && open_[c.property] != 0 && evaluate(c.finding, w.seen)) {
        decide_part(w, c, index, k);
    }
}

// Counts a look-up of verdicts; after a period in which more than half found the slot taken by
// another step's (not merely empty, as while the table fills), the worker checks the next states
// directly: a look-up that misses costs more than checking once.
void explorer::count_lookup(expansion_worker& w, verdict_cache::lookup result) {
    ++w.verdict_lookups;
    w.verdict_misses += result == verdict_cache::lookup::taken ? 1 : 0;
    if (w.verdict_lookups == lookups_a_period) {
        if (w.verdict_misses * 2 > w.verdict_lookups) {
            w.direct_states = direct_period;
        }
        w.verdict_lookups = w.verdict_misses = 0;
    }
}

// Whether the worker looks up the verdicts of the state it is about to step (one state fewer
// to check directly, when it is checking states directly).
bool explorer::remembering(expansion_worker& w) const {
    if (w.direct_states > 0) {
        --w.direct_states;
        return false;
    }
    return remember_verdicts_;
}

// Observes the state before the step, once a state.
void explorer::see_before(expansion_worker& w, const lock_values& before) const {
    if (!w.before_seen) {
        observe_before(before, w.seen);
        w.before_seen = true;
    }
}

// The guards of the parts on steps and of the leads-to checks on the state being expanded: a bit
// each, as verdict_of numbers them.
std::uint64_t explorer::guards_of(expansion_worker& w, const lock_values& before) const {
    const packed_state& b = w.before_classes;
    const verdict_key key{{b.low, 0, b.high, 0, 0}};
    const std::size_t slot = w.guard_verdicts.slot_of(key);
    std::uint64_t verdict = 0;
    const verdict_cache::lookup result = w.guard_verdicts.find(slot, key, verdict);
    count_lookup(w, result);
    if (result == verdict_cache::lookup::found) {
        return verdict;
    }
    see_before(w, before);
    std::size_t bit = 0;
    for (const part_check& c : on_steps_) {
        verdict |= std::uint64_t{c.guard.graph.empty() || evaluate(c.guard, w.seen)} << bit++;
    }
    for (const leads_to_check& c : leads_to_) {
        const expression& guard = guards_[c.property];
        verdict |= std::uint64_t{guard.graph.empty() || evaluate(guard, w.seen)} << bit++;
    }
    w.guard_verdicts.keep(slot, key, verdict);
    return verdict;
}

// The key of window k's step, its counters as classes, for its verdicts; its slot is fetched
// ahead of the look-up. Without relabelling the packed successor holds the merged values the
// checks read; with it they are packed again.
void explorer::key_step(expansion_worker& w, std::size_t k, bool packed) const {
    expansion_worker::successor& next = w.successors[k];
    packed_state after = next.packed;
    next.keyed = packed && (!options_.relabel || pack(next.merged, after));
    if (next.keyed) {
        next.key = key_of(w.before_classes, replace_counters(after, classes_.of), next.signals);
        next.slot = w.verdicts.slot_of(next.key);
        w.verdicts.prefetch(next.slot);
    }
}

// The verdicts of every check on window k's step: remembered from a step alike, or found (and
// remembered where the step has a key).
std::uint64_t explorer::verdict_of(expansion_worker& w, std::size_t k,
                                   const lock_values& before) const {
    const expansion_worker::successor& next = w.successors[k];
    std::uint64_t verdict = 0;
    if (next.keyed) {
        const verdict_cache::lookup result = w.verdicts.find(next.slot, next.key, verdict);
        count_lookup(w, result);
        if (result == verdict_cache::lookup::found) {
            return verdict;
        }
    }
    see_before(w, before);
    observe(next.merged, next.signals, w.seen);
    std::size_t bit = 0;
    for (const part_check& c : on_steps_) {
        verdict |= std::uint64_t{evaluate(c.finding, w.seen)} << bit++;
    }
    for (const leads_to_check& c : leads_to_) {
        const property& p = properties_[c.property];
        verdict |= std::uint64_t{evaluate(p.holds, w.seen) && !evaluate(p.target, w.seen)} << bit++;
    }
    for (std::size_t c = 0; c < followed_; ++c) {
        verdict |= std::uint64_t{run_goes_on(properties_[leads_to_[c].property], w.seen)} << bit++;
    }
    for (const part_check& c : on_states_) {
        verdict |= std::uint64_t{evaluate(c.finding, w.seen)} << bit++;
    }
    if (next.keyed) {
        w.verdicts.keep(next.slot, next.key, verdict);
    }
    return verdict;
}

// Window k's step checked by its verdicts: the parts it violates where their guards let them,
// the active leads-to checks it obliges, the runs that go on through it.
void explorer::apply_verdicts(expansion_worker& w, std::size_t k, std::uint32_t index,
                              const lock_values& before, const state_checks& checks) const {
    expansion_worker::successor& next = w.successors[k];
    next.verdict = verdict_of(w, k, before);
    const std::size_t parts = on_steps_.size();
    const std::uint64_t parts_found =
        next.verdict & checks.guards & ((std::uint64_t{1} << parts) - 1);
    for (std::uint64_t found = parts_found; found != 0; found &= found - 1) {
        decide_part(w, on_steps_[static_cast<std::size_t>(__builtin_ctzll(found))], index, k);
    }
    const std::size_t leads = w.active_leads.size();
    for (std::size_t c = 0; c < leads; ++c) {
        w.obliges[k * leads + c] =
            static_cast<std::uint8_t>(next.verdict >> (parts + w.active_leads[c]) & 1);
    }
    next.runs =
        static_cast<std::uint8_t>((next.verdict >> (parts + leads_to_.size())) & checks.in_runs);
}

// Window k's step, just observed, checked directly: the first tests of all the active parts
// together (a part whose first test finds no violation is done with), then the leads-to checks.
void explorer::check_directly(expansion_worker& w, std::size_t k, std::uint32_t index,
                              const state_checks& checks) {
    expansion_worker::successor& next = w.successors[k];
    for (std::size_t base = 0; base < w.active.size(); base += 64) {
        const std::size_t count = std::min<std::size_t>(64, w.active.size() - base);
        for (std::uint64_t open = open_tests(&w.firsts[base], count, w.seen); open != 0;
             open &= open - 1) {
            check(w, *w.active[base + static_cast<std::size_t>(__builtin_ctzll(open))], index, k);
        }
    }
    const std::size_t leads = w.active_leads.size();
    for (std::size_t c = 0; c < leads; ++c) {
        const property& prop = properties_[leads_to_[w.active_leads[c]].property];
        w.obliges[k * leads + c] = evaluate(prop.holds, w.seen) && !evaluate(prop.target, w.seen);
    }
    next.runs = 0;
    for (unsigned runs = checks.in_runs; runs != 0; runs &= runs - 1) {
        const auto c = static_cast<std::size_t>(__builtin_ctz(runs));
        if (run_goes_on(properties_[leads_to_[c].property], w.seen)) {
            next.runs = static_cast<std::uint8_t>(next.runs | 1u << c);
        }
    }
}

// The checks a state allows its steps: with remembered verdicts, the guards' bits; checked
// directly, the active parts and their first tests in the worker's lists. The active leads-to
// checks go to the worker's list either way.
explorer::state_checks explorer::checks_of(expansion_worker& w, std::uint32_t index,
                                           const lock_values& before) const {
    state_checks checks;
    checks.remember = remembering(w);
    w.before_seen = false;
    w.active.clear();
    w.firsts.clear();
    w.active_leads.clear();
    if (checks.remember) {
        w.before_classes = replace_counters({low_[index], high_[index]}, classes_.of);
        checks.guards = guards_of(w, before);
        for (std::size_t c = 0; c < leads_to_.size(); ++c) {
            if ((checks.guards >> (on_steps_.size() + c) & 1) != 0) {
                w.active_leads.push_back(static_cast<std::uint32_t>(c));
            }
        }
    } else {
        see_before(w, before);
        for (const part_check& c : on_steps_) {
            if (w.found.decided[c.property] == 0 && open_[c.property] != 0 &&
                (c.guard.graph.empty() || evaluate(c.guard, w.seen))) {
                w.active.push_back(&c);
                w.firsts.push_back(c.first);
            }
        }
        for (std::size_t c = 0; c < leads_to_.size(); ++c) {
            const expression& guard = guards_[leads_to_[c].property];
            if (guard.graph.empty() || evaluate(guard, w.seen)) {
                w.active_leads.push_back(static_cast<std::uint32_t>(c));
            }
        }
    }
    // The checks with a run into this state when its round began: only their runs can go on from
    // it. (A state whose first run comes later is followed again after the search.)
    for (std::size_t c = 0; c < followed_; ++c) {
        if (run_age_[c][index] != no_run) {
            checks.in_runs |= 1u << c;
        }
    }
    return checks;
}
