// Entry point: prepares the console, draws the fixed labels and runs the main loop until Q.
#pragma once

// What the command line asks for.
enum class run_mode { simulate, help, version, bad_usage };

struct command_line {
    run_mode mode = run_mode::simulate;
    bool show_states = false;      // --states: the live view of the controllers
    const char* unknown = nullptr; // the argument that was not understood
};

command_line parse_command_line(int argc, char** argv);
