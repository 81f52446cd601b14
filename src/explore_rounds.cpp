// The search's rounds: each level's states in rounds that two threads take block by block, each
// stepping its own signal set and looking successors up in the state set; then the steps merged
// in order into the set (explore_merge.cpp; beside the next round's expansion when that cannot
// make the set grow), so that states are numbered and counterexamples chosen exactly as one
// thread expanding the states in order would.
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
