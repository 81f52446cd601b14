// Reading a scenario file: one step a line, every line checked before anything runs.
#pragma once

#include "scenario_format.h"

#include <vector>

// Reads and checks the whole file into `steps`; on an error says where on stderr and returns
// false.
bool read_scenario(const char* path, std::vector<step>& steps);
