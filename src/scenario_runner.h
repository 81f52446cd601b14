// Scenarios run: the lock driven headless by a file of steps (keys, waits, expectations on the
// screen and the state) on the in-memory platform and a virtual clock, with the interactive
// program's own main loop, controllers and panels; one file, or many as a test suite.
#pragma once

#include "determine_signal.h"
#include "scenario_format.h"
#include "scenario_report.h"

#include <string>
#include <vector>

struct vcd_trace;

// Exit statuses of a scenario run.
constexpr int scenario_holds = 0;
constexpr int scenario_fails = 1;
constexpr int scenario_rejected = 2;

struct scenario_run {
    const char* path;
    bool print_screen;             // --screen: the final screen as text after the run
    bool show_states;              // --states: the live view below the screen, as interactively
    const loop_observer* observer; // a trace, when one is asked for
    bool show_progress;            // say on stderr how far a run of a second or more has come
    std::uint64_t first_cycle;     // the cycle count the run starts from (tests: past 2^32)
    vcd_trace* trace;              // told of each step and expectation, when there is one
};

// Runs the scenario's steps (read and checked by read_scenario) up to the first expectation that
// does not hold. With --screen, `screen` is the final screen as text.
scenario_result run_scenario(const scenario_run& run, const scenario_steps& scenario,
                             std::string& screen);

struct scenario_suite {
    std::vector<const char*> paths; // files, and folders whose *.scn files run in name order
    scenario_run run;               // how each runs (its path aside)
    const char* junit;              // the JUnit file to write, or nullptr
    bool color;                     // PASS, FAIL and ERROR in colour
    bool annotate;                  // GitHub Actions annotations for failures
};

// Reads and runs every file, also after one failed. One file reports as it always has: a line on
// stdout when it holds, the failure or the error on stderr. Several report a line each and a
// summary. Returns the exit status: 0 all held, 1 an expectation failed, 2 a file had an error or
// the outcome could not be written.
int run_scenarios(const scenario_suite& suite);

// Whether the path names a folder of scenarios rather than a file.
bool is_scenario_folder(const char* path);
