// The exploration as the command line runs it: the properties read, the search run, one line per
// property and the figures printed, counterexamples and witnesses written as scenarios (and a
// trace) that replay on the real program.
#pragma once

#include "explore_search.h"

#include <cstdint>
#include <string>
#include <vector>

// Exit statuses of an exploration.
constexpr int explore_holds = 0;
constexpr int explore_violated = 1;
constexpr int explore_rejected = 2;
constexpr int explore_incomplete = 3;

// Where the first violated property's path goes without --counterexample.
constexpr const char* default_counterexample = "counterexample.scn";

struct explore_request {
    const char* properties = nullptr;            // --properties FILE
    const char* digits = nullptr;                // --digits DIGITS
    const char* counterexample = nullptr;        // --counterexample FILE or DIR/
    const char* trace = nullptr;                 // --trace FILE
    const char* max_states = nullptr;            // --max-states N
    const char* max_memory = nullptr;            // --max-memory N[K|M|G]
    bool single_keys = false;                    // --single-keys: no windows of two keys
    bool check_merges = false;                   // --check-merges
    bool list = false;                           // --list
    bool progress = false;                       // a progress line on stderr (a terminal)
    const char* diagrams = nullptr;              // --diagrams DIR
    std::vector<const char*> coverage_scenarios; // --coverage --scenario FILE...: their arcs solid
};

int run_exploration(const explore_request& request);
