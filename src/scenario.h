// Scenarios: the lock driven headless by a file of steps (keys, waits, expectations on the screen
// and the state) on the in-memory platform and a virtual clock, with the interactive program's own
// main loop, controllers and panels; and an interactive session recorded as such a file.
#pragma once

#include "determine_signal.h"

#include <cstdint>
#include <cstdio>
#include <string>

// Exit statuses of a scenario run.
constexpr int scenario_holds = 0;
constexpr int scenario_fails = 1;
constexpr int scenario_rejected = 2;

struct scenario_run {
    const char* path;
    bool print_screen;             // --screen: the final screen as text after the run
    bool show_states;              // --states: the live view below the screen, as interactively
    const loop_observer* observer; // a trace, when one is asked for
};

// Reads, checks and runs the scenario. On success writes one line to stdout and returns
// scenario_holds; at the first expectation that does not hold, says which on stderr and returns
// scenario_fails; a file with an error runs nothing and returns scenario_rejected.
int run_scenario(const scenario_run& run);

// A session being recorded as a scenario: every key in the window in which the program took it.
struct session_recording {
    std::FILE* file;
    std::string typed;          // keys of consecutive one-key windows, not yet written
    std::string first_key;      // this window's first key, by name
    std::string window;         // the latest key, by name
    int window_keys;            // how many keys this window has had
    std::uint64_t idle_windows; // windows without a key, not yet written
    std::uint32_t cycles;       // cycles run
};

// Creates the file; false, with the reason on stderr, when it cannot.
bool recording_open(session_recording& recording, const char* path);
void recording_key(session_recording& recording, int key);
void recording_cycle(session_recording& recording);
// Writes the last window (the one with the quit) and an expectation for every field of the final
// screen, the cycles run and the bells rung, then closes the file; false when it could not be
// written.
bool recording_close(session_recording& recording);
