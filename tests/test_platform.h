// An in-memory platform for the tests: scripted keys on a virtual clock and a screen of cells.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <string>
#include <vector>

struct screen_cell {
    char32_t ch = U' ';
    std::uint16_t attribute = 0;
    bool wide_tail = false; // right half of a two-column character
};

enum class console_op { write, move, attribute, cursor, clear, colour, flush };

struct scripted_key {
    std::uint32_t tick; // the key becomes readable at this tick
    int code;
};

struct test_console {
    static constexpr int columns = 80;
    static constexpr int rows = 25;
    screen_cell cells[rows][columns];
    int column = 0;
    int row = 0;
    std::uint16_t attribute = 7;
    bool cursor_visible = true;
    unsigned cursor_size = 25;
    bool open = false;
    int below_row = -1;

    std::uint32_t now = 0;          // the virtual clock
    std::uint32_t give_up_tick = 0; // past this tick the keyboard types Q (0: never)
    std::deque<scripted_key> keys;  // not yet read
    std::vector<console_op> ops;    // every console operation, in order
    std::string text;               // everything written
    int bells = 0;
    std::vector<std::uint32_t> flush_ticks;
    std::function<void()> on_flush; // called at every flush (the end of each cycle)
};

// The one console the platform functions act on; reset() starts afresh.
test_console& console_under_test();
void reset_console_under_test();

// Text of `width` columns from (column, row), wide characters once.
std::string screen_text(int column, int row, int width);
std::uint16_t screen_attribute(int column, int row);
