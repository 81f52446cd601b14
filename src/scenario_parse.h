// Reading a scenario file: one step a line, every line checked before anything runs.
#pragma once

#include "scenario_format.h"

#include <string>

// What is wrong with a file: "FILE:LINE: what", or "FILE: cannot read: why" (line 0).
struct scenario_error {
    std::string message;
    int line;
};

// Reads and checks the whole file into `into`; false, with the first error in `failure`, when the
// file cannot be read or a line is wrong (a file without any step is wrong too).
bool read_scenario(const char* path, scenario_steps& into, scenario_error& failure);
