#include "scenario_runner.h"

#include "UI.h"
#include "platform.h"
#include "platform_memory.h"
#include "scenario_parse.h"
#include "screen_model.h"
#include "vcd_trace.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <vector>

namespace {

// One polling window with whatever keys are due in it, then one cycle; false when Q arrived.
bool window_and_cycle(loop_state& loop) {
    std::uint32_t start_tick = 0;
    if (!poll_window(loop, start_tick)) {
        return false;
    }
    run_cycle(loop, start_tick);
    return true;
}

// An expectation checked once: whether it holds, what it expects, what was there.
struct check {
    bool held;
    std::string expected; // lock "LOCK  ", lock_state=1, bells 3
    std::string seen;     // screen shows "UNLOCK", state has lock_state=2, 2 rang
    const char* verb;     // show, hold, ring
};

check check_once(const step& s, const loop_state& loop, const screen_model& screen,
                 std::uint32_t bells) {
    switch (s.kind) {
    case step_kind::expect_text: {
        const std::string shown = screen_text(screen, s.column, s.row, s.width);
        return {shown == s.text, s.label + " " + quoted(s.text), "screen shows " + quoted(shown),
                "show"};
    }
    case step_kind::expect_attr: {
        const std::uint16_t shown = screen.cells[s.row][s.column].attribute;
        return {shown == s.number, s.label + " " + std::to_string(s.number),
                "screen shows " + std::to_string(shown), "show"};
    }
    case step_kind::expect_bells:
        return {bells == s.number, "bells " + std::to_string(s.number),
                std::to_string(bells) + " rang", "ring"};
    case step_kind::expect_state:
        for (const state_check& c : s.checks) {
            const std::int64_t has = c.name->value(loop);
            if (has != c.value) {
                return {false, std::string(c.name->name) + "=" + std::to_string(c.value),
                        std::string("state has ") + c.name->name + "=" + std::to_string(has),
                        "hold"};
            }
        }
        return {true, "", "", "hold"};
    default: return {true, "", "", ""};
    }
}

std::string cycles_text(std::uint64_t n) {
    return std::to_string(n) + (n == 1 ? " cycle" : " cycles");
}

// A run in progress: the loop, its console, and what the expectations have counted.
struct runner {
    const scenario_run& run;
    memory_console& console;
    loop_state& loop;
    bool running = true;             // until the quit
    std::uint32_t bells_counted = 0; // bells rung up to the latest `expect bells` that held
    int expectations = 0;
    std::string failure; // "FILE:LINE: cycle C: what", once one failed
    int failed_line = 0;

    bool next_cycle() {
        running = running && window_and_cycle(loop);
        return running;
    }

    check check_now(const step& s) const {
        return check_once(s, loop, console.screen, console.screen.bells - bells_counted);
    }

    // Checks the expectation over the cycles its time asks for; false, with `failure` set, when
    // it does not hold.
    bool expectation(const step& s) {
        ++expectations;
        check c = check_now(s);
        std::uint64_t cycles = 0;
        if (s.timing == step_timing::within) {
            while (!c.held && cycles < s.cycles && next_cycle()) {
                ++cycles;
                c = check_now(s);
            }
        } else if (s.timing == step_timing::during) {
            while (c.held && cycles < s.cycles && next_cycle()) {
                ++cycles;
                c = check_now(s);
            }
        }
        if (run.trace != nullptr) {
            trace_expectation(*run.trace, std::to_string(s.line) + ": " + s.source +
                                              (c.held ? " ok" : " FAILED"));
        }
        if (c.held) {
            if (s.kind == step_kind::expect_bells) {
                bells_counted = console.screen.bells;
            }
            return true;
        }
        std::string what;
        switch (s.timing) {
        case step_timing::now: what = "expected " + c.expected + ", " + c.seen; break;
        case step_timing::within:
            what = c.expected + " did not " + c.verb + " within " + cycles_text(s.cycles) + " (" +
                   c.seen + ")";
            break;
        case step_timing::during:
            what = c.expected + " did not " + c.verb + " for " + cycles_text(s.cycles) + ": " +
                   (cycles == 0 ? std::string("not at the start")
                                : "not after cycle " + std::to_string(cycles) + " of them") +
                   " (" + c.seen + ")";
            break;
        }
        failure = std::string(run.path) + ":" + std::to_string(s.line) + ": cycle " +
                  std::to_string(loop.cycle_number) + ": " + what;
        failed_line = s.line;
        return false;
    }

    // Runs one step; false when an expectation failed.
    bool step_runs(const step& s) {
        const bool expectation_step =
            s.kind != step_kind::type && s.kind != step_kind::press && s.kind != step_kind::wait;
        if (run.trace != nullptr && (!expectation_step || s.timing != step_timing::now)) {
            trace_step(*run.trace, std::to_string(s.line) + ": " + s.source);
        }
        switch (s.kind) {
        case step_kind::type:
            for (std::size_t k = 0; running && k < s.keys.size(); ++k) {
                console.keys.push_back({console.now + 1, s.keys[k]});
                next_cycle();
            }
            return true;
        case step_kind::press:
            for (int key : s.keys) {
                console.keys.push_back({console.now + 1, key});
            }
            next_cycle();
            return true;
        case step_kind::wait:
            for (std::uint64_t n = 0; running && n < s.cycles; ++n) {
                next_cycle();
            }
            return true;
        default: return expectation(s);
        }
    }
};

// The screen as text, each row without its trailing blanks.
std::string screen_as_text(const screen_model& screen, int rows) {
    std::string text;
    for (int row = 0; row < rows; ++row) {
        std::string line = screen_text(screen, 0, row, screen_columns);
        line.erase(line.find_last_not_of(' ') + 1);
        text += line + "\n";
    }
    return text;
}

double seconds_since(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
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
        std::printf("%s: %d expectation%s hold%s over %u cycle%s\n", r.path.c_str(), r.expectations,
                    r.expectations == 1 ? "" : "s", r.expectations == 1 ? "s" : "", r.cycles,
                    r.cycles == 1 ? "" : "s");
    } else {
        std::fprintf(stderr, "%s\n", r.message.c_str());
    }
}

} // namespace

scenario_result run_scenario(const scenario_run& run, std::string& screen) {
    const auto start = std::chrono::steady_clock::now();
    scenario_result result;
    result.path = run.path;
    std::vector<step> steps;
    scenario_error error;
    if (!read_scenario(run.path, steps, error)) {
        result.outcome = scenario_outcome::error;
        result.message = error.message;
        result.line = error.line;
        result.seconds = seconds_since(start);
        return result;
    }
    memory_console console;
    use_memory_console(console);
    const int rows = run.show_states ? below_states : below_screen;
    console_open(rows);
    draw_start_screen();
    loop_state loop;
    loop.show_states = run.show_states;
    loop.observer = run.observer;
    runner r{run, console, loop, true, 0, 0, {}, 0};
    for (const step& s : steps) {
        if (!r.step_runs(s)) {
            result.outcome = scenario_outcome::failed;
            result.message = r.failure;
            result.line = r.failed_line;
            break;
        }
    }
    result.expectations = r.expectations;
    result.cycles = loop.cycle_number;
    release_signals(loop.signals);
    console_close();
    if (run.print_screen) {
        screen = screen_as_text(console.screen, rows);
    }
    result.seconds = seconds_since(start);
    return result;
}

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
        results.push_back(run_scenario(run, screen));
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
