#include "main.h"

#include "UI.h"
#include "determine_signal.h"
#include "platform.h"

#include <cstdio>
#include <cstring>
#include <exception>
#include <new>

#ifndef DOORLOCK_VERSION
#define DOORLOCK_VERSION "0"
#endif

namespace {

constexpr const char* usage_text =
    "Usage: doorlock [--states] [--help] [--version]\n"
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
    "against it while the bolt is locked.\n"
    "\n"
    "Options:\n"
    "  --states   also show the four controllers' states and counters, live, below the screen\n"
    "  --help     show this text and exit\n"
    "  --version  show the version and exit\n"
    "\n"
    "Needs a terminal of at least 80 columns and 18 rows (24 with --states).\n"
    "Exit status: 0 after Q, 1 if the terminal cannot be used, 2 for an unknown argument.\n";

int simulate(bool show_states) {
    use_platform(terminal_platform);
    if (!console_open(show_states ? below_states : below_screen)) {
        return 1;
    }
    try {
        console_clear();
        console_colour_bright_white();
        set_nocursor(0);
        draw_labels();
        draw_key_legend();
        console_flush();
        mainmodule(show_states);
    } catch (const std::bad_alloc&) {
        console_close();
        std::fputs("doorlock: out of memory\n", stderr);
        return 1;
    }
    return console_close() ? 0 : 1;
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

command_line parse_command_line(int argc, char** argv) {
    command_line line;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--states") == 0) {
            line.show_states = true;
        } else if (std::strcmp(argv[i], "--help") == 0) {
            line.mode = run_mode::help;
        } else if (std::strcmp(argv[i], "--version") == 0) {
            line.mode = run_mode::version;
        } else {
            line.mode = run_mode::bad_usage;
            line.unknown = argv[i];
            break;
        }
    }
    return line;
}

int main(int argc, char** argv) {
    const command_line line = parse_command_line(argc, argv);
    switch (line.mode) {
    case run_mode::help: return print(usage_text) ? 0 : 1;
    case run_mode::version: return print("doorlock " DOORLOCK_VERSION "\n") ? 0 : 1;
    case run_mode::bad_usage:
        std::fprintf(stderr, "doorlock: unknown argument '%s'\n\n%s", line.unknown, usage_text);
        return 2;
    case run_mode::simulate: break;
    }
    return simulate(line.show_states);
}
