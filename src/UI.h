// Console primitives and the two panels of the screen: the number pad and the status values.
#pragma once

#include "determine_signal.h"

#include <cstdint>

// Console colours (background * 16 + foreground makes an attribute).
constexpr int colour_black = 0;
constexpr int colour_light_blue = 9;
constexpr int colour_yellow = 14;
constexpr int colour_bright_white = 15;
constexpr std::uint16_t plain_attribute = 15; // bright white on black

// Rows below the lock's screen: the key legend, the live view of the controllers, and the first
// row below everything drawn (where the cursor is left at the end).
constexpr int legend_row = 16;
constexpr int states_row = 18;
constexpr int states_rows = 5;
constexpr int below_screen = legend_row + 1;
constexpr int below_states = states_row + states_rows;

void gotoxy(int x, int y);
void setcolor(int background, int foreground);
void set_nocursor(int visible);
void put_text(const char* text);

// The screen as the program starts: the console cleared and in bright white on black, the cursor
// hidden, the fixed labels and the key legend drawn, all of it on the console.
void draw_start_screen();
// The fixed labels beside which the status values stand.
void draw_labels();
// What each key does, on the row below the screen.
void draw_key_legend();
// The live view of the four controllers and the loop's one-cycle bytes.
void show_controller_states(const loop_state& loop);

// Draws the pad when a digit was typed in this cycle or the cover level or backlight differ from
// the last drawing; always ends with the plain attribute.
void num_pad_ui(int digit, sensor_input cover_input, std::uint8_t backlight);
// Forgets the last drawing, so that the next call draws the pad whatever it is given.
void num_pad_forget();

// Writes the status values and, in a cycle with a sound, the sound line with its bells.
void showState(const lock_status* status, std::uint8_t sound_code, const pw_buffer* buffer,
               sensor_input cover_input, sensor_input door_input);
int sound_display(std::uint8_t code);
