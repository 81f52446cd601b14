// The command line: what it asks for, read from the arguments, and the --help text.
#pragma once

#include <vector>

// What the command line asks for.
enum class run_mode { simulate, scenario, explore, help, version, bad_usage };

// --color=auto|always|never: whether scenario results are coloured.
enum class color_mode { automatic, always, never };

struct command_line {
    run_mode mode = run_mode::simulate;
    bool show_states = false;           // --states: the live view of the controllers
    bool print_screen = false;          // --screen: the final screen after a scenario
    std::vector<const char*> scenarios; // --scenario FILE...
    const char* junit = nullptr;        // --junit FILE
    color_mode color = color_mode::automatic;
    const char* record = nullptr;         // --record FILE
    const char* trace = nullptr;          // --trace FILE
    bool explore = false;                 // --explore
    const char* properties = nullptr;     // --properties FILE
    const char* digits = nullptr;         // --digits DIGITS
    const char* counterexample = nullptr; // --counterexample FILE|DIR/
    const char* max_states = nullptr;     // --max-states N
    const char* max_memory = nullptr;     // --max-memory SIZE
    bool single_keys = false;             // --single-keys
    bool check_merges = false;            // --check-merges
    bool list = false;                    // --list
    const char* diagrams = nullptr;       // --diagrams DIR
    bool coverage = false;                // --coverage
    const char* problem = nullptr;        // what is wrong with the arguments
    const char* argument = nullptr;       // the argument it concerns
    const char* clash = nullptr;          // the other option that names the same file
};

// Reads the arguments; mode is bad_usage, with problem, argument and clash set, when they are
// wrong.
command_line parse_command_line(int argc, char** argv);

// What --help prints.
extern const char* const usage_text;
