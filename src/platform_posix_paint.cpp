// The console operations on a POSIX terminal: they act on a screen model, and each flush paints
// onto the terminal the runs of cells that differ from what it shows (found by screen_damage), as
// ECMA-48 text with as few cursor moves and colour changes as it takes, in one write. A flush that
// finds nothing changed writes nothing.
#include "platform_posix.h"

#include "platform_posix_emit.h"
#include "screen_damage.h"
#include "screen_model.h"

#include <cstdio>

namespace {

struct painter_state {
    screen_model model; // what the program wrote
    shown_screen shown; // what the terminal shows
    std::uint32_t bells_sent;
    bool repaint_due;
    // The terminal's size and whether the screen fits.
    int needed_rows;
    int terminal_columns;
    int terminal_rows;
    bool too_small;
    bool size_line_shown;
};

painter_state painter{};

// Nothing on the terminal is known: its cells, its cursor, its colours.
void forget_terminal() {
    forget_shown(painter.shown);
    forget_cursor_and_colours();
}

// Clears the terminal in the console's colours (those of a cell the program never writes), which
// then shows only blanks.
void clear_terminal() {
    forget_terminal();
    const std::uint16_t background =
        painter.model.cells[screen_rows - 1][screen_columns - 1].attribute;
    emit_attribute(background);
    emit("\x1b[2J");
    for (auto& line : painter.shown.cells) {
        for (screen_cell& cell : line) {
            cell = {U' ', background, cell_part::narrow};
        }
    }
}

// Writes the model's character at (column, row) and records what the terminal now shows there,
// including the blank a terminal leaves in the other half of a wide character it writes over.
// Returns true when a cell before `column` became unknown.
bool paint_cell(int column, int row) {
    const screen_cell& want = painter.model.cells[row][column];
    const int width = want.part == cell_part::wide_left ? 2 : 1;
    screen_cell* shown = painter.shown.cells[row];
    bool behind = false;
    if (shown[column].part == cell_part::wide_right && column > 0) {
        shown[column - 1] = unknown_cell;
        behind = true;
    }
    const int last = column + width - 1;
    if (shown[last].part == cell_part::wide_left && last + 1 < screen_columns) {
        shown[last + 1] = unknown_cell;
    }
    emit_move(column, row, painter.model, painter.shown);
    emit_attribute(want.attribute);
    emit_character(want.character);
    for (int c = column; c <= last; ++c) {
        shown[c] = painter.model.cells[row][c];
    }
    cursor_went_on(width);
    return behind;
}

// Paints the cells of `row` that differ from what the terminal shows; true when one before the
// last painted became unknown on the way.
bool paint_row(int row) {
    bool behind = false;
    const screen_cell* want = painter.model.cells[row];
    cell_run run{};
    for (int from = 0; next_damage(painter.model, painter.shown, row, from, run); from = run.end) {
        for (int c = run.first; c < run.end;) {
            behind = paint_cell(c, row) || behind;
            c += want[c].part == cell_part::wide_left && c + 1 < screen_columns ? 2 : 1;
        }
    }
    return behind;
}

void paint_size_line() {
    char line[96];
    const int n = std::snprintf(line, sizeof line, "Terminal too small: %dx%d, needs %dx%d",
                                painter.terminal_columns, painter.terminal_rows, screen_columns,
                                painter.needed_rows);
    std::size_t length = n < 0 ? 0 : static_cast<std::size_t>(n);
    if (length > static_cast<std::size_t>(painter.terminal_columns)) {
        length = static_cast<std::size_t>(painter.terminal_columns);
    }
    forget_terminal();
    emit("\x1b[0m\x1b[2J\x1b[H");
    emit(line, length);
    painter.size_line_shown = true;
    painter.repaint_due = true; // the screen comes back whole once it fits
}

void paint() {
    if (painter.too_small) {
        if (!painter.size_line_shown) {
            paint_size_line();
        }
    } else {
        if (painter.repaint_due) {
            clear_terminal();
            painter.repaint_due = false;
        }
        const int rows = painter.terminal_rows > 0 && painter.terminal_rows < screen_rows
                             ? painter.terminal_rows
                             : screen_rows;
        const std::uint32_t changed = take_damaged_rows(painter.model, painter.shown);
        for (int row = 0; row < rows; ++row) {
            if ((changed & (1u << row)) != 0 && paint_row(row) && paint_row(row)) {
                painter.shown.unknown_rows |= 1u << row; // still unknown: look again next time
            }
        }
        if (painter.model.cursor_visible) {
            // Text that reached an edge leaves the cursor beyond it; the terminal keeps it on the
            // last cell.
            const int column =
                painter.model.column < screen_columns ? painter.model.column : screen_columns - 1;
            const int row = painter.model.row < rows ? painter.model.row : rows - 1;
            emit_move(column < 0 ? 0 : column, row < 0 ? 0 : row, painter.model, painter.shown);
        }
    }
    emit_cursor_visibility(painter.model.cursor_visible);
    for (; painter.bells_sent != painter.model.bells; ++painter.bells_sent) {
        emit("\a");
    }
    send_bytes();
}

} // namespace

void paint_open(int needed_rows) {
    output_open();
    screen_reset(painter.model);
    forget_terminal();
    painter.needed_rows = needed_rows;
    painter.repaint_due = true;
}

void paint_close() {
    output_close();
}

#ifdef DOORLOCK_FULL_REWRITE
// The reference build for the benchmark sends every text again as it is written, changed or not,
// as a console program that writes straight to the terminal does.
void paint_write(const char* text, std::size_t length) {
    std::size_t start = 0;
    for (std::size_t i = 0; i <= length; ++i) {
        if (i < length && text[i] != '\n') {
            continue;
        }
        const int row = painter.model.row;
        const int from = painter.model.column;
        screen_write(painter.model, text + start, i - start);
        if (row >= 0 && row < screen_rows && painter.model.row == row) {
            for (int c = from < 0 ? 0 : from; c < painter.model.column && c < screen_columns; ++c) {
                painter.shown.cells[row][c] = unknown_cell;
            }
        }
        if (row >= 0 && row < screen_rows) {
            painter.shown.unknown_rows |= 1u << row;
        }
        if (i < length) {
            screen_write(painter.model, "\n", 1);
        }
        start = i + 1;
    }
}
#else
void paint_write(const char* text, std::size_t length) {
    screen_write(painter.model, text, length);
}
#endif

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
    painter.repaint_due = true;
}

void paint_colour_bright_white() {
    screen_recolour(painter.model, 15);
    painter.repaint_due = true;
}

void paint_flush() {
    paint();
}

const screen_model& paint_screen() {
    return painter.model;
}

int paint_failure() {
    return output_failure();
}

void paint_output_gone(int error) {
    output_failed(error);
}

bool paint_failed() {
    return output_failure() != 0;
}

void paint_everything_again() {
    painter.repaint_due = true;
    painter.size_line_shown = false;
    forget_terminal();
}

void paint_terminal_size(int columns, int rows) {
    painter.terminal_columns = columns;
    painter.terminal_rows = rows;
    painter.too_small =
        columns > 0 && rows > 0 && (columns < screen_columns || rows < painter.needed_rows);
    paint_everything_again();
}
