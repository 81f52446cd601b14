// The exploration: breadth first from the start state over every window of the alphabet, to the
// fixpoint, on the real step function; merged states deduplicated in a flat hash set; properties
// checked on every step; the shortest counterexample or witness of each property.
#pragma once

#include "explore_properties.h"
#include "explore_step.h"

#include <cstdint>
#include <string>
#include <vector>

struct explore_options {
    std::vector<int> digits = {0, 1};  // the digits a window may hold
    bool pairs = true;                 // windows of two different keys as well
    bool check_every_merge = false;    // check each merge, not a sample
    bool relabel = false;              // relabel digits by first occurrence
    std::uint64_t max_states = 0;      // 0: no limit
    std::uint64_t max_memory = 0;      // bytes the search may hold; 0: no limit
    std::uint64_t max_depth = 0;       // 0: to the fixpoint
    bool progress = false;             // a progress line on stderr after the first second
    bool arcs = true;                  // note the controllers' arcs the steps run (diagrams)
    int threads = 2;                   // threads that expand states (1: this one alone)
    std::uint32_t round_states = 4096; // states a round of the search expands at most (the two
                                       // threads share it in blocks of a sixteenth)
    bool remember_verdicts = true;     // look the checks' verdicts up for steps alike (a test
                                       // turns it off to compare with checking every step)
    double cycle_check_share = 1.0;    // a leads-to's runs are looked at for a cycle once they have
                                       // been followed into this share of the states (a test
                                       // looks at once, or never)
    step_function step = step_cycle;
};

struct property_outcome {
    bool holds = true;            // always, never, leads-to: no violation; reachable: reached
    std::uint64_t states = 0;     // states (leads-to: P states) it was checked in
    bool checked = true;          // false: a leads-to the search stopped before it could check
    std::vector<key_window> path; // the counterexample or witness, from the start
};

enum class explore_status { complete, incomplete, failed };

struct explore_result {
    explore_status status = explore_status::complete;
    std::string problem; // why the search is incomplete or failed
    std::uint64_t states = 0;
    std::uint64_t transitions = 0;
    std::uint64_t depth = 0;
    std::uint64_t merge_checks = 0;
    double seconds = 0;
    std::uint64_t held_bytes = 0;      // the largest the search's own tables were
    std::uint64_t arcs = 0;            // the controllers' arcs the search ran, one bit an arc
    std::uint64_t leads_to_levels = 0; // the most levels the leads-to check after the search took
    std::vector<property_outcome> outcomes; // one per property, in order
};

explore_result explore(const explore_options& options, const std::vector<property>& properties);

// The path's windows as keys to type from the start on the real lock: with relabelled digits, each
// window in the labels of the concrete states along the way.
std::vector<key_window> concrete_path(const explore_options& options,
                                      const std::vector<key_window>& path);
