// What one thread of the search needs to expand states, and what the steps of a round of states
// found on it, in the order found, for the merge.
#pragma once

#include "explore_properties.h"
#include "explore_step.h"
#include "explore_verdicts.h"

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

struct part_check; // a part of a property, checked on the steps

// A step the ordered merge must see: its successor was not in the set when looked up, it obliges
// a leads-to, or a leads-to's run goes on through it.
struct pending_step {
    packed_state packed;
    std::uint32_t parent;
    std::uint64_t hash;
    std::uint32_t target;      // no_index: not in the set when looked up
    std::uint32_t obliged_end; // past its leads-to indices in the worker's `obliged`
    std::uint8_t window;
    std::uint8_t runs; // the leads-to checks followed in the search whose run goes on through it
};

// What the steps of one round of states found on one thread, in the order found, handed over
// whole to the merge while the thread expands the next round.
struct round_output {
    std::vector<pending_step> pending;
    std::vector<std::uint32_t> obliged; // leads-to indices, a run of them a pending step
    std::vector<std::uint64_t> decided; // by property: 1 + (state << 8 | window) of the first
                                        // step that decides it here; 0: none
    std::uint64_t transitions = 0;
    std::uint64_t merge_checks = 0;
    std::uint64_t arcs = 0;
    std::uint64_t misses = 0; // pending steps whose successor was not in the set: the most
                              // states their merge can add
    std::string problem;
    std::uint32_t problem_block = 0; // the block of states where `problem` was found

    // Empty again, its lists keeping their memory.
    void clear() {
        pending.clear();
        obliged.clear();
        std::fill(decided.begin(), decided.end(), 0);
        transitions = merge_checks = arcs = misses = 0;
        problem.clear();
        problem_block = 0;
    }
};

// Where a block of a round's states left its worker's list and counts: its steps are merged from
// where the worker's previous block left them.
struct block_end {
    std::uint32_t pending;
    std::uint64_t transitions;
    std::uint64_t merge_checks;
    std::uint8_t worker; // none: not expanded (the round stopped first)
    static constexpr std::uint8_t none = 0xFF;
};

// What one thread needs to expand states: its own signal set to step and its own scratch; and
// what the steps of its states found, in the order found, for the merge. Aligned to cache lines of
// its own (its size then a multiple of them) so that two workers side by side share none.
struct alignas(128) expansion_worker {
    expansion_worker() = default;
    ~expansion_worker() {
        if (loop.signals != nullptr) {
            loop.signals->control->buffer->registered = nullptr;
            release_signals(loop.signals);
        }
    }
    expansion_worker(const expansion_worker&) = delete;
    expansion_worker& operator=(const expansion_worker&) = delete;

    // One state's successors, one a window.
    struct successor {
        lock_values after;     // as stepped
        lock_values merged;    // the counters merged
        lock_values canonical; // and the digits relabelled
        packed_state packed;
        std::uint64_t hash;
        std::uint32_t target;
        window_inputs inputs; // what the window left in the loop for the step
        step_signals signals; // what the step raised
        bool repeats;         // an earlier window of the same state left the same inputs, or
                              // stepped to the same values with the same signals
        std::uint8_t runs;    // as in pending_step
        verdict_key key;      // the step's key for its verdicts, where `keyed`
        std::size_t slot;     // its slot in the worker's verdicts
        bool keyed;
        std::uint64_t verdict; // the checks' verdicts on the step (explorer::verdict_of)
        int same_as; // an earlier window of the same state with the same successor; -1: none
        int mapping[10];
    };

    // Makes the signal set and the scratch, between two fences, so that nothing another thread
    // writes shares a cache line with what this worker writes every step. The lists of a round
    // are made large enough for every step of `round_states` states (a step adds one pending step
    // at most, and one obligation for each leads-to), so that they never grow: the memory they
    // hold does not depend on how a round's blocks fall to the two threads.
    void prepare(std::size_t windows, std::size_t leads_to, std::size_t properties,
                 std::size_t round_states) {
        fences[0].resize(256);
        create_signal_set(loop);
        successors.resize(windows);
        obliges.resize(windows * leads_to);
        found.decided.resize(properties);
        finished.decided.resize(properties);
        active.reserve(64);
        firsts.reserve(64);
        active_leads.reserve(16);
        // (Two states at least: the leads-to check lists a chunk of half a round in them, two
        // entries a step.)
        const std::size_t steps = std::max<std::size_t>(round_states, 2) * windows;
        for (round_output* lists : {&found, &finished}) {
            lists->pending.reserve(steps);
            lists->obliged.reserve(steps * leads_to);
        }
        fences[1].resize(256);
    }
    // The memory of this worker's lists of a round (both sets).
    std::uint64_t round_lists_bytes() const {
        return (found.pending.capacity() + finished.pending.capacity()) * sizeof(pending_step) +
               (found.obliged.capacity() + finished.obliged.capacity()) * sizeof(std::uint32_t);
    }

    loop_state loop;
    pw_code own_code{};
    loaded_loop loaded{}; // the state being expanded, as loaded (load_window)
    observation seen{};
    // Checking directly: the parts on steps the state being expanded allows, their first tests.
    std::vector<const part_check*> active;
    std::vector<first_test> firsts;
    std::vector<std::uint32_t> active_leads; // the leads-to checks it allows, by index
    std::vector<successor> successors;
    std::vector<std::uint8_t> obliges; // by window and active leads-to: the step is a P without Q
    verdict_cache verdicts;            // empty when the checks are too many to remember
    verdict_cache guard_verdicts;      // by the state before a step: its guards
    bool before_seen = false;          // `seen` holds the state being expanded
    // Where the checks read counters closely, steps rarely look alike: the verdicts looked up in
    // the last period and how many found their slot taken by another step's; while
    // `direct_states` is above 0, the states are checked directly (one fewer each).
    std::uint32_t verdict_lookups = 0;
    std::uint32_t verdict_misses = 0;
    std::uint32_t direct_states = 0;
    packed_state before_classes{}; // the state being expanded, its counters as classes
    round_output found;            // the round being expanded
    round_output finished;         // the round before, until its merge
    std::vector<char> fences[2];
};
