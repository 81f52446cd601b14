// Scenario files as a test suite: many files and folders in one run, every one run, each one's
// outcome reported, the results as JUnit XML and GitHub Actions annotations.
#pragma once

#include "scenario_runner.h"

#include <vector>

struct scenario_suite {
    std::vector<const char*> paths; // files, and folders whose *.scn files run in name order
    scenario_run run;               // how each runs (its path aside)
    const char* junit;              // the JUnit file to write, or nullptr
    bool color;                     // PASS, FAIL and ERROR in colour
    bool annotate;                  // GitHub Actions annotations for failures
};

// Reads and runs every file, also after one failed. One file reports as it always has: a line on
// stdout when it holds, the failure or the error on stderr. Several report a line each and a
// summary. Returns the exit status: 0 all held, 1 an expectation failed, 2 a file had an error or
// the outcome could not be written.
int run_scenarios(const scenario_suite& suite);

// Whether the path names a folder of scenarios rather than a file.
bool is_scenario_folder(const char* path);
