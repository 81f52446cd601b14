// The console operations on a POSIX terminal: they act on a screen model, and each flush paints
// onto the terminal the runs of cells that differ from what it shows (found by screen_damage), as
// ECMA-48 text with as few cursor moves and colour changes as it takes, in one write. A flush that
// finds nothing changed writes nothing.
#include "platform_posix.h"

#include "screen_damage.h"
#include "screen_model.h"

#include <cerrno>
#include <clocale>
#include <cstdio>
#include <cstring>
#include <iconv.h>
#include <langinfo.h>
#include <poll.h>
#include <strings.h>
#include <unistd.h>

namespace {

struct painter_state {
    screen_model model; // what the program wrote
    shown_screen shown; // what the terminal shows
    // The terminal's cursor and colours, as far as they are known.
    int column;
    int row;
    bool position_known;
    std::uint16_t attribute;
    bool attribute_known;
    int cursor_visible; // -1 unknown, 0 hidden, 1 visible
    std::uint32_t bells_sent;
    bool repaint_due;
    // The terminal's size and whether the screen fits.
    int needed_rows;
    int terminal_columns;
    int terminal_rows;
    bool too_small;
    bool size_line_shown;
    // Output.
    iconv_t to_euc_kr;
    bool euc_kr;
    char bytes[32768];
    std::size_t length;
    int failure; // the error of the write that failed for good (nobody reads any more), or 0
};

painter_state painter{};

// ---- bytes out ----

void write_all(const char* data, std::size_t length) {
    while (length > 0 && painter.failure == 0) {
        const long written = write_to_terminal(data, length);
        if (written > 0) {
            data += written;
            length -= static_cast<std::size_t>(written);
        } else if (written < 0 && errno == ECANCELED) {
            return; // the run is ending: the screen is not written any more
        } else if (written < 0 && errno == EINTR) {
            continue;
        } else if (written < 0 && errno == EAGAIN) {
            pollfd ready{standard_output, POLLOUT, 0};
            poll(&ready, 1, 100);
        } else {
            painter.failure = written < 0 ? errno : EIO;
        }
    }
}

void send_bytes() {
    write_all(painter.bytes, painter.length);
    painter.length = 0;
}

void emit(const char* data, std::size_t length) {
    if (painter.length + length > sizeof painter.bytes) {
        send_bytes(); // only a repaint of a very busy screen gets here
    }
    std::memcpy(painter.bytes + painter.length, data, length);
    painter.length += length;
}

void emit(const char* text) {
    emit(text, std::strlen(text));
}

// One character in the terminal's character set.
void emit_character(char32_t character) {
    char utf8[4];
    const std::size_t n = encode_utf8(character, utf8);
    if (!painter.euc_kr || n == 1) {
        emit(utf8, n);
        return;
    }
    char converted[8];
    char* in = utf8;
    std::size_t in_left = n;
    char* to = converted;
    std::size_t to_left = sizeof converted;
    if (iconv(painter.to_euc_kr, &in, &in_left, &to, &to_left) == static_cast<std::size_t>(-1)) {
        iconv(painter.to_euc_kr, nullptr, nullptr, nullptr, nullptr);
        emit("?"); // not representable: the terminal's cursor may now stand elsewhere
        painter.position_known = false;
        return;
    }
    emit(converted, sizeof converted - to_left);
}

// ---- cursor and colours ----

// Writes ESC [ `number` `final` into `out` (ESC [ `final` when `number` is 1 and may go).
std::size_t control_sequence(char* out, int number, char final, bool number_may_go = true) {
    const int n = number == 1 && number_may_go ? std::snprintf(out, 24, "\x1b[%c", final)
                                               : std::snprintf(out, 24, "\x1b[%d%c", number, final);
    return n < 0 ? 0 : static_cast<std::size_t>(n);
}

// Whether the cells from the cursor up to `column` on the cursor's row can be written again as
// they are, in fewer bytes than `budget`: plain ASCII already shown, in the current colours.
bool can_write_through(int column, std::size_t budget) {
    const int gap = column - painter.column;
    if (gap <= 0 || column > screen_columns || static_cast<std::size_t>(gap) >= budget ||
        !painter.attribute_known) {
        return false;
    }
    for (int c = painter.column; c < column; ++c) {
        const screen_cell& want = painter.model.cells[painter.row][c];
        if (!(want == painter.shown.cells[painter.row][c]) || want.character >= 0x80 ||
            want.attribute != painter.attribute) {
            return false;
        }
    }
    return true;
}

// Moves the terminal's cursor to (column, row) with the shortest sequence that does it.
void emit_move(int column, int row) {
    if (painter.position_known && painter.row == row && painter.column == column) {
        return;
    }
    char best[24];
    std::size_t best_length = 0;
    if (column == 0) {
        best_length = control_sequence(best, row + 1, 'H'); // ESC [ H for the top left
    } else {
        const int n = std::snprintf(best, sizeof best, "\x1b[%d;%dH", row + 1, column + 1);
        best_length = n < 0 ? 0 : static_cast<std::size_t>(n);
    }
    if (painter.position_known && painter.row == row) {
        char other[24] = "\r";
        const int distance = column - painter.column;
        const std::size_t n = column == 0    ? 1
                              : distance > 0 ? control_sequence(other, distance, 'C')
                                             : control_sequence(other, column + 1, 'G', false);
        if (n < best_length) {
            std::memcpy(best, other, n);
            best_length = n;
        }
        if (can_write_through(column, best_length + 1)) {
            for (int c = painter.column; c < column; ++c) {
                emit_character(painter.model.cells[row][c].character);
            }
            painter.column = column;
            return;
        }
    }
    emit(best, best_length);
    painter.column = column;
    painter.row = row;
    painter.position_known = true;
}

// Console colours keep blue in bit 0 and red in bit 2; ANSI colours the other way round.
unsigned ansi_colour(unsigned console_colour) {
    return (console_colour & 0b1010u) | ((console_colour & 1u) << 2) | ((console_colour >> 2) & 1u);
}

int foreground_code(std::uint16_t attribute) {
    const unsigned colour = ansi_colour(attribute & 15u);
    return static_cast<int>(((colour & 8u) != 0 ? 90u : 30u) + (colour & 7u));
}

int background_code(std::uint16_t attribute) {
    const unsigned colour = ansi_colour((attribute >> 4) & 15u);
    return static_cast<int>(((colour & 8u) != 0 ? 100u : 40u) + (colour & 7u));
}

// Sets the terminal's colours to `attribute`, changing only what differs.
void emit_attribute(std::uint16_t attribute) {
    if (painter.attribute_known && painter.attribute == attribute) {
        return;
    }
    char sequence[24];
    std::size_t n = 0;
    const bool same_foreground =
        painter.attribute_known && foreground_code(painter.attribute) == foreground_code(attribute);
    const bool same_background =
        painter.attribute_known && background_code(painter.attribute) == background_code(attribute);
    if (same_foreground) {
        n = control_sequence(sequence, background_code(attribute), 'm', false);
    } else if (same_background) {
        n = control_sequence(sequence, foreground_code(attribute), 'm', false);
    } else {
        n = sgr_sequence(attribute, sequence);
    }
    emit(sequence, n);
    painter.attribute = attribute;
    painter.attribute_known = true;
}

void emit_cursor_visibility(bool visible) {
    if (painter.cursor_visible == (visible ? 1 : 0)) {
        return;
    }
    emit(visible ? "\x1b[?25h" : "\x1b[?25l");
    painter.cursor_visible = visible ? 1 : 0;
}

// ---- painting ----

// Nothing on the terminal is known: its cells, its cursor, its colours.
void forget_terminal() {
    forget_shown(painter.shown);
    painter.position_known = false;
    painter.attribute_known = false;
    painter.cursor_visible = -1;
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
    emit_move(column, row);
    emit_attribute(want.attribute);
    emit_character(want.character);
    for (int c = column; c <= last; ++c) {
        shown[c] = painter.model.cells[row][c];
    }
    painter.column += width;
    if (painter.column >= screen_columns) {
        painter.position_known = false; // a terminal as wide as the screen waits to wrap
    }
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
            emit_move(column < 0 ? 0 : column, row < 0 ? 0 : row);
        }
    }
    emit_cursor_visibility(painter.model.cursor_visible);
    for (; painter.bells_sent != painter.model.bells; ++painter.bells_sent) {
        emit("\a");
    }
    send_bytes();
}

} // namespace

