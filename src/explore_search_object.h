// The exploration's search as one object: the state set and the states in the order found, the
// property checks, the leads-to search; shared by the files that implement it.
#pragma once

#include "explore_arcs.h"
#include "explore_helper_thread.h"
#include "explore_search.h"
#include "explore_table.h"
#include "explore_worker.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

// The first step of the search into each state where a leads-to's P holds without its Q.
struct obligation {
    std::uint32_t target;
    std::uint32_t from;
    std::uint8_t window;
};

struct leads_to_check {
    std::size_t property;
    std::vector<obligation> obligations; // in the order the search met them: shortest first
    std::vector<bool> recorded; // by state: an obligation into it is recorded (sized with the
                                // state arrays)
};

// A property is checked in parts: a never's disjuncts and an always's conjuncts one by one. A
// part finds a violation (a reachable's witness) where its guard holds on the state before the
// step and `finding` on the step: never and reachable where the part holds, always where it does
// not. The guard is checked once a state.
struct part_check {
    std::size_t property;
    expression finding;
    expression guard; // values before the step; empty: none
    first_test first; // the first test of `finding`, settling it where it finds nothing
};

// Whether a leads-to's run goes on through the step just observed: neither Q nor R holds after it.
inline bool run_goes_on(const property& p, const observation& seen) {
    return !evaluate(p.target, seen) && !(p.has_excuse && evaluate(p.excuse, seen));
}

// A run's length in steps, from a state where P holds without Q, on which neither Q nor R held.
using run_age = std::uint16_t;
constexpr run_age no_run = 0xFFFF;

class explorer {
  public:
    explorer(const explore_options& options, const std::vector<property>& properties);
    explorer(const explorer&) = delete;
    explorer& operator=(const explorer&) = delete;

    explore_result run();

