// The merge of a round's steps: block by block in the order of their states, new states added to
// the set and numbered as one thread expanding the states in order would number them, with their
// leads-to obligations and the runs the search follows lengthened through each step.
#include "explore_search_object.h"

#include <algorithm>

// Adds what the finished round's steps found to the set, block by block in the order of their
// states: new states take the next numbers, so the states are numbered as one thread expanding
// them in order would number them.
void explorer::merge_round() {
    // A fault found in a block ends the round there, as it ends the expansion of one thread: the
    // blocks after it, which the other thread went on with, are not merged, counted or checked.
    std::size_t blocks = finished_blocks_.size();
    const expansion_worker* failed = nullptr;
    for (const expansion_worker& w : workers_) {
        const round_output& found = w.finished;
        if (!found.problem.empty() && found.problem_block < blocks) {
            blocks = found.problem_block + 1;
            failed = &w;
        }
    }
    const std::uint64_t past_blocks =
        std::uint64_t{finished_from_} + std::uint64_t{blocks} * block_states_;
    // The first step that decides a property: each worker noted its first, in the order of its
    // states.
    for (std::size_t p = 0; p < properties_.size(); ++p) {
        std::uint64_t first = 0;
        for (expansion_worker& w : workers_) {
            const std::uint64_t step = w.finished.decided[p];
            if (step != 0 && ((step - 1) >> 8) < past_blocks && (first == 0 || step < first)) {
                first = step;
            }
        }
        if (first != 0 && undecided(p)) {
            decide(p, first - 1);
        }
    }
    // After a limit was met, the steps of the rest of the round are counted and their verdicts
    // kept, as one thread expanding the whole round would, but nothing more is added.
    bool good = result_.status == explore_status::complete;
    std::size_t pending_at[2] = {0, 0};
    std::size_t obliged_at[2] = {0, 0};
    std::uint64_t counted[2][2] = {{0, 0}, {0, 0}}; // by worker: transitions, merge checks
    constexpr std::size_t ahead = 8;
    for (std::size_t b = 0; b < blocks; ++b) {
        const block_end& block = finished_blocks_[b];
        if (block.worker == block_end::none) {
            continue;
        }
        std::uint64_t* count = counted[block.worker];
        result_.transitions += block.transitions - count[0];
        result_.merge_checks += block.merge_checks - count[1];
        count[0] = block.transitions;
        count[1] = block.merge_checks;
        const std::vector<pending_step>& pending = workers_[block.worker].finished.pending;
        const std::vector<std::uint32_t>& obliged = workers_[block.worker].finished.obliged;
        std::size_t& i = pending_at[block.worker];
        std::size_t& o = obliged_at[block.worker];
        for (; i < block.pending && good; ++i) {
            if (i + ahead < pending.size() && pending[i + ahead].target == no_index) {
                table_.prefetch(pending[i + ahead].hash);
            }
            good = add_step(pending[i], obliged, o);
        }
    }
    for (expansion_worker& w : workers_) {
        result_.arcs |= w.finished.arcs;
    }
    if (failed != nullptr) {
        fail(failed->finished.problem);
    }
    for (expansion_worker& w : workers_) {
        w.finished.clear();
    }
    finished_blocks_.clear();
}

namespace {

// The longer of two ages, no_run the shortest.
run_age longer(run_age a, run_age b) {
    return a == no_run ? b : b == no_run ? a : std::max(a, b);
}

} // namespace

// Lengthens check c's runs into `state` to `age` steps, from a step of state `from` the merge
// takes in order. A state being expanded beside this merge keeps the age its expansion saw until
// its round ends (apply_later_ages), so that what the expansion sees does not depend on how far
// the merge has come. The age comes too late for the state's own steps when they were merged
// already, or when it is the state's first and the state was expanded (or is being expanded)
// without following c, as it had no run; such a state is followed again after the search.
void explorer::lengthen_run(std::size_t c, std::uint32_t state, run_age age, std::uint32_t from) {
    run_age* kept = &run_age_[c][state];
    // The age the state's expansion saw or will see (or one that came too late for it already).
    const run_age seen = *kept;
    if (state >= expanded_ && state < expanding_end_) {
        kept = &later_age_[c * round_states_ + (state - expanded_)];
    }
    const run_age known = longer(seen, *kept);
    if (run_violated_[c] != 0 || (known != no_run && known >= age)) {
        return;
    }
    *kept = age;
    if (age >= run_within_[c]) {
        run_violated_[c] = 1;
    } else if (state <= from || (seen == no_run && state < expanding_end_)) {
        rose_late_[state] = static_cast<std::uint8_t>(rose_late_[state] | 1u << c);
    }
}

// Gives the states from..to of the round just expanded the ages the merge beside it kept back.
void explorer::apply_later_ages(std::uint32_t from, std::uint32_t to) {
    for (std::size_t c = 0; c < followed_; ++c) {
        run_age* later = &later_age_[c * round_states_];
        for (std::uint32_t state = from; state < to; ++state) {
            run_age& age = later[state - from];
            if (age != no_run) {
                run_age_[c][state] = longer(run_age_[c][state], age);
                age = no_run;
            }
        }
    }
}

// Adds one step's successor to the set when it is new, and its leads-to obligations; false when a
// limit stops the search.
bool explorer::add_step(const pending_step& step, const std::vector<std::uint32_t>& obliged,
                        std::size_t& obliged_at) {
    const bool obliges = obliged_at != step.obliged_end;
    std::uint32_t target = step.target;
    if (target == no_index &&
        (!room_is_ready() ||
         (obliges && obligation_list_full(obliged, obliged_at, step.obliged_end)))) {
        // At a limit, or where the set or a leads-to list must grow first: a step into a state
        // that this merge added already needs no room for that state, nor for an obligation into
        // it that is recorded already, so the state is looked up before room is asked for.
        target = table_.find(step.packed, step.hash);
    }
    if (obliges && !room_for_obligations(obliged, obliged_at, step.obliged_end, target)) {
        return false;
    }
    if (target == no_index) {
        if (!room_for_one_more()) {
            return false;
        }
        const auto fresh = static_cast<std::uint32_t>(low_.size());
        target = table_.find_or_insert(step.packed, step.hash, fresh);
        if (target == no_index) {
            target = fresh;
            add_state_arrays(step.packed, step.parent, step.window);
        }
    }
    for (; obliged_at < step.obliged_end; ++obliged_at) {
        const std::uint32_t c = obliged[obliged_at];
        if (c < followed_) {
            lengthen_run(c, target, 0, step.parent);
        }
        leads_to_check& check = leads_to_[c];
        if (check.recorded[target]) {
            continue;
        }
        check.recorded[target] = true;
        check.obligations.push_back({target, step.parent, step.window});
    }
    for (unsigned runs = step.runs; runs != 0; runs &= runs - 1) {
        const auto c = static_cast<std::size_t>(__builtin_ctz(runs));
        const run_age age = run_age_[c][step.parent];
        if (age != no_run) {
            lengthen_run(c, target, static_cast<run_age>(age + 1), step.parent);
        }
    }
    return true;
}
