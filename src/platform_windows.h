// What the files of the Windows console platform share:
//   platform_windows.cpp        the console's modes and their way back, keys, the clock, the wait
//                               between cycles
//   platform_windows_paint.cpp  the screen model painted onto the console by change
#pragma once

#include <windows.h>

#include <cstddef>
#include <cstdint>

// Paints onto `output`: a console when `to_console`, else a file or pipe, which gets the texts as
// they are written. Forgets what the console shows.
void paint_open(HANDLE output, bool to_console);

// The console operations, acting on the screen model.
void paint_write(const char* text, std::size_t length);
void paint_move(int column, int row);
void paint_attribute(std::uint16_t attribute);
void paint_cursor(bool visible, unsigned size);
void paint_clear();
void paint_colour_bright_white();
// Sends the console what changed since the last flush, and the bells rung.
void paint_flush();
struct screen_model;
const screen_model& paint_screen();

// How many console calls painting has made since the start: a flush that finds nothing changed
// adds none.
std::uint64_t paint_console_calls();
