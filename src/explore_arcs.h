// The arcs of the four controllers' state machines (state to state, with the signal or timeout
// that causes it): which arcs a step runs, for the exploration's diagrams and for the coverage of
// scenarios.
#pragma once

#include "explore_step.h"

#include <cstdint>
#include <string>
#include <vector>

enum controller_id : int {
    password_controller,
    lock_controller_id,
    sound_controller_id,
    light_controller_id,
    controller_count
};

struct controller_arc {
    int controller;
    int from;
    int to;
    const char* cause;
};

// Every arc, in a fixed order (fewer than 64).
const std::vector<controller_arc>& controller_arcs();
const char* controller_name(int controller);
// The state's name in its controller: "idle", "entering", ...
const char* controller_state_name(int controller, int state);

// The arcs that the step from `before` to `after` (with the step's signals) ran, one bit an arc.
std::uint64_t arcs_of_step(const lock_values& before, const step_signals& signals,
                           const lock_values& after);

// The arcs a run of the loop (a scenario) ran, cycle by cycle.
struct arc_coverage {
    lock_values last; // the state after the previous cycle (the start at first)
    std::uint64_t ran = 0;
};
// Adds the cycle's arcs; call before the end-of-cycle clear (a loop observer's cycle).
void cover_cycle(arc_coverage& coverage, const loop_state& loop);
// An observer that adds every cycle's arcs to `coverage` (a scenario's run).
loop_observer coverage_observer(arc_coverage& coverage);

// "password: 9/10 arcs" and the missing ones, a line a controller.
std::string coverage_report(std::uint64_t ran);

// Writes one Graphviz file a controller into `directory` (which must exist): its states, and its
// arcs labelled with their causes; arcs not in `ran` dashed. False when a file cannot be written.
bool write_diagrams(const char* directory, std::uint64_t reached, std::uint64_t ran);
