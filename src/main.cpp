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

constexpr const char* usage_text =
    "Usage: doorlock [--states] [--record FILE] [--trace FILE]\n"
    "       doorlock --scenario FILE... [--junit FILE] [--color=WHEN] [--screen] [--states]\n"
    "                [--trace FILE] [--coverage]\n"
    "       doorlock --explore [--properties FILE] [--digits DIGITS] [--single-keys]\n"
    "                [--counterexample FILE|DIR/] [--trace FILE] [--check-merges]\n"
    "                [--max-states N] [--max-memory SIZE] [--diagrams DIR [--coverage\n"
    "                --scenario FILE...]]\n"
    "       doorlock --explore --list\n"
    "       doorlock --help | --version\n"
    "\n"
    "Simulates a digital door lock with a number pad in the terminal.\n"
    "\n"
    "Keys (letters in either case):\n"
    "  0-9  type a digit on the pad (while the cover is open)\n"
    "  L    press the lock button on the inside of the door: locks or unlocks\n"
    "  D    open or close the door (not while the bolt is locked)\n"
    "  K    turn the mechanical key: unlocks\n"
    "  C    open or close the keypad cover\n"
    "  Q    quit\n"
    "\n"
    "The first four digits typed register the code; later four-digit entries are checked\n"
    "against it while the bolt is locked. Keys that arrive within one 10 ms cycle count as one:\n"
    "the last digit wins and two presses of a letter cancel.\n"
    "\n"
    "Options:\n"
    "  --states         also show the four controllers' states and counters, live, below the\n"
    "                   screen\n"
    "  --scenario FILE...  run the steps of each FILE headless on a virtual clock and check\n"
    "                   its expectations; nothing is drawn. Takes every argument up to the next\n"
    "                   option; a folder runs its *.scn files in name order. Several files\n"
    "                   report a line each (PASS, FAIL or ERROR) and a summary\n"
    "  --junit FILE     with --scenario: also write the results to FILE as JUnit XML\n"
    "  --color=WHEN     with --scenario: PASS, FAIL and ERROR in colour: auto (on a terminal,\n"
    "                   unless NO_COLOR is set), always or never\n"
    "  --screen         with one --scenario file: print the final screen as text after the run\n"
    "  --coverage       with --scenario: which arcs of each controller (state to state, with\n"
    "                   its cause) the scenarios ran, and the missing ones\n"
    "  --record FILE    write the session to FILE as a scenario that reproduces it\n"
    "  --trace FILE     write every cycle's states (numbers and names), counters and signals to\n"
    "                   FILE as a Value Change Dump (VCD), with one --scenario file also its\n"
    "                   steps and expectations; and beside it FILE.gtkw (for FILE.vcd), which\n"
    "                   opens it in GTKWave: gtkwave FILE.gtkw\n"
    "  --explore        visit every state the lock can reach and check properties in each:\n"
    "                   the built-in ones and those of --properties; see Exploration below\n"
    "  --help           show this text and exit\n"
    "  --version        show the version and exit\n"
    "\n"
    "A scenario has one step a line (# starts a comment):\n"
    "  type KEYS             each key in a cycle of its own; the controllers act on the last\n"
    "                        key in the cycle after it (wait 1 before expecting its effect)\n"
    "  press KEYS            all keys in one cycle\n"
    "  wait N | Ns | Nms     N cycles, or a time in whole cycles of 10 ms\n"
    "  expect FIELD \"TEXT\"  FIELD: registered entered lock action echo cover door sound\n"
    "  expect text COLUMN ROW \"TEXT\"     expect attr COLUMN ROW N     expect bells N\n"
    "  expect NAME=VALUE ...  NAME: pw_state pw_timer count lock_state lock_timer locked\n"
    "                        changed sound_state sound_timer light_state light_timer backlight\n"
    "                        sound cycle door cover (1 closed, 0 open) registered entered\n"
    "                        (digits, or none)\n"
    "  expect within N COND  COND holds now or after one of the next N cycles, which run\n"
    "                        until it does (N as for wait; COND any expectation above)\n"
    "  expect for N COND     COND holds now and after each of the next N cycles\n"
    "KEYS are the characters typed; <esc>, <space>, <hash>, <quote>, <lt>, <left>, <f2>, <0x07>\n"
    "and the like name other keys. Lines hold at most 4096 bytes, files at most 64 MiB.\n"
    "When GITHUB_ACTIONS is true, each failure is also printed as a GitHub Actions annotation.\n"
    "\n"
    "The recording is written line by line, the trace at least once a second; both are completed\n"
    "at Q and when a signal ends the run. They are created only once the run starts; two options\n"
    "that name one file, or --record or --trace given twice, are refused.\n"
    "\n"
    "Exploration (--explore): breadth first from the start to the fixpoint, on the same step\n"
    "function the program runs. A step is one cycle after one polling window of the alphabet:\n"
    "no key; one of L, D, K, C or a digit of DIGITS (default 01); and, unless --single-keys,\n"
    "any two different keys among L, D, K, C and one digit. A state is what the loop carries\n"
    "from one cycle to the next that a controller can read: the four controllers' states and\n"
    "counters, the entered digits and their count, the registered code, the bolt and its\n"
    "mirror, the changed flag, the door and cover levels and the backlight. States that no\n"
    "steps can tell apart are merged: a counter its controller does not read reads 0, the\n"
    "light's count stops at 1000, stale digits read 0 (with three or more DIGITS, digits are\n"
    "renamed by first occurrence); every merge is checked on a sample (--check-merges: on\n"
    "every state).\n"
    "  --properties FILE       also check FILE's properties, one a line (# comments):\n"
    "                          always EXPR | never EXPR | reachable EXPR |\n"
    "                          P leads-to Q within N[s|ms] [unless R]\n"
    "                          EXPR: NAME op VALUE joined by and, or, not, ( ); op: = != < <=\n"
    "                          > >=; VALUE: a number, digits, none, NAME or was NAME (before\n"
    "                          the step). NAMEs: those of expect NAME=VALUE but cycle, and the\n"
    "                          step's lock_button key_sensor door_opened door_closed\n"
    "                          cover_opened cover_closed digit pw_result key_clicked sound\n"
    "  --list                  list the built-in properties\n"
    "  --counterexample FILE   where the first violated property's shortest path goes as a\n"
    "                          scenario (default counterexample.scn); DIR/: one file a\n"
    "                          property, witnesses of reachable ones too\n"
    "  --trace FILE            the same path as a trace\n"
    "  --max-states N, --max-memory SIZE (such as 1500M or 4G): stop there\n"
    "  --diagrams DIR          one Graphviz file a controller: its states and the arcs the\n"
    "                          search reached; with --coverage --scenario FILE..., the\n"
    "                          arcs those files did not run dashed\n"
    "\n"
    "Needs a terminal of at least 80 columns and 18 rows (24 with --states).\n"
    "Exit status: 0 after Q or at the end of the input; 1 when the terminal cannot be used,\n"
    "writing the screen, the recording or the trace fails, or memory runs out; 2 for a bad\n"
    "argument; 129, 130, 131, 143 after a hang-up, Ctrl-C, Ctrl-\\ or kill. With --scenario: 0\n"
    "when every expectation holds, 1 when one does not, 2 when a file has an error (which\n"
    "outranks a failure) or the run cannot be made (no standard output, a trace or JUnit file\n"
    "that cannot be written). With --explore: 0 when every property holds and every reachable\n"
    "one is reached, 1 when one does not, 2 for a bad file or option, 3 when the search stopped\n"
    "at a limit before the end.\n";

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

