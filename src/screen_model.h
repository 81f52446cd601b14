// What the console shows: cells of character and attribute, the cursor and the attribute that the
// next text takes. The console operations act on it the way they act on a console, so every text
// lands at the position and in the attribute in effect when it is written. The terminal layer
// paints the terminal from it; the in-memory platform is nothing else.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

constexpr int screen_columns = 80;
constexpr int screen_rows = 24;

// Which part of a character a cell holds: wide characters (Hangul) take two cells.
enum class cell_part : std::uint8_t { narrow, wide_left, wide_right };

struct screen_cell {
    char32_t character; // a blank is ' '; the right half of a wide character repeats it
    std::uint16_t attribute;
    cell_part part;

    bool operator==(const screen_cell&) const = default;
};

struct screen_model {
    screen_cell cells[screen_rows][screen_columns];
    int column;
    int row;
    std::uint16_t attribute;
    bool cursor_visible;
    unsigned cursor_size;
    std::uint32_t bells;        // rung since the start; whoever rings them keeps its own count
    std::uint32_t changed_rows; // one bit a row whose cells changed; whoever reads it clears it
};
static_assert(screen_rows <= 32, "one bit a row in screen_model::changed_rows");

// A console as a program finds it: blanks in attribute 7 (light grey on black), the cursor at the
// top left and visible.
void screen_reset(screen_model& screen);

void screen_move(screen_model& screen, int column, int row);
void screen_set_attribute(screen_model& screen, std::uint16_t attribute);
void screen_set_cursor(screen_model& screen, bool visible, unsigned size);

// Writes UTF-8 text at the cursor. A line break goes to column 0 of the next row, a carriage
// return to column 0, BEL rings a bell; other control characters move nothing. A wide character
// takes two cells, and writing over either half of one leaves a blank in the other half. Text
// beyond the right edge or the last row is dropped.
void screen_write(screen_model& screen, const char* text, std::size_t length);

// Blanks every cell in the current attribute and puts the cursor at the top left ("cls").
void screen_clear(screen_model& screen);
// Gives every cell `attribute`, keeping the text ("color F").
void screen_recolour(screen_model& screen, std::uint16_t attribute);

// Columns that a character takes: 2 for Hangul and other wide East Asian forms, else 1.
int character_width(char32_t character);

// Columns that UTF-8 `text` takes, as screen_write would place it.
int text_width(const char* text, std::size_t length);

// Writes the UTF-8 bytes of `character` into `out`, which holds at least 4; returns how many.
std::size_t encode_utf8(char32_t character, char* out);

// The text of `width` columns from (column, row), in UTF-8, a wide character once.
std::string screen_text(const screen_model& screen, int column, int row, int width);
