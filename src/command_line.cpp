#include "command_line.h"

#include "explore_report.h"
#include "output_files.h"

#include <cstring>
#include <string>
#include <vector>

// The --help text.
const char* const usage_text =
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
    "one is reached, 1 when one is violated or a whole search did not reach one, 2 for a bad\n"
    "file or option, 3 when the search stopped at a limit before the end.\n";

namespace {

command_line bad_usage(command_line line, const char* problem, const char* argument) {
    line.mode = run_mode::bad_usage;
    line.problem = problem;
    line.argument = argument;
    return line;
}

// Refuses two options that name one file: the trace would overwrite the scenario it runs, or
// the recording and the trace each other, or an exploration's path its properties or the
// counterexample written beside it.
command_line refuse_one_file_twice(command_line line) {
    struct named_file {
        const char* option;
        const char* path;
    };
    std::vector<named_file> files;
    for (const char* scenario : line.scenarios) {
        files.push_back({"--scenario", scenario});
    }
    // An exploration reads its properties before anything is written, and writes its first
    // counterexample (a file, unless a folder is named) beside the trace of its path.
    const char* counterexample = line.counterexample;
    static const std::string default_named =
        std::string("the counterexample file (") + default_counterexample + ")";
    const char* counterexample_option = "--counterexample";
    if (line.explore && counterexample == nullptr) {
        counterexample = default_counterexample;
        counterexample_option = default_named.c_str();
    }
    const std::size_t length = counterexample != nullptr ? std::strlen(counterexample) : 0;
    if (length > 0 && counterexample[length - 1] == '/') {
        counterexample = nullptr;
    }
    files.insert(files.end(),
                 {{"--properties", line.properties}, {counterexample_option, counterexample}});
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
                const bool value =
                    file == &line.digits || file == &line.max_states || file == &line.max_memory;
                return bad_usage(line,
                                 value                    ? "needs a value"
                                 : file == &line.diagrams ? "needs a folder"
                                                          : "needs a file",
                                 arg);
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
