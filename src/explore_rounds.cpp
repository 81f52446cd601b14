// The search's rounds: each level's states in rounds that two threads take block by block, each
// stepping its own signal set and looking successors up in the state set; then the steps merged
// in order into the set (beside the next round's expansion when that cannot make the set grow),
// so that states are numbered and counterexamples chosen exactly as one thread expanding the
// states in order would.
#include "explore_search_object.h"

#include <algorithm>
#include <string>

// Breadth first, a level at a time, each level in rounds of states. A round's steps are merged
// beside the expansion of the next round when that cannot make the set grow. A level's states are
// only all known once the last round of the level before is merged, so the first round of a level
// beside that merge takes the states added so far (when there are enough to share).
void explorer::search() {
    std::uint32_t index = 0;
    std::uint32_t level_end = 0; // no_index: not known until the merge beside this round
    bool unmerged = false;       // the round before waits for its merge
    const auto merge_now = [&] {
        if (unmerged) {
            merge_round();
            unmerged = false;
        }
        return result_.status == explore_status::complete;
    };
    while (result_.status == explore_status::complete) {
        bool beside = unmerged && merge_fits_beside();
        if (index == level_end) {
            beside = beside && low_.size() - index >= block_states_;
            if (!beside && (!merge_now() || index == low_.size())) {
                break;
            }
            if (options_.max_depth != 0 && level_start_.size() >= options_.max_depth) {
                if (merge_now()) {
                    stop("the depth limit of " + std::to_string(options_.max_depth) +
                         " steps was reached");
                    stopped_at_depth_ = true;
                }
                break;
            }
            level_start_.push_back(index);
            level_end = beside ? no_index : static_cast<std::uint32_t>(low_.size());
        } else if (!beside && !merge_now()) {
            break;
        }
        const auto known_end =
            level_end == no_index ? static_cast<std::uint32_t>(low_.size()) : level_end;
        const std::uint32_t end =
            known_end - index > round_states_ ? index + round_states_ : known_end;
        // A round that a limit or a failed allocation stops in the merge beside it is dropped,
        // and with it the level it began.
        const auto drop_level = [&] {
            if (level_end == no_index) {
                level_start_.pop_back();
            }
        };
        expanding_end_ = end;
        try {
            expand_round(index, end, beside);
        } catch (...) {
            drop_level();
            throw;
        }
        if (beside) {
            apply_later_ages(index, end);
        }
        unmerged = false;
        if (result_.status != explore_status::complete) {
            discard_round();
            drop_level();
            break;
        }
        if (level_end == no_index) {
            level_end = static_cast<std::uint32_t>(low_.size());
        }
        hand_over_round(index);
        unmerged = true;
        index = end;
        expanded_ = end;
        show_progress(false);
    }
}

// Expands the states from..to on both threads, block by block. With `merge_beside`, this thread
// first merges the round before, which cannot make the set grow (so the other thread's look-ups
// stay valid), and then joins in.
void explorer::expand_round(std::uint32_t from, std::uint32_t to, bool merge_beside) {
    blocks_.assign((to - from + block_states_ - 1) / block_states_, {0, 0, 0, block_end::none});
    // The round's look-ups see the states found before it, not those the merge beside it adds
    // meanwhile: what the round finds does not depend on how far that merge has come.
    round_visible_ = static_cast<std::uint32_t>(low_.size());
    for (std::size_t p = 0; p < properties_.size(); ++p) {
        open_[p] = undecided(p) ? 1 : 0;
    }
    const auto expand_block = [this, from, to](std::uint8_t worker, std::size_t block) {
        expansion_worker& w = workers_[worker];
        const auto first = static_cast<std::uint32_t>(from + block * block_states_);
        expand_range(w, first, std::min(first + block_states_, to));
        blocks_[block] = {static_cast<std::uint32_t>(w.found.pending.size()), w.found.transitions,
                          w.found.merge_checks, worker};
        if (!w.found.problem.empty()) {
            w.found.problem_block = static_cast<std::uint32_t>(block);
            return false;
        }
        return true;
    };
    // The round is dropped when the merge beside it stops the search.
    const auto merge_first = [&] {
        if (merge_beside) {
            merge_round();
        }
        return result_.status == explore_status::complete;
    };
    constexpr std::uint32_t worth_splitting = 256;
    share_blocks(blocks_.size(), merge_beside || to - from >= worth_splitting, expand_block,
                 merge_first);
}

// Whether the finished round can be merged while the next one is expanded: not when its new
// states could make the set or the arrays of states grow under the other thread's reads.
bool explorer::merge_fits_beside() const {
    std::uint64_t misses = 0;
    for (const expansion_worker& w : workers_) {
        misses += w.finished.misses;
    }
    return table_.has_room_for(misses) && low_.size() + misses <= state_room_;
}

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
    if (obliged_at != step.obliged_end &&
        !room_for_obligations(obliged, obliged_at, step.obliged_end, step.target)) {
        return false;
    }
    std::uint32_t target = step.target;
    if (target == no_index && !room_is_ready()) {
        // At a limit, or where the set must grow first: a step to a state that this merge added
        // already needs no room, so only a new state is refused.
        target = table_.find(step.packed, step.hash);
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

// The round just expanded (its first state `from`) goes to its merge; the workers start the next
// one anew.
void explorer::hand_over_round(std::uint32_t from) {
    finished_from_ = from;
    for (expansion_worker& w : workers_) {
        std::swap(w.found, w.finished); // merged and cleared by now
    }
    std::swap(blocks_, finished_blocks_);
}

// Drops the round just expanded: the search stopped while it was merging the one before.
void explorer::discard_round() {
    for (expansion_worker& w : workers_) {
        w.found.clear();
    }
    blocks_.clear();
}
