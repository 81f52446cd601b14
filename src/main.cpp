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
    "Usage: doorlock [--help | --version]\n"
    "\n"
    "Simulates a digital door lock with a number pad. Keys (either case):\n"
    "  0-9  type a digit on the pad (while the cover is open)\n"
    "  L    press the lock button on the inside of the door\n"
    "  D    open or close the door (not while the bolt is locked)\n"
    "  K    turn the mechanical key (unlocks)\n"
    "  C    open or close the keypad cover\n"
    "  Q    quit\n"
    "\n"
    "The first four digits typed register the code; later four-digit entries are checked\n"
    "against it. Needs a terminal of at least 80 columns and 16 rows.\n";

int simulate() {
    if (!console_open(screen_rows)) {
        return 1;
    }
    try {
        console_clear();
        console_colour_bright_white();
        set_nocursor(0);
        draw_labels();
        console_flush();
        mainmodule();
    } catch (const std::bad_alloc&) {
        console_close();
        std::fputs("doorlock: out of memory\n", stderr);
        return 1;
    }
    console_close();
    return 0;
}

} // namespace

run_mode parse_command_line(int argc, char** argv) {
    if (argc <= 1) {
        return run_mode::simulate;
    }
    if (argc == 2 && std::strcmp(argv[1], "--help") == 0) {
        return run_mode::help;
    }
    if (argc == 2 && std::strcmp(argv[1], "--version") == 0) {
        return run_mode::version;
    }
    return run_mode::bad_usage;
}

int main(int argc, char** argv) {
    switch (parse_command_line(argc, argv)) {
    case run_mode::help: std::fputs(usage_text, stdout); return 0;
    case run_mode::version: std::puts("doorlock " DOORLOCK_VERSION); return 0;
    case run_mode::bad_usage:
        std::fprintf(stderr, "doorlock: unknown argument '%s'\n%s", argv[1], usage_text);
        return 2;
    case run_mode::simulate: break;
    }
    return simulate();
}
