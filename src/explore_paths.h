// A path of the search as the real program runs it: replayed on the step, written as a scenario
// with the keys from the start and expectations on the state it ends in, and as a trace.
#pragma once

#include "explore_properties.h"
#include "explore_search.h"

#include <cstdint>
#include <vector>

// Writes the path as a scenario: the keys from the start, comments that say which property and
// what the last step did, and expectations on the state the path ends in, taken from replaying it
// on `step` without any merge. False, with the reason on stderr, when the file cannot be written.
bool write_path_scenario(const char* path, const std::vector<key_window>& windows,
                         const property& violated, bool witness, step_function step);

// Reads and runs the scenario file headless on `step`, with `observer` told of every cycle;
// returns the scenario's exit status.
int run_scenario_file(const char* path, const loop_observer* observer, step_function step);

// Replays the path on a fresh loop with `step` and returns the values it ends in, with the last
// step's signals and sound.
lock_values replay_path(const std::vector<key_window>& windows, step_function step,
                        step_signals& last, std::uint32_t& cycles);

// Writes the path, replayed on `step`, as a trace; false, with the reason on stderr, when the file
// cannot be written.
bool trace_path(const char* path, const std::vector<key_window>& windows, step_function step);
