// Reading a scenario file: one step a line, every line checked before anything runs.
#pragma once

#include "scenario_format.h"

// Reads and checks the whole file into `into`; on an error (a file without any step is one) says
// where on stderr and returns false.
bool read_scenario(const char* path, scenario_steps& into);
