// The bytes that go to a POSIX terminal, gathered in one buffer and written at once.
#include "platform_posix_emit.h"

#include "platform_posix.h"

#include <cerrno>
#include <clocale>
#include <cstdio>
#include <cstring>
#include <iconv.h>
#include <initializer_list>
#include <langinfo.h>
#include <poll.h>
#include <strings.h>

namespace {

struct terminal_output {
    // The terminal's cursor and colours, as far as they are known.
    int column;
    int row;
    bool position_known;
    std::uint16_t attribute;
    bool attribute_known;
    int cursor_visible; // -1 unknown, 0 hidden, 1 visible
    iconv_t to_euc_kr;
    bool euc_kr;
    char bytes[32768];
    std::size_t length;
    int failure; // the error of the write that failed for good, or 0
};

terminal_output output{};

void write_all(const char* data, std::size_t length) {
    while (length > 0 && output.failure == 0) {
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
            output.failure = written < 0 ? errno : EIO;
        }
    }
}

// Writes ESC [ `number` `final` into `out` (ESC [ `final` when `number` is 1 and may go).
std::size_t control_sequence(char* out, int number, char final, bool number_may_go = true) {
    const int n = number == 1 && number_may_go ? std::snprintf(out, 24, "\x1b[%c", final)
                                               : std::snprintf(out, 24, "\x1b[%d%c", number, final);
    return n < 0 ? 0 : static_cast<std::size_t>(n);
}

// Whether the cells from the cursor up to `column` on the cursor's row can be written again as
// they are, in fewer bytes than `budget`: plain ASCII already shown, in the current colours.
bool can_write_through(const screen_model& model, const shown_screen& shown, int column,
                       std::size_t budget) {
    const int gap = column - output.column;
    if (gap <= 0 || column > screen_columns || static_cast<std::size_t>(gap) >= budget ||
        !output.attribute_known) {
        return false;
    }
    for (int c = output.column; c < column; ++c) {
        const screen_cell& want = model.cells[output.row][c];
        if (!(want == shown.cells[output.row][c]) || want.character >= 0x80 ||
            want.attribute != output.attribute) {
            return false;
        }
    }
    return true;
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

} // namespace

void send_bytes() {
    write_all(output.bytes, output.length);
    output.length = 0;
}

void emit(const char* data, std::size_t length) {
    if (output.length + length > sizeof output.bytes) {
        send_bytes(); // only a repaint of a very busy screen gets here
    }
    std::memcpy(output.bytes + output.length, data, length);
    output.length += length;
}

void emit(const char* text) {
    emit(text, std::strlen(text));
}

// One character in the terminal's character set.
void emit_character(char32_t character) {
    char utf8[4];
    const std::size_t n = encode_utf8(character, utf8);
    if (!output.euc_kr || n == 1) {
        emit(utf8, n);
        return;
    }
    char converted[8];
    char* in = utf8;
    std::size_t in_left = n;
    char* to = converted;
    std::size_t to_left = sizeof converted;
    if (iconv(output.to_euc_kr, &in, &in_left, &to, &to_left) == static_cast<std::size_t>(-1)) {
        iconv(output.to_euc_kr, nullptr, nullptr, nullptr, nullptr);
        emit("?"); // not representable: the terminal's cursor may now stand elsewhere
        output.position_known = false;
        return;
    }
    emit(converted, sizeof converted - to_left);
}

// Moves the terminal's cursor to (column, row) with the shortest sequence that does it.
void emit_move(int column, int row, const screen_model& model, const shown_screen& shown) {
    if (output.position_known && output.row == row && output.column == column) {
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
    if (output.position_known && output.row == row) {
        char other[24] = "\r";
        const int distance = column - output.column;
        const std::size_t n = column == 0    ? 1
                              : distance > 0 ? control_sequence(other, distance, 'C')
                                             : control_sequence(other, column + 1, 'G', false);
        if (n < best_length) {
            std::memcpy(best, other, n);
            best_length = n;
        }
        if (can_write_through(model, shown, column, best_length + 1)) {
            for (int c = output.column; c < column; ++c) {
                emit_character(model.cells[row][c].character);
            }
            output.column = column;
            return;
        }
    }
    emit(best, best_length);
    output.column = column;
    output.row = row;
    output.position_known = true;
}

// Sets the terminal's colours to `attribute`, changing only what differs.
void emit_attribute(std::uint16_t attribute) {
    if (output.attribute_known && output.attribute == attribute) {
        return;
    }
    char sequence[24];
    std::size_t n = 0;
    const bool same_foreground =
        output.attribute_known && foreground_code(output.attribute) == foreground_code(attribute);
    const bool same_background =
        output.attribute_known && background_code(output.attribute) == background_code(attribute);
    if (same_foreground) {
        n = control_sequence(sequence, background_code(attribute), 'm', false);
    } else if (same_background) {
        n = control_sequence(sequence, foreground_code(attribute), 'm', false);
    } else {
        n = sgr_sequence(attribute, sequence);
    }
    emit(sequence, n);
    output.attribute = attribute;
    output.attribute_known = true;
}

void emit_cursor_visibility(bool visible) {
    if (output.cursor_visible == (visible ? 1 : 0)) {
        return;
    }
    emit(visible ? "\x1b[?25h" : "\x1b[?25l");
    output.cursor_visible = visible ? 1 : 0;
}

void cursor_went_on(int cells) {
    output.column += cells;
    if (output.column >= screen_columns) {
        output.position_known = false; // a terminal as wide as the screen waits to wrap
    }
}

void forget_cursor_and_colours() {
    output.position_known = false;
    output.attribute_known = false;
    output.cursor_visible = -1;
}

std::size_t sgr_sequence(std::uint16_t attribute, char* out) {
    const int n = std::snprintf(out, 16, "\x1b[%d;%dm", foreground_code(attribute),
                                background_code(attribute));
    return static_cast<std::size_t>(n);
}

void output_open() {
    output.to_euc_kr = reinterpret_cast<iconv_t>(-1);
    std::setlocale(LC_ALL, "");
    const char* charset = nl_langinfo(CODESET);
    for (const char* korean : {"EUC-KR", "EUCKR", "CP949", "UHC"}) {
        if (strcasecmp(charset, korean) == 0) {
            output.to_euc_kr = iconv_open("CP949", "UTF-8");
            output.euc_kr = output.to_euc_kr != reinterpret_cast<iconv_t>(-1);
        }
    }
    forget_cursor_and_colours();
}

void output_close() {
    send_bytes();
    if (output.euc_kr) {
        iconv_close(output.to_euc_kr);
        output.euc_kr = false;
    }
}

int output_failure() {
    return output.failure;
}

void output_failed(int error) {
    if (output.failure == 0) {
        output.failure = error;
    }
}
