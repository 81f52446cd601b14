#include "main.h"

#include "UI.h"
#include "determine_signal.h"
#include "explore_arcs.h"
#include "explore_report.h"
#include "output_files.h"
#include "platform.h"
#include "scenario_parse.h"
#include "scenario_recording.h"
#include "scenario_runner.h"
#include "scenario_suite.h"
#include "vcd_trace.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <new>
#include <vector>

#ifdef _WIN32
#include <io.h>
#else
#include <unistd.h>
#endif

#ifndef DOORLOCK_VERSION
#define DOORLOCK_VERSION "0"
#endif

namespace {

#ifdef DOORLOCK_BUSY_POLL
// The busy-polling reference build looks at the keyboard and the clock without pause, as the loop
// did before it slept: it never sleeps through cycles either.
constexpr bool polls_without_pause = true;
#else
constexpr bool polls_without_pause = false;
#endif

// What watches the interactive loop: a trace, a recording, both or neither.
struct session_observers {
    vcd_trace* trace;
    session_recording* recording;
    arc_coverage* coverage = nullptr;
};

void observe_key(void* context, const loop_state& /*loop*/, int key) {
    auto* observers = static_cast<session_observers*>(context);
    if (observers->recording != nullptr) {
        recording_key(*observers->recording, key);
    }
}

void observe_cycle(void* context, const loop_state& loop, std::uint32_t start_tick) {
    auto* observers = static_cast<session_observers*>(context);
    if (observers->trace != nullptr) {
        trace_cycle(*observers->trace, loop, start_tick);
    }
    if (observers->recording != nullptr) {
        recording_cycle(*observers->recording);
    }
    if (observers->coverage != nullptr) {
        cover_cycle(*observers->coverage, loop);
    }
}

// Cycles that repeat the latest one: nothing new to trace, idle windows to record.
void observe_counted(void* context, const loop_state& loop, std::uint64_t cycles) {
    auto* observers = static_cast<session_observers*>(context);
    if (observers->trace != nullptr) {
        trace_unchanged_cycles(*observers->trace, cycles, loop.last_tick);
    }
    if (observers->recording != nullptr) {
        recording_idle_cycles(*observers->recording, cycles);
    }
}

// Before a long sleep, so that a kill meanwhile loses nothing already seen.
void observe_flush(void* context) {
    auto* observers = static_cast<session_observers*>(context);
    if (observers->trace != nullptr) {
        std::fflush(observers->trace->file);
    }
    if (observers->recording != nullptr) {
        std::fflush(observers->recording->file);
    }
}

// Opens the trace and the recording that the command line asks for, both or neither; false,
// with the reason on stderr, when one cannot be written.
bool open_files(const command_line& line, vcd_trace& trace, session_recording& recording,
                session_observers& observers) {
    output_file files[] = {{line.trace, "trace", nullptr}, {line.record, "recording", nullptr}};
    if (!open_output_files(files, 2)) {
        return false;
    }
    if (files[0].file != nullptr) {
        trace_open(trace, files[0].file, line.trace, line.mode == run_mode::scenario);
        observers.trace = &trace;
    }
    if (files[1].file != nullptr) {
        recording_open(recording, files[1].file);
        observers.recording = &recording;
    }
    return true;
}

// Completes and closes the files; false when one could not be written.
bool close_files(session_observers& observers) {
    const bool recorded = observers.recording == nullptr || recording_close(*observers.recording);
    const bool traced = observers.trace == nullptr || trace_close(*observers.trace);
    return recorded && traced;
}

// The interactive program. The files are opened once the console has been found usable, so that
// a refused start touches none of them, and closed before the console is given back, which ends
// the process when a signal ended the run.
int simulate(const command_line& line) {
    use_platform(terminal_platform);
    if (!console_open(line.show_states ? below_states : below_screen)) {
        return 1;
    }
    vcd_trace trace{};
    session_recording recording{};
    session_observers observers{nullptr, nullptr};
    if (!open_files(line, trace, recording, observers)) {
        console_close();
        return 1;
    }
    const loop_observer observer{&observers,      observe_key,   observe_cycle,
                                 observe_counted, observe_flush, observers.trace != nullptr};
    const bool observed = observers.trace != nullptr || observers.recording != nullptr;
    try {
        draw_start_screen();
        mainmodule(line.show_states, observed ? &observer : nullptr, polls_without_pause);
    } catch (const std::bad_alloc&) {
        close_files(observers);
        console_close();
        std::fputs("doorlock: out of memory\n", stderr);
        return 1;
    }
    const bool files_written = close_files(observers);
    return console_close() && files_written ? 0 : 1;
}

// Whether a progress line on stderr would be seen by someone.
bool standard_error_is_terminal() {
#ifdef _WIN32
    return _isatty(2) != 0;
#else
    return isatty(2) != 0;
#endif
}

// Whether scenario results go out in colour: --color decides; by default only on a terminal, and
// not when NO_COLOR is set (to anything but nothing). The Windows console shows no ANSI colours
// unless asked to, so there the default is none.
bool colored(color_mode mode) {
    if (mode != color_mode::automatic) {
        return mode == color_mode::always;
    }
    const char* no_color = std::getenv("NO_COLOR");
    if (no_color != nullptr && no_color[0] != '\0') {
        return false;
    }
#ifdef _WIN32
    return false;
#else
    return isatty(STDOUT_FILENO) == 1;
#endif
}

// Scenarios, with a trace when one is asked for; a run that cannot be made as asked (no output,
// no trace file) is refused like a scenario file with an error. With a trace, the one file is
// read and found good before the trace is created.
int scenario(const command_line& line) {
    if (!standard_output_open()) {
        std::fputs("doorlock: standard output is closed: the outcome cannot be told\n", stderr);
        return scenario_rejected;
    }
    if ((line.trace != nullptr || line.print_screen) && is_scenario_folder(line.scenarios[0])) {
        std::fprintf(stderr,
                     "doorlock: --trace and --screen go with one scenario file; %s is a "
                     "folder\n",
                     line.scenarios[0]);
        return scenario_rejected;
    }
    if (line.trace != nullptr) {
        scenario_steps steps;
        scenario_error error;
        if (!read_scenario(line.scenarios[0], steps, error)) {
            std::fprintf(stderr, "%s\n", error.message.c_str());
            return scenario_rejected;
        }
    }
    vcd_trace trace{};
    session_recording recording{};
    session_observers observers{nullptr, nullptr};
    if (!open_files(line, trace, recording, observers)) {
        return scenario_rejected;
    }
    arc_coverage coverage;
    if (line.coverage) {
        observers.coverage = &coverage;
    }
    // A trace and the coverage see every cycle that moves a counter.
    const bool observed = observers.trace != nullptr || observers.coverage != nullptr;
    const loop_observer observer{&observers,      observe_key,   observe_cycle,
                                 observe_counted, observe_flush, observed};
    const char* github = std::getenv("GITHUB_ACTIONS");
    const scenario_suite suite{line.scenarios,
                               {nullptr, line.print_screen, line.show_states,
                                observed ? &observer : nullptr, standard_error_is_terminal(), 0,
                                step_cycle, observers.trace},
                               line.junit,
                               colored(line.color),
                               github != nullptr && std::strcmp(github, "true") == 0};
    const int status = run_scenarios(suite);
    if (line.coverage && status == scenario_holds) {
        std::fputs(coverage_report(coverage.ran).c_str(), stdout);
    }
    return close_files(observers) || status != scenario_holds ? status : scenario_rejected;
}

int explore(const command_line& line) {
    explore_request request;
    request.properties = line.properties;
    request.digits = line.digits;
    request.counterexample = line.counterexample;
    request.trace = line.trace;
    request.max_states = line.max_states;
    request.max_memory = line.max_memory;
    request.single_keys = line.single_keys;
    request.check_merges = line.check_merges;
    request.list = line.list;
    request.diagrams = line.diagrams;
    request.progress = standard_error_is_terminal();
    if (line.coverage) {
        request.coverage_scenarios = line.scenarios;
    }
    try {
        return run_exploration(request);
    } catch (const std::bad_alloc&) {
        std::fputs("doorlock: out of memory\n", stderr);
        return explore_incomplete;
    }
}

// Writes `text` to standard output; false, with the reason on stderr, when it did not get there.
bool print(const char* text) {
    std::fputs(text, stdout);
    if (std::fflush(stdout) != 0 || std::ferror(stdout) != 0) {
        std::perror("doorlock: cannot write to standard output");
        return false;
    }
    return true;
}

} // namespace

int main(int argc, char** argv) {
    const command_line line = parse_command_line(argc, argv);
    switch (line.mode) {
    case run_mode::help: return print(usage_text) ? 0 : 1;
    case run_mode::version: return print("doorlock " DOORLOCK_VERSION "\n") ? 0 : 1;
    case run_mode::bad_usage:
        if (std::strcmp(line.problem, "unknown argument") == 0) {
            std::fprintf(stderr, "doorlock: unknown argument '%s'\n", line.argument);
        } else if (line.clash != nullptr) {
            std::fprintf(stderr, "doorlock: %s %s %s\n", line.argument, line.problem, line.clash);
        } else {
            std::fprintf(stderr, "doorlock: %s %s\n", line.argument, line.problem);
        }
        std::fputs("Try 'doorlock --help' for more information.\n", stderr);
        return 2;
    case run_mode::scenario: return scenario(line);
    case run_mode::explore: return explore(line);
    case run_mode::simulate: break;
    }
    return simulate(line);
}
