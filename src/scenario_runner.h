// Scenarios run: the lock driven headless by a file of steps (keys, waits, expectations on the
// screen and the state) on the in-memory platform and a virtual clock, with the interactive
// program's own main loop, controllers and panels.
#pragma once

#include "determine_signal.h"
#include "scenario_format.h"
#include "scenario_report.h"

#include <string>

struct vcd_trace;

// Exit statuses of a scenario run.
constexpr int scenario_holds = 0;
constexpr int scenario_fails = 1;
constexpr int scenario_rejected = 2;

struct scenario_run {
    const char* path;
    bool print_screen;               // --screen: the final screen as text after the run
    bool show_states;                // --states: the live view below the screen, as interactively
    const loop_observer* observer;   // a trace, when one is asked for
    bool show_progress;              // say on stderr how far a run of a second or more has come
    std::uint64_t first_cycle;       // the cycle count the run starts from (tests: past 2^32)
    step_function step = step_cycle; // the step of the controllers (a test may give a faulty one)
    vcd_trace* trace = nullptr;      // told of each step and expectation, when there is one
};

// Runs the scenario's steps (read and checked by read_scenario) up to the first expectation that
// does not hold. With --screen, `screen` is the final screen as text.
scenario_result run_scenario(const scenario_run& run, const scenario_steps& scenario,
                             std::string& screen);
