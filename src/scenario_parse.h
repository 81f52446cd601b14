// Reading a scenario file: one step a line, every line checked before anything runs.
#pragma once

#include "scenario_format.h"

#include <string>
#include <vector>

// What is wrong with a file: "FILE:LINE: what", or "FILE: cannot read: why" (line 0).
struct scenario_error {
    std::string message;
    int line;
};

// Reads and checks the whole file into `steps`; false, with the first error in `failure`, when the
// file cannot be read or a line is wrong.
bool read_scenario(const char* path, std::vector<step>& steps, scenario_error& failure);
