#include "scenario_suite.h"

#include "scenario_parse.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>

namespace {

using steady = std::chrono::steady_clock;

double seconds_since(steady::time_point start) {
    return std::chrono::duration<double>(steady::now() - start).count();
}

// The files to run: each file as given, each folder's *.scn files in name order. A folder without
// any is an error of its own.
std::vector<std::string> scenario_files(const std::vector<const char*>& paths,
                                        std::vector<scenario_result>& empty_folders) {
    std::vector<std::string> files;
    for (const char* path : paths) {
        if (!is_scenario_folder(path)) {
            files.emplace_back(path);
            continue;
        }
        std::vector<std::string> found;
        std::error_code error;
        for (const auto& entry : std::filesystem::directory_iterator(path, error)) {
            const std::filesystem::path& p = entry.path();
            if (p.extension() == ".scn" && !entry.is_directory()) {
                found.push_back((std::filesystem::path(path) / p.filename()).string());
            }
        }
        std::sort(found.begin(), found.end());
        if (found.empty()) {
            scenario_result r;
            r.path = path;
            r.outcome = scenario_outcome::error;
            r.message = std::string(path) + ": no *.scn files in the folder" +
                        (error ? ": " + error.message() : "");
            empty_folders.push_back(r);
        }
        files.insert(files.end(), found.begin(), found.end());
    }
    return files;
}

// One file's outcome as a single run has always told it.
void report_single(const scenario_result& r) {
    if (r.outcome == scenario_outcome::passed) {
        std::printf("%s: %d expectation%s hold%s over %llu cycle%s\n", r.path.c_str(),
                    r.expectations, r.expectations == 1 ? "" : "s", r.expectations == 1 ? "s" : "",
                    static_cast<unsigned long long>(r.cycles), r.cycles == 1 ? "" : "s");
    } else {
        std::fprintf(stderr, "%s\n", r.message.c_str());
    }
}

// Reads and runs one file.
scenario_result read_and_run(const scenario_run& run, std::string& screen) {
    const auto start = steady::now();
    scenario_steps steps;
    scenario_error error;
    if (!read_scenario(run.path, steps, error)) {
        scenario_result result;
        result.path = run.path;
        result.outcome = scenario_outcome::error;
        result.message = error.message;
        result.line = error.line;
        result.seconds = seconds_since(start);
        return result;
    }
    scenario_result result = run_scenario(run, steps, screen);
    result.seconds = seconds_since(start);
    return result;
}

} // namespace

bool is_scenario_folder(const char* path) {
    std::error_code error;
    return std::filesystem::is_directory(path, error);
}

int run_scenarios(const scenario_suite& suite) {
    std::vector<scenario_result> results;
    const std::vector<std::string> files = scenario_files(suite.paths, results);
    const bool single = suite.paths.size() == 1 && !is_scenario_folder(suite.paths[0]);
    for (const scenario_result& empty : results) {
        print_result(stdout, empty, suite.color);
    }
    for (const std::string& file : files) {
        scenario_run run = suite.run;
        run.path = file.c_str();
        std::string screen;
        results.push_back(read_and_run(run, screen));
        if (single) {
            report_single(results.back());
        } else {
            print_result(stdout, results.back(), suite.color);
        }
        std::fputs(screen.c_str(), stdout);
        std::fflush(stdout);
    }
    if (!single) {
        print_summary(stdout, results);
    }
    if (suite.annotate) {
        for (const scenario_result& r : results) {
            print_annotation(stdout, r);
        }
    }
    int status = suite_status(results);
    if (suite.junit != nullptr && !write_junit(suite.junit, results)) {
        status = scenario_rejected;
    }
    if (std::fflush(stdout) != 0 || std::ferror(stdout) != 0) {
        std::perror("doorlock: cannot write to standard output");
        return scenario_rejected; // the outcome could not be told
    }
    return status;
}