  private:
    bool add_start();
    void search();
    void finish_search();
    void expand(expansion_worker& w, std::uint32_t index);
    void expand_range(expansion_worker& w, std::uint32_t from, std::uint32_t to);
    // Numbers 0..blocks-1 handed out in turn to this thread and the helper (when there is one and
    // `split`), which call `work(worker, block)` for each; this thread runs `first` before it
    // takes any, and none are taken after `first` returns false. Each thread takes its blocks in
    // ascending order.
    template <typename Work, typename First>
    void share_blocks(std::size_t blocks, bool split, Work work, First first) {
        next_block_.store(0, std::memory_order_relaxed);
        const auto take = [this, blocks, &work](std::uint8_t worker) {
            for (std::size_t block = next_block_++; block < blocks; block = next_block_++) {
                if (!work(worker, block)) {
                    return;
                }
            }
        };
        const auto mine = [&] {
            if (first()) {
                take(0);
            } else {
                next_block_.store(blocks);
            }
        };
        if (helper_.running() && split) {
            auto theirs = [&take] { take(1); };
            helper_.run_beside(&theirs, mine);
        } else {
            mine();
        }
    }
    void expand_round(std::uint32_t from, std::uint32_t to, bool merge_beside);
    bool merge_fits_beside() const;
    void merge_round();
    bool add_step(const pending_step& step, const std::vector<std::uint32_t>& obliged,
                  std::size_t& obliged_at);
    void lengthen_run(std::size_t c, std::uint32_t state, run_age age, std::uint32_t from);
    void apply_later_ages(std::uint32_t from, std::uint32_t to);
    void hand_over_round(std::uint32_t from);
    void discard_round();
    void decide(std::size_t p, std::uint64_t step);
    bool undecided(std::size_t p) const;
    void check(expansion_worker& w, const part_check& c, std::uint32_t index, std::size_t k);
    void decide_part(expansion_worker& w, const part_check& c, std::uint32_t index,
                     std::size_t k) const;
    bool check_merge(expansion_worker& w, const lock_values& unmerged, const lock_values& canonical,
                     const int mapping[10]);
    // Relabels the merged values' digits where the search does (`mapping` gets the relabelling,
    // the identity without one) and packs them as the set holds them; false, with `problem` set,
    // when a value lies outside the controllers' ranges.
    bool pack_canonical(lock_values& merged, int mapping[10], packed_state& packed,
                        std::string& problem) const;
    packed_state canonical_of(lock_values values, int mapping[10], std::string& problem) const;
    // Whether the set and the arrays by state take one more state as they are, below every limit.
    bool room_is_ready() const;
    // Makes room for one more state (growing the set or the arrays); false, the search stopped,
    // when a limit does not allow it.
    bool room_for_one_more();
    void add_state_arrays(const packed_state& packed, std::uint32_t parent, std::uint8_t window);
    bool obligation_list_full(const std::vector<std::uint32_t>& obliged, std::size_t from,
                              std::size_t to) const;
    bool room_for_obligations(const std::vector<std::uint32_t>& obliged, std::size_t from,
                              std::size_t to, std::uint32_t target);
    bool over_memory_limit(std::uint64_t after, const char* what);
    // Ends the search as incomplete for `problem`, unless it stopped for another reason already.
    void stop(const std::string& problem);
    void check_leads_to(leads_to_check& check, expansion_worker& w);
    void follow_runs(expansion_worker& w, std::uint32_t state, std::size_t first, std::size_t count,
                     unsigned rising) const;
    void check_all_leads_to();
    // A state at which a pass of the leads-to check starts following runs, its age there.
    struct run_seed {
        run_age age;
        std::uint8_t check; // from the pass's first
        std::uint32_t state;
    };
    template <typename Visit> void each_seed(Visit visit) const;
    std::uint64_t runs_bytes() const;
    void forget_runs();
    void find_long_runs(std::size_t first, std::size_t count, std::vector<bool>& violated,
                        std::vector<std::vector<run_age>>& age, bool from_p_states,
                        const std::vector<run_seed>& seeds);
    bool runs_go_round(std::size_t first, std::size_t c,
                       const std::vector<std::vector<run_age>>& age);
    // Window 0 of a state loads it; each later window of the same state puts back what it loaded.
    bool load_window(expansion_worker& w, const lock_values& before, std::size_t k) const;
    bool step_anew(expansion_worker& w, std::size_t k) const;
    bool steps_as_earlier(const expansion_worker& w, std::size_t k) const;
    void observe_step(expansion_worker& w, std::size_t k, bool observing) const;
    bool pack_step(expansion_worker& w, std::size_t k) const;
    // How a state's steps are checked (explore_checks.cpp).
    struct state_checks {
        bool remember = false;    // by remembered verdicts, not directly
        std::uint64_t guards = 0; // remembered: the guards' bits, as verdict_of numbers them
        unsigned in_runs = 0;     // the leads-to checks followed here with a run into the state
    };
    state_checks checks_of(expansion_worker& w, std::uint32_t index,
                           const lock_values& before) const;
    void check_directly(expansion_worker& w, std::size_t k, std::uint32_t index,
                        const state_checks& checks);
    void key_step(expansion_worker& w, std::size_t k, bool packed) const;
    std::uint64_t verdict_of(expansion_worker& w, std::size_t k, const lock_values& before) const;
    void apply_verdicts(expansion_worker& w, std::size_t k, std::uint32_t index,
                        const lock_values& before, const state_checks& checks) const;
    std::uint64_t guards_of(expansion_worker& w, const lock_values& before) const;
    void see_before(expansion_worker& w, const lock_values& before) const;
    std::vector<key_window> path_to(std::uint32_t index) const;
    lock_values stored(std::uint32_t index) const { return unpack({low_[index], high_[index]}); }
    void fail(const std::string& problem) {
        if (result_.status != explore_status::failed) {
            result_.status = explore_status::failed;
            result_.problem = problem;
        }
    }
    void show_progress(bool last);
    std::uint64_t held_bytes() const;

