#include "test_platform.h"

#include "platform.h"
#include "utf8.h"

#include <algorithm>

namespace {

test_console the_console;

bool wide(char32_t c) {
    return c >= 0xAC00 && c <= 0xD7A3;
}

void put_char(test_console& con, char32_t c) {
    if (c == U'\n') {
        con.row += 1;
        con.column = 0;
        return;
    }
    if (c == U'\a') {
        con.bells += 1;
        return;
    }
    if (con.row >= test_console::rows || con.column >= test_console::columns) {
        return;
    }
    con.cells[con.row][con.column] = {c, con.attribute, false};
    con.column += 1;
    if (wide(c) && con.column < test_console::columns) {
        con.cells[con.row][con.column] = {U' ', con.attribute, true};
        con.column += 1;
    }
}

} // namespace

test_console& console_under_test() {
    return the_console;
}

void reset_console_under_test() {
    the_console.~test_console();
    new (&the_console) test_console();
}

std::string screen_text(int column, int row, int width) {
    std::string out;
    for (int c = column; c < column + width && c < test_console::columns; ++c) {
        const screen_cell& cell = the_console.cells[row][c];
        if (!cell.wide_tail) {
            append_utf8(out, cell.ch);
        }
    }
    return out;
}

std::uint16_t screen_attribute(int column, int row) {
    return the_console.cells[row][column].attribute;
}

// ---- the platform operations ----

bool console_open(int below_row) {
    the_console.open = true;
    the_console.below_row = below_row;
    return true;
}

void console_close() {
    the_console.open = false;
}

bool key_waiting() {
    test_console& con = the_console;
    if (con.give_up_tick != 0 && con.now >= con.give_up_tick && con.keys.empty()) {
        con.keys.push_back({con.now, 'Q'});
    }
    return !con.keys.empty() && con.keys.front().tick <= con.now;
}

int read_key() {
    const int code = the_console.keys.front().code;
    the_console.keys.pop_front();
    return code;
}

std::uint32_t clock_ticks() {
    return the_console.now;
}

void wait_for_key_until(std::uint32_t due_tick) {
    test_console& con = the_console;
    if (key_waiting()) {
        return;
    }
    std::uint32_t next = due_tick;
    if (!con.keys.empty()) {
        next = std::min(next, con.keys.front().tick);
    }
    con.now = std::max(con.now, next);
}

void console_write(const char* text, std::size_t length) {
    test_console& con = the_console;
    con.ops.push_back(console_op::write);
    con.text.append(text, length);
    for (std::size_t i = 0; i < length;) {
        const auto byte = static_cast<unsigned char>(text[i]);
        char32_t c = byte;
        std::size_t n = 1;
        if (byte >= 0xE0) {
            n = 3;
            c = byte & 0x0Fu;
        } else if (byte >= 0xC0) {
            n = 2;
            c = byte & 0x1Fu;
        }
        for (std::size_t k = 1; k < n && i + k < length; ++k) {
            c = (c << 6) | (static_cast<unsigned char>(text[i + k]) & 0x3Fu);
        }
        put_char(con, c);
        i += n;
    }
}

void console_move(int column, int row) {
    the_console.ops.push_back(console_op::move);
    the_console.column = column;
    the_console.row = row;
}

void console_attribute(std::uint16_t attribute) {
    the_console.ops.push_back(console_op::attribute);
    the_console.attribute = attribute;
}

void console_cursor(bool visible, unsigned size) {
    the_console.ops.push_back(console_op::cursor);
    the_console.cursor_visible = visible;
    the_console.cursor_size = size;
}

void console_clear() {
    test_console& con = the_console;
    con.ops.push_back(console_op::clear);
    for (auto& line : con.cells) {
        std::fill(std::begin(line), std::end(line), screen_cell{U' ', con.attribute, false});
    }
    con.column = con.row = 0;
}

void console_colour_bright_white() {
    test_console& con = the_console;
    con.ops.push_back(console_op::colour);
    con.attribute = 15;
    for (auto& line : con.cells) {
        for (screen_cell& cell : line) {
            cell.attribute = 15;
        }
    }
}

void console_flush() {
    test_console& con = the_console;
    con.ops.push_back(console_op::flush);
    con.flush_ticks.push_back(con.now);
    if (con.on_flush) {
        con.on_flush();
    }
}