std::size_t sgr_sequence(std::uint16_t attribute, char* out) {
    const int n = std::snprintf(out, 16, "\x1b[%d;%dm", foreground_code(attribute),
                                background_code(attribute));
    return static_cast<std::size_t>(n);
}

void paint_open(int needed_rows) {
    painter.to_euc_kr = reinterpret_cast<iconv_t>(-1);
    std::setlocale(LC_ALL, "");
    const char* charset = nl_langinfo(CODESET);
    for (const char* korean : {"EUC-KR", "EUCKR", "CP949", "UHC"}) {
        if (strcasecmp(charset, korean) == 0) {
            painter.to_euc_kr = iconv_open("CP949", "UTF-8");
            painter.euc_kr = painter.to_euc_kr != reinterpret_cast<iconv_t>(-1);
        }
    }
    screen_reset(painter.model);
    forget_terminal();
    painter.needed_rows = needed_rows;
    painter.repaint_due = true;
}

void paint_close() {
    send_bytes();
    if (painter.euc_kr) {
        iconv_close(painter.to_euc_kr);
        painter.euc_kr = false;
    }
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
    return painter.failure;
}

void paint_output_gone(int error) {
    if (painter.failure == 0) {
        painter.failure = error;
    }
}

bool paint_failed() {
    return painter.failure != 0;
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