    const explore_options& options_;
    const std::vector<property>& properties_;
    std::vector<key_window> windows_;
    expansion_worker workers_[2];
    state_table table_;
    std::vector<std::uint64_t> low_;
    std::vector<std::uint32_t> high_;
    std::vector<std::uint32_t> parent_;
    std::vector<std::uint8_t> window_;
    std::size_t state_room_ = 0; // the states the arrays by state have room for
    std::vector<std::uint32_t> level_start_;
    std::vector<leads_to_check> leads_to_;
    // The first leads-to checks (at most one pass of them) are followed in the search itself: the
    // merge, taking the steps in the order of their states, lengthens the runs through each step
    // from the age its state has by then. Each state's age by check (added with the state); the
    // checks found violated; by state, the checks whose age in it came too late for its own steps
    // (see lengthen_run), for the check after the search; and by check and state of the round
    // being expanded beside the merge, the ages the merge kept back until the round ends.
    static constexpr std::size_t runs_at_once = 8; // the checks a pass follows together
    static constexpr std::size_t verdict_slots = std::size_t{1} << 17; // by worker
    static constexpr std::uint32_t lookups_a_period = 1u << 14;
    static constexpr std::uint32_t direct_period = 1u << 16; // states
    static void count_lookup(expansion_worker& w, verdict_cache::lookup result);
    bool remembering(expansion_worker& w) const;
    std::size_t followed_ = 0;
    std::vector<std::vector<run_age>> run_age_;
    std::vector<std::uint8_t> run_violated_;
    int run_within_[runs_at_once] = {}; // by check: its N
    std::vector<std::uint8_t> rose_late_;
    std::vector<run_age> later_age_;
    std::uint32_t expanded_ = 0;        // the states of the rounds the search finished expanding
    std::uint32_t expanding_end_ = 0;   // the states the search expanded or is expanding
    bool stopped_at_depth_ = false;     // the search stopped only because of --max-depth
    std::vector<part_check> on_steps_;  // parts that read the step
    std::vector<part_check> on_states_; // parts of the state alone: checked once per state
    std::vector<expression> guards_;    // by property: what a leads-to's P needs before the step
    // The verdicts of a step, remembered for the steps alike (explore_verdicts.h): a bit for each
    // part on steps, then for each leads-to whether the step is a P without Q, then for each
    // leads-to followed in the search whether its run goes on through the step, then for each
    // part of the state alone whether the state after the step violates it.
    bool remember_verdicts_ = false;
    counter_classes classes_;
    std::uint64_t verdict_bytes_ = 0; // the workers' tables of them
    // A round of at most `round_states_` states is split into blocks that the two threads take in
    // turn; where each block's steps end in its worker's lists, for this round and for the one
    // before until its merge.
    std::uint32_t round_states_;
    std::uint32_t block_states_;
    std::uint32_t round_visible_ = 0; // the states the round's look-ups see
    std::uint32_t finished_from_ = 0; // the first state of the round before
    std::atomic<std::size_t> next_block_{0};
    std::vector<block_end> blocks_;
    std::vector<block_end> finished_blocks_;
    // By property: open when the round began (the expanding threads read this, not the verdicts
    // the merge beside them writes).
    std::vector<std::uint8_t> open_;
    std::uint64_t round_lists_bytes_ = 0; // the workers' lists of a round, as prepared, and the
                                          // ages the merge keeps back for one
    explore_result result_;
    std::uint64_t all_arcs_ = (std::uint64_t{1} << controller_arcs().size()) - 1;
    std::chrono::steady_clock::time_point started_ = std::chrono::steady_clock::now();
    std::chrono::steady_clock::time_point last_progress_ = started_;
    bool progress_shown_ = false;
    int leads_to_level_ = 0; // how far the leads-to check has gone, for the progress line
    // Last, so that it is gone (its thread joined) before anything its jobs read.
    helper_thread helper_;
};
