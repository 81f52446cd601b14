// The outcome of scenario files as a test suite reports it: a line per file and a summary on the
// terminal, JUnit XML for CI servers, and GitHub Actions annotations on the failing lines.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

enum class scenario_outcome { passed, failed, error };

struct scenario_result {
    std::string path;
    scenario_outcome outcome = scenario_outcome::passed;
    int expectations = 0;     // checked and held
    std::uint64_t cycles = 0; // run
    double seconds = 0;
    int line = 0;        // of the failure or the error; 0 when the file could not be read at all
    std::string message; // the failure or the error, "FILE:LINE: what", as the run reported it
};

// The exit status of a run: 0 when every file passed, 1 when an expectation failed, 2 when a
// file had an error (which outranks a failure).
int suite_status(const std::vector<scenario_result>& results);

// "PASS FILE  15 expectations, 1214 cycles, 0.004 s", or FAIL / ERROR and the message; the word
// in colour when `color`.
void print_result(std::FILE* out, const scenario_result& result, bool color);
// "4 scenarios: 3 passed, 1 failed, 0 with errors".
void print_summary(std::FILE* out, const std::vector<scenario_result>& results);
// "::error file=F,line=L::message" for a file that failed or had an error, as GitHub Actions
// reads it from a step's output.
void print_annotation(std::FILE* out, const scenario_result& result);

// Writes the results as JUnit XML: into a temporary file beside `path`, renamed to `path` once
// complete, so that no reader sees half of it. False, with the reason on stderr, on failure.
bool write_junit(const char* path, const std::vector<scenario_result>& results);

// Text made fit for XML 1.0: markup characters as entities, and what XML cannot hold at all
// (control characters, bytes that are not UTF-8) as \xNN.
std::string xml_escaped(const std::string& text);
