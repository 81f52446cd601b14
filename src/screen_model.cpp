#include "screen_model.h"

namespace {

constexpr char32_t replacement_character = 0xFFFD;
constexpr std::uint16_t console_default_attribute = 7;

bool on_screen(const screen_model& screen) {
    return screen.row >= 0 && screen.row < screen_rows && screen.column >= 0;
}

// Decodes the UTF-8 character at text[0..length); sets `used` to its length in bytes. Broken
// sequences give the replacement character, one byte at a time.
char32_t decode_utf8(const unsigned char* text, std::size_t length, std::size_t& used) {
    const unsigned char lead = text[0];
    used = 1;
    if (lead < 0x80) {
        return lead;
    }
    const std::size_t needed = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC2 ? 2 : 0;
    if (needed == 0 || lead > 0xF4 || needed > length) {
        return replacement_character;
    }
    char32_t c = lead & (0x7Fu >> needed);
    for (std::size_t i = 1; i < needed; ++i) {
        if ((text[i] & 0xC0) != 0x80) {
            return replacement_character;
        }
        c = (c << 6) | (text[i] & 0x3Fu);
    }
    used = needed;
    return c;
}

// Sets a cell of the cursor's row, noting the row as changed when the cell differs.
void set_cell(screen_model& screen, int column, const screen_cell& cell) {
    screen_cell& at = screen.cells[screen.row][column];
    if (!(at == cell)) {
        at = cell;
        screen.changed_rows |= 1u << screen.row;
    }
}

// Whether a character shows on the screen: not a control character (C0, DEL, C1).
bool takes_a_cell(char32_t c) {
    return c >= 0x20 && c != 0x7F && !(c >= 0x80 && c < 0xA0);
}

void blank(screen_model& screen, int column) {
    const screen_cell& cell = screen.cells[screen.row][column];
    set_cell(screen, column, {U' ', cell.attribute, cell_part::narrow});
}

// Puts a character of `width` columns at the cursor, clearing the halves of wide characters it
// cuts through.
void place(screen_model& screen, char32_t character, int width) {
    const screen_cell* line = screen.cells[screen.row];
    const int at = screen.column;
    if (line[at].part == cell_part::wide_right && at > 0) {
        blank(screen, at - 1);
    }
    const int last = at + width - 1;
    if (line[last].part == cell_part::wide_left && last + 1 < screen_columns) {
        blank(screen, last + 1);
    }
    if (width == 1) {
        set_cell(screen, at, {character, screen.attribute, cell_part::narrow});
    } else {
        set_cell(screen, at, {character, screen.attribute, cell_part::wide_left});
        set_cell(screen, at + 1, {character, screen.attribute, cell_part::wide_right});
    }
}

} // namespace

void screen_reset(screen_model& screen) {
    screen.attribute = console_default_attribute;
    screen_clear(screen);
    screen.cursor_visible = true;
    screen.cursor_size = 25;
    screen.bells = 0;
}

void screen_move(screen_model& screen, int column, int row) {
    screen.column = column;
    screen.row = row;
}

void screen_set_attribute(screen_model& screen, std::uint16_t attribute) {
    screen.attribute = attribute;
}

void screen_set_cursor(screen_model& screen, bool visible, unsigned size) {
    screen.cursor_visible = visible;
    screen.cursor_size = size;
}

void screen_write(screen_model& screen, const char* text, std::size_t length) {
    const auto* bytes = reinterpret_cast<const unsigned char*>(text);
    for (std::size_t i = 0; i < length;) {
        std::size_t used = 1;
        const char32_t c = decode_utf8(bytes + i, length - i, used);
        i += used;
        if (c == U'\n') {
            screen.column = 0;
            screen.row += 1;
        } else if (c == U'\r') {
            screen.column = 0;
        } else if (c == U'\a') {
            screen.bells += 1;
        } else if (takes_a_cell(c)) {
            const int width = character_width(c);
            if (on_screen(screen) && screen.column + width <= screen_columns) {
                place(screen, c, width);
            }
            screen.column += width;
        }
    }
}

void screen_clear(screen_model& screen) {
    for (auto& line : screen.cells) {
        for (screen_cell& cell : line) {
            cell = {U' ', screen.attribute, cell_part::narrow};
        }
    }
    screen.column = 0;
    screen.row = 0;
    screen.changed_rows = ~0u;
}

void screen_recolour(screen_model& screen, std::uint16_t attribute) {
    for (auto& line : screen.cells) {
        for (screen_cell& cell : line) {
            cell.attribute = attribute;
        }
    }
    screen.attribute = attribute;
    screen.changed_rows = ~0u;
}

int character_width(char32_t c) {
    const bool wide = (c >= 0x1100 && c <= 0x115F) || (c >= 0x2E80 && c <= 0xA4CF) ||
                      (c >= 0xAC00 && c <= 0xD7A3) || (c >= 0xF900 && c <= 0xFAFF) ||
                      (c >= 0xFE30 && c <= 0xFE4F) || (c >= 0xFF00 && c <= 0xFF60) ||
                      (c >= 0xFFE0 && c <= 0xFFE6) || (c >= 0x20000 && c <= 0x3FFFD);
    return wide ? 2 : 1;
}

int text_width(const char* text, std::size_t length) {
    const auto* bytes = reinterpret_cast<const unsigned char*>(text);
    int width = 0;
    for (std::size_t i = 0; i < length;) {
        std::size_t used = 1;
        const char32_t c = decode_utf8(bytes + i, length - i, used);
        i += used;
        if (takes_a_cell(c)) {
            width += character_width(c);
        }
    }
    return width;
}

std::string screen_text(const screen_model& screen, int column, int row, int width) {
    std::string out;
    if (row < 0 || row >= screen_rows) {
        return out;
    }
    for (int c = column < 0 ? 0 : column; c < column + width && c < screen_columns; ++c) {
        const screen_cell& cell = screen.cells[row][c];
        if (cell.part == cell_part::wide_right) {
            continue;
        }
        char bytes[4];
        out.append(bytes, encode_utf8(cell.character, bytes));
    }
    return out;
}

std::size_t encode_utf8(char32_t c, char* out) {
    if (c < 0x80) {
        out[0] = static_cast<char>(c);
        return 1;
    }
    if (c < 0x800) {
        out[0] = static_cast<char>(0xC0 | (c >> 6));
        out[1] = static_cast<char>(0x80 | (c & 0x3F));
        return 2;
    }
    if (c < 0x10000) {
        out[0] = static_cast<char>(0xE0 | (c >> 12));
        out[1] = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out[2] = static_cast<char>(0x80 | (c & 0x3F));
        return 3;
    }
    out[0] = static_cast<char>(0xF0 | (c >> 18));
    out[1] = static_cast<char>(0x80 | ((c >> 12) & 0x3F));
    out[2] = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out[3] = static_cast<char>(0x80 | (c & 0x3F));
    return 4;
}
