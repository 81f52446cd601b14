// Entry point: reads the command line (command_line.h), prepares the console, draws the fixed
// labels and runs the main loop until Q, or runs a scenario headless.
#pragma once

#include "command_line.h"
