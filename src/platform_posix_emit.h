// The bytes that go to a POSIX terminal: one buffer, sent in one write; ECMA-48 cursor moves and
// colours, each the shortest for where the terminal's cursor and colours are known to be; and
// characters in the terminal's character set (UTF-8, or EUC-KR where the locale says so).
#pragma once

#include "screen_damage.h"
#include "screen_model.h"

#include <cstddef>
#include <cstdint>

// Chooses the character set from the locale; nothing about the terminal is known yet.
void output_open();
// Sends what is left and lets the character set go.
void output_close();

// Adds bytes to what the next send_bytes writes.
void emit(const char* data, std::size_t length);
void emit(const char* text);
// One character in the terminal's character set.
void emit_character(char32_t character);
// Writes what was emitted, in one write unless the terminal takes it in parts.
void send_bytes();

// Moves the terminal's cursor to (column, row), writing cells again where that is shorter than a
// move: cells the terminal shows (`shown`) as the program wrote them (`model`).
void emit_move(int column, int row, const screen_model& model, const shown_screen& shown);
// Sets the terminal's colours to `attribute` (a console attribute).
void emit_attribute(std::uint16_t attribute);
void emit_cursor_visibility(bool visible);
// A character just written took `cells` columns: the cursor went on by as many, or stands at the
// right edge where the terminal keeps it until it wraps (not known).
void cursor_went_on(int cells);
// The terminal's cursor, colours and cursor visibility are not known.
void forget_cursor_and_colours();

// The error of the write that failed for good (nobody reads any more), or 0; once set, nothing
// more is written.
int output_failure();
void output_failed(int error);