command_line bad_usage(command_line line, const char* problem, const char* argument) {
    line.mode = run_mode::bad_usage;
    line.problem = problem;
    line.argument = argument;
    return line;
}

// Refuses two options that name one file: the trace would overwrite the scenario it runs, or
// the recording and the trace each other.
command_line refuse_one_file_twice(command_line line) {
    struct named_file {
        const char* option;
        const char* path;
    };
    std::vector<named_file> files;
    for (const char* scenario : line.scenarios) {
        files.push_back({"--scenario", scenario});
    }
    files.insert(files.end(),
                 {{"--record", line.record}, {"--trace", line.trace}, {"--junit", line.junit}});
    for (const auto& a : files) {
        for (const auto& b : files) {
            const bool two_scenarios = std::strcmp(a.option, "--scenario") == 0 &&
                                       std::strcmp(b.option, "--scenario") == 0;
            if (&a < &b && !two_scenarios && a.path != nullptr && b.path != nullptr &&
                same_file(a.path, b.path)) {
                line.clash = a.option;
                return bad_usage(line, "names the same file as", b.option);
            }
        }
    }
    return line;
}

} // namespace

command_line parse_command_line(int argc, char** argv) {
    command_line line;
    bool help = false;
    bool version = false;
    for (int i = 1; i < argc; ++i) {
        const char* arg = argv[i];
        const char** file = std::strcmp(arg, "--record") == 0           ? &line.record
                            : std::strcmp(arg, "--trace") == 0          ? &line.trace
                            : std::strcmp(arg, "--junit") == 0          ? &line.junit
                            : std::strcmp(arg, "--properties") == 0     ? &line.properties
                            : std::strcmp(arg, "--digits") == 0         ? &line.digits
                            : std::strcmp(arg, "--counterexample") == 0 ? &line.counterexample
                            : std::strcmp(arg, "--max-states") == 0     ? &line.max_states
                            : std::strcmp(arg, "--max-memory") == 0     ? &line.max_memory
                            : std::strcmp(arg, "--diagrams") == 0       ? &line.diagrams
                                                                        : nullptr;
        if (file != nullptr) {
            if (i + 1 >= argc) {
                return bad_usage(line, "needs a file", arg);
            }
            if (*file != nullptr) {
                return bad_usage(line, "is given twice", arg);
            }
            *file = argv[++i];
        } else if (std::strcmp(arg, "--scenario") == 0) {
            if (!line.scenarios.empty()) {
                return bad_usage(line, "is given twice", arg);
            }
            // Every following argument up to the next option, as a shell expands examples/*.scn.
            for (; i + 1 < argc && argv[i + 1][0] != '-'; ++i) {
                line.scenarios.push_back(argv[i + 1]);
            }
            if (line.scenarios.empty()) {
                return bad_usage(line, "needs a file", arg);
            }
        } else if (std::strncmp(arg, "--color=", 8) == 0) {
            const char* when = arg + 8;
            if (std::strcmp(when, "auto") == 0) {
                line.color = color_mode::automatic;
            } else if (std::strcmp(when, "always") == 0) {
                line.color = color_mode::always;
            } else if (std::strcmp(when, "never") == 0) {
                line.color = color_mode::never;
            } else {
                return bad_usage(line, "takes auto, always or never", arg);
            }
        } else if (std::strcmp(arg, "--states") == 0) {
            line.show_states = true;
        } else if (std::strcmp(arg, "--explore") == 0) {
            line.explore = true;
        } else if (std::strcmp(arg, "--single-keys") == 0) {
            line.single_keys = true;
        } else if (std::strcmp(arg, "--check-merges") == 0) {
            line.check_merges = true;
        } else if (std::strcmp(arg, "--coverage") == 0) {
            line.coverage = true;
        } else if (std::strcmp(arg, "--list") == 0) {
            line.list = true;
        } else if (std::strcmp(arg, "--screen") == 0) {
            line.print_screen = true;
        } else if (std::strcmp(arg, "--help") == 0) {
            help = true;
        } else if (std::strcmp(arg, "--version") == 0) {
            version = true;
        } else {
            return bad_usage(line, "unknown argument", arg);
        }
    }
    const char* explore_only = line.properties != nullptr       ? "--properties"
                               : line.digits != nullptr         ? "--digits"
                               : line.counterexample != nullptr ? "--counterexample"
                               : line.max_states != nullptr     ? "--max-states"
                               : line.max_memory != nullptr     ? "--max-memory"
                               : line.single_keys               ? "--single-keys"
                               : line.check_merges              ? "--check-merges"
                               : line.list                      ? "--list"
                               : line.diagrams != nullptr       ? "--diagrams"
                                                                : nullptr;
    if (help || version) {
        line.mode = help ? run_mode::help : run_mode::version;
    } else if (line.explore) {
        line.mode = run_mode::explore;
        const bool scenario = !line.scenarios.empty();
        const char* other = scenario && line.diagrams == nullptr ? "--scenario"
                            : line.coverage != scenario          ? "--coverage"
                            : line.record != nullptr             ? "--record"
                            : line.junit != nullptr              ? "--junit"
                            : line.show_states                   ? "--states"
                            : line.print_screen                  ? "--screen"
                                                                 : nullptr;
        if (other != nullptr) {
            return bad_usage(line, "does not go with --explore", other);
        }
    } else if (explore_only != nullptr) {
        return bad_usage(line, "goes with --explore", explore_only);
    } else if (line.coverage && line.scenarios.empty()) {
        return bad_usage(line, "goes with --scenario", "--coverage");
    } else if (!line.scenarios.empty()) {
        line.mode = run_mode::scenario;
        if (line.record != nullptr) {
            return bad_usage(line, "goes with the interactive program, not with --scenario",
                             "--record");
        }
        if (line.scenarios.size() > 1 && (line.trace != nullptr || line.print_screen)) {
            return bad_usage(line, "goes with one scenario file, not several",
                             line.trace != nullptr ? "--trace" : "--screen");
        }
    } else if (line.print_screen || line.junit != nullptr) {
        return bad_usage(line, "goes with --scenario", line.print_screen ? "--screen" : "--junit");
    }
    return refuse_one_file_twice(line);
}

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
