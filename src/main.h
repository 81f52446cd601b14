// Entry point: prepares the console, draws the fixed labels and runs the main loop until Q.
#pragma once

// What the command line asks for.
enum class run_mode { simulate, help, version, bad_usage };

run_mode parse_command_line(int argc, char** argv);
