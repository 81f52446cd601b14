// The console operations on the Windows console: they act on a screen model, and each flush writes
// the runs of cells that differ from what the console shows (found by screen_damage) with one
// WriteConsoleOutputW, character and attribute together; the cursor and the bells follow. A flush
// that finds nothing changed makes no console call at all.
#include "platform_windows.h"

#include "screen_damage.h"
#include "screen_model.h"

#include <cstdio>
#include <cstdlib>

namespace {

struct painter_state {
    HANDLE output;
    bool to_console;
    screen_model model; // what the program wrote
    shown_screen shown; // what the console shows
    // The console's cursor as far as it is known.
    COORD position;
    bool position_known;
    CONSOLE_CURSOR_INFO cursor;
    bool cursor_known;
    std::uint32_t bells_sent;
    std::uint64_t console_calls;
    CHAR_INFO cells[screen_rows * screen_columns]; // the changed cells on their way
};

painter_state painter{};

// The console's cell for a cell of the model. A wide character fills two cells, marked as its
// leading and trailing half, as the console reads them back; one beyond UTF-16's single units
// shows as the replacement character.
CHAR_INFO console_cell(const screen_cell& cell) {
    CHAR_INFO out{};
    out.Char.UnicodeChar = cell.character <= 0xFFFF ? static_cast<WCHAR>(cell.character) : 0xFFFD;
    out.Attributes = cell.attribute;
    if (cell.part == cell_part::wide_left) {
        out.Attributes |= COMMON_LVB_LEADING_BYTE;
    } else if (cell.part == cell_part::wide_right) {
        out.Attributes |= COMMON_LVB_TRAILING_BYTE;
    }
    return out;
}

// Writes the model's cells of rows [top, bottom) and columns `columns` in one call, so that the
// console shows a cycle's changes all at once.
void write_rectangle(int top, int bottom, const cell_run& columns) {
    const int width = columns.end - columns.first;
    for (int row = top; row < bottom; ++row) {
        for (int c = 0; c < width; ++c) {
            painter.cells[(row - top) * width + c] =
                console_cell(painter.model.cells[row][columns.first + c]);
        }
        mark_shown(painter.model, painter.shown, row, columns);
    }
    SMALL_RECT region{static_cast<SHORT>(columns.first), static_cast<SHORT>(top),
                      static_cast<SHORT>(columns.end - 1), static_cast<SHORT>(bottom - 1)};
    WriteConsoleOutputW(painter.output, painter.cells,
                        COORD{static_cast<SHORT>(width), static_cast<SHORT>(bottom - top)},
                        COORD{0, 0}, &region);
    ++painter.console_calls;
}

// Writes the smallest rectangle that holds every run of changed cells: the cells in it that did
// not change are shown already, and cost less written again than calls of their own.
void paint_cells() {
    const std::uint32_t rows = take_damaged_rows(painter.model, painter.shown);
    int top = screen_rows;
    int bottom = 0;
    cell_run columns{screen_columns, 0};
    for (int row = 0; row < screen_rows; ++row) {
        cell_run run{};
        for (int from = 0;
             (rows & (1u << row)) != 0 && next_damage(painter.model, painter.shown, row, from, run);
             from = run.end) {
            top = row < top ? row : top;
            bottom = row + 1;
            columns.first = run.first < columns.first ? run.first : columns.first;
            columns.end = run.end > columns.end ? run.end : columns.end;
        }
    }
    if (top < bottom) {
        write_rectangle(top, bottom, columns);
    }
}

void paint_cursor_state() {
    const CONSOLE_CURSOR_INFO wanted{painter.model.cursor_size,
                                     painter.model.cursor_visible ? TRUE : FALSE};
    if (!painter.cursor_known || wanted.dwSize != painter.cursor.dwSize ||
        wanted.bVisible != painter.cursor.bVisible) {
        SetConsoleCursorInfo(painter.output, &wanted);
        ++painter.console_calls;
        painter.cursor = wanted;
        painter.cursor_known = true;
    }
    if (!painter.model.cursor_visible) {
        return; // a hidden cursor may stand anywhere
    }
    // Text that reached an edge leaves the cursor beyond it; the console keeps it on the last cell.
    const auto clamp = [](int value, int limit) {
        return static_cast<SHORT>(value < 0 ? 0 : value < limit ? value : limit - 1);
    };
    const COORD wanted_position{clamp(painter.model.column, screen_columns),
                                clamp(painter.model.row, screen_rows)};
    if (!painter.position_known || wanted_position.X != painter.position.X ||
        wanted_position.Y != painter.position.Y) {
        SetConsoleCursorPosition(painter.output, wanted_position);
        ++painter.console_calls;
        painter.position = wanted_position;
        painter.position_known = true;
    }
}

// The bells rung since the last flush, in one write: BEL moves nothing.
void ring_bells() {
    WCHAR bells[16];
    DWORD count = 0;
    for (; painter.bells_sent != painter.model.bells && count < 16; ++painter.bells_sent) {
        bells[count++] = L'\a';
    }
    if (count > 0) {
        DWORD written = 0;
        WriteConsoleW(painter.output, bells, count, &written, nullptr);
        ++painter.console_calls;
    }
}

// The console's content is no longer known (the command interpreter cleared or recoloured it).
void forget_console() {
    forget_shown(painter.shown);
    painter.position_known = false;
}

} // namespace

void paint_open(HANDLE output, bool to_console) {
    painter.output = output;
    painter.to_console = to_console;
    screen_reset(painter.model);
    forget_console();
    painter.cursor_known = false;
    painter.bells_sent = 0;
}

void paint_write(const char* text, std::size_t length) {
    screen_write(painter.model, text, length);
    if (!painter.to_console) {
        std::fwrite(text, 1, length, stdout);
    }
}

void paint_move(int column, int row) {
    screen_move(painter.model, column, row);
}

void paint_attribute(std::uint16_t attribute) {
    screen_set_attribute(painter.model, attribute);
}

void paint_cursor(bool visible, unsigned size) {
    screen_set_cursor(painter.model, visible, size);
}

void paint_clear() {
    screen_clear(painter.model);
    std::fflush(stdout);
    std::system("cls");
    forget_console();
}

void paint_colour_bright_white() {
    screen_recolour(painter.model, 15);
    std::fflush(stdout);
    std::system("color F");
    forget_console();
}

void paint_flush() {
    if (!painter.to_console) {
        std::fflush(stdout);
        return;
    }
    paint_cells();
    paint_cursor_state();
    ring_bells();
}

const screen_model& paint_screen() {
    return painter.model;
}

std::uint64_t paint_console_calls() {
    return painter.console_calls;
}
