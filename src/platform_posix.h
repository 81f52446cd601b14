// What the files of the POSIX terminal platform share:
//   platform_posix_terminal.cpp  terminal modes, suspend and resume, the terminal's size
//   platform_posix_signals.cpp   the signals that end, stop, continue or resize, and the self-pipe
//   platform_posix_keyboard.cpp  keyboard bytes into key presses, the clock, waiting for keys
//   platform_posix_paint.cpp     the screen model painted onto the terminal by change
//   platform_posix_emit.cpp      the bytes of that painting: moves, colours, characters, one write
#pragma once

#include <cstddef>
#include <cstdint>

constexpr int standard_input = 0;
constexpr int standard_output = 1;

// ---- terminal ----

// Acts on the signals that arrived since the last look: suspends and resumes; repaints after a
// resize. (An ending signal ends the run at the next look at the keyboard.)
void handle_pending_signals();

// ---- signals ----

// Makes the self-pipe and installs the handlers (signals ignored from the start stay ignored).
// `give_back` gives the terminal back; what ends the process at once (a crash, a second ending
// signal, an uncaught exception) calls it with `from_signal`, when it must be async-signal-safe.
void signals_open(void (*give_back)(bool from_signal));
// Stops the process as Ctrl-Z asked; returns once it is continued (or at once where stopping is
// not allowed), the resume that the continuing sends already taken.
void stop_until_continued();
// The signal that asked the run to end, or 0.
int ending_signal();
// What the signals ask of the terminal; each is taken by the look that finds it.
enum class signal_request { suspend, resume, resize };
bool take_request(signal_request request);
// A descriptor that becomes readable when a signal arrives, so that a wait for keys ends at once
// (-1 when there is none), and the reading that makes it quiet again.
int signal_wake_descriptor();
void drain_signal_wakes();
// Whether a signal asked the run to end (the keyboard then ends its input).
bool ending_signal_pending();
// write(2) of the screen to standard output; once an ending signal has come nothing more is
// written (-1 with errno ECANCELED), and a write that it finds stalled is interrupted (EINTR).
long write_to_terminal(const char* data, std::size_t length);

// ---- keyboard ----

// Starts the clock at 0 and forgets any keys taken in.
void keyboard_open();
bool keyboard_key_waiting();
int keyboard_read_key();
std::uint32_t keyboard_clock_ticks();
void keyboard_wait_until(std::uint32_t due_tick);

// Splits a stream of keyboard bytes into key presses. Returns how many bytes of `bytes[0..length)`
// make the first key press, or 0 when they are only the start of a longer sequence and more bytes
// may still come (`more_may_come`). Escape sequences (ESC [ ... final byte, ESC O x, ESC x) and
// UTF-8 characters are one key press each; anything else is one byte.
std::size_t key_press_length(const unsigned char* bytes, std::size_t length, bool more_may_come);

// ---- painting ----

// Chooses the output encoding (UTF-8, or EUC-KR where the locale says so) and forgets what the
// terminal shows. `needed_rows` is how many rows the screen takes.
void paint_open(int needed_rows);
void paint_close();

// The console operations, acting on the screen model.
void paint_write(const char* text, std::size_t length);
void paint_move(int column, int row);
void paint_attribute(std::uint16_t attribute);
void paint_cursor(bool visible, unsigned size);
void paint_clear();
void paint_colour_bright_white();
// Sends the terminal what changed since the last flush, and the bells rung, in one write.
void paint_flush();
struct screen_model;
const screen_model& paint_screen();
// Whether writing failed for good (a reader that went away, a full disk, a closed output), and
// the error it failed with; nothing more is written then.
bool paint_failed();
int paint_failure();
// The output can take nothing any more (its reader went away), found without writing: it fails
// for good with `error`, as a write would have.
void paint_output_gone(int error);

// The terminal's content is unknown (resumed after a stop): the next flush paints everything.
void paint_everything_again();
// The terminal's size changed to `columns` x `rows` (0 when unknown): repaints the whole screen,
// or, when the terminal is too small for it, shows one line that says so instead.
void paint_terminal_size(int columns, int rows);

// Writes the ECMA-48 SGR sequence that shows console attribute `attribute` (background * 16 +
// foreground, console colour numbers) into `out`, which holds at least 16 bytes; returns its
// length.
std::size_t sgr_sequence(std::uint16_t attribute, char* out);
