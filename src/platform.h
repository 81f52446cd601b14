// Console, keyboard and clock operations that the simulator takes from its platform.
//
// The operations are free functions that forward to the platform in use, so that one program can
// run on a terminal or headless: the terminal platform (platform_posix_*.cpp through ECMA-48
// sequences, or platform_windows*.cpp through kernel32 and the C runtime; both paint the screen
// model by change), or the in-memory platform (platform_memory.cpp: scripted keys, a virtual clock
// and a screen model).
#pragma once

#include <cstddef>
#include <cstdint>

// Key code for a key press that is no command: an escape sequence (arrows, function and paging
// keys), a multi-byte character, a lone ESC. Its low byte is 0, which matches no command.
constexpr int key_no_command = 0x100;

// Opens the console for the run: raw keyboard, output encoding, the clock's zero. `below_row` is
// the first row below everything the program draws. Returns false when the console cannot be
// used; the reason has then been written to stderr.
bool console_open(int below_row);
// Gives the console back as it was found: modes, visible cursor, plain attributes, and the cursor
// at the start of `below_row`, so that what follows does not overwrite the drawn screen. Also done
// on every other way out (signals, crashes). Returns false when output failed during the run
// (nobody read it any more); the reason has then been written to stderr.
bool console_close();

// Keyboard (`_kbhit`, `_getch`).
bool key_waiting();
int read_key(); // one key press; only valid after key_waiting() returned true

// Milliseconds since console_open, from a clock that never goes back (`clock`).
std::uint32_t clock_ticks();

// Sends what has been written so far to the console, then waits until a key is waiting or the
// clock reaches `due_tick`, whichever comes first. Never busy-waits.
void wait_for_key_until(std::uint32_t due_tick);

// Console output. Moves and attributes take effect in order with the text around them.
void console_write(const char* text, std::size_t length);
void console_move(int column, int row);           // SetConsoleCursorPosition
void console_attribute(std::uint16_t attribute);  // SetConsoleTextAttribute
void console_cursor(bool visible, unsigned size); // SetConsoleCursorInfo
void console_clear();                             // system("cls")
void console_colour_bright_white();               // system("color F")
void console_flush(); // everything written so far reaches the console now

struct screen_model;
// What the console shows now, as the operations above left it.
const screen_model& console_screen();

// The clock's ticks from a platform's 64-bit count of `count` units of which `per_second` make a
// second (a performance counter): whole milliseconds, without overflow for centuries.
constexpr std::uint64_t counter_milliseconds(std::uint64_t count, std::uint64_t per_second) {
    return count / per_second * 1000 + count % per_second * 1000 / per_second;
}
// The tick count `first_tick` + milliseconds since `start_ms`, wrapping after 2^32 like every
// tick; all comparisons of ticks take the unsigned difference, so the wrap is harmless.
constexpr std::uint32_t ticks_since(std::uint64_t now_ms, std::uint64_t start_ms,
                                    std::uint32_t first_tick = 0) {
    return static_cast<std::uint32_t>(first_tick + (now_ms - start_ms));
}
// How many ticks from `now` until `due`: negative once `due` has passed (for differences below
// 2^31 ticks, 24 days, either way).
constexpr std::int32_t ticks_until(std::uint32_t due, std::uint32_t now) {
    return static_cast<std::int32_t>(due - now);
}

// Whether the program's standard output is there at all (not closed before it started).
bool standard_output_open();

// One platform: its implementation of each operation above.
struct platform_backend {
    bool (*open)(int below_row);
    bool (*close)();
    bool (*key_waiting)();
    int (*read_key)();
    std::uint32_t (*clock_ticks)();
    void (*wait_for_key_until)(std::uint32_t due_tick);
    void (*write)(const char* text, std::size_t length);
    void (*move)(int column, int row);
    void (*attribute)(std::uint16_t attribute);
    void (*cursor)(bool visible, unsigned size);
    void (*clear)();
    void (*colour_bright_white)();
    void (*flush)();
    const screen_model& (*screen)();
};

// Makes `backend` the platform that the operations use from now on.
void use_platform(const platform_backend& backend);

// The terminal of the system the program is built for (POSIX or Windows); linked into the program,
// not into the tests of the simulation.
extern const platform_backend terminal_platform;
