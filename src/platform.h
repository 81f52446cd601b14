// Console, keyboard and clock operations that the simulator takes from its platform.
//
// One implementation per platform: platform_posix.cpp (terminals through ECMA-48 sequences),
// platform_windows.cpp (the Windows console through kernel32 and the C runtime). The tests link
// an in-memory implementation instead.
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
// on every other way out (signals, crashes).
void console_close();

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

#ifndef _WIN32
// Splits a stream of keyboard bytes into key presses. Returns how many bytes of `bytes[0..length)`
// make the first key press, or 0 when they are only the start of a longer sequence and more bytes
// may still come (`more_may_come`). Escape sequences (ESC [ ... final byte, ESC O x, ESC x) and
// UTF-8 characters are one key press each; anything else is one byte.
std::size_t key_press_length(const unsigned char* bytes, std::size_t length, bool more_may_come);

// Writes the ECMA-48 SGR sequence that shows console attribute `attribute` (background * 16 +
// foreground, console colour numbers) into `out`, which holds at least 16 bytes; returns its
// length.
std::size_t sgr_sequence(std::uint16_t attribute, char* out);
#endif
