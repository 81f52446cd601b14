#include "scenario_format.h"

#include "platform.h"

#include <cstdio>

namespace {

constexpr screen_field field_table[] = {
    {"registered", 40, 1, 8}, {"entered", 40, 2, 8}, {"lock", 10, 10, 6}, {"action", 20, 10, 7},
    {"echo", 40, 10, 0},      {"cover", 12, 11, 5},  {"door", 12, 12, 5}, {"sound", 1, 14, 7},
};

std::int64_t entered_count(const loop_state& loop) {
    return loop.signals != nullptr ? loop.signals->control->buffer->count : 0;
}

std::int64_t level(sensor_input input) {
    return input & 1; // 1 closed, 0 open
}

std::int64_t registered_code(const loop_state& loop) {
    const pw_code* code =
        loop.signals != nullptr ? loop.signals->control->buffer->registered : nullptr;
    return code != nullptr ? digit_string_value(code->digits, code_length) : -1;
}

std::int64_t entered_digits(const loop_state& loop) {
    if (loop.signals == nullptr) {
        return -1;
    }
    const pw_buffer* buffer = loop.signals->control->buffer;
    return digit_string_value(buffer->digits,
                              buffer->count > code_length ? code_length : buffer->count);
}

const state_name state_table[] = {
    {"pw_state", [](const loop_state& l) -> std::int64_t { return l.pw_state; }},
    {"pw_timer", [](const loop_state& l) -> std::int64_t { return l.pw_timer; }},
    {"count", entered_count},
    {"lock_state", [](const loop_state& l) -> std::int64_t { return l.lock_state; }},
    {"lock_timer", [](const loop_state& l) -> std::int64_t { return l.lock_timer; }},
    {"locked", [](const loop_state& l) -> std::int64_t { return l.status.locked; }},
    {"changed", [](const loop_state& l) -> std::int64_t { return l.status.changed; }},
    {"sound_state", [](const loop_state& l) -> std::int64_t { return l.sound_state; }},
    {"sound_timer", [](const loop_state& l) -> std::int64_t { return l.sound_timer; }},
    {"light_state", [](const loop_state& l) -> std::int64_t { return l.light_state; }},
    {"light_timer", [](const loop_state& l) -> std::int64_t { return l.light_timer; }},
    {"backlight", [](const loop_state& l) -> std::int64_t { return l.backlight; }},
    {"sound", [](const loop_state& l) -> std::int64_t { return l.sound_code; }},
    {"cycle", [](const loop_state& l) { return static_cast<std::int64_t>(l.cycle_number); }},
    {"door", [](const loop_state& l) { return level(l.door_input); }},
    {"cover", [](const loop_state& l) { return level(l.cover_input); }},
    {"registered", registered_code, true},
    {"entered", entered_digits, true},
};

// Keys by name. The first of each code is the name a recording writes.
struct named_key {
    const char* name;
    int code;
};

constexpr named_key key_table[] = {
    {"esc", 0x1b},
    {"space", ' '},
    {"tab", '\t'},
    {"enter", '\r'},
    {"backspace", 0x7f},
    {"lt", '<'},
    {"hash", '#'},
    {"quote", '"'},
    {"other", key_no_command},
    // Keys that arrive as escape sequences: no command, like every key but the commands.
    {"up", key_no_command},
    {"down", key_no_command},
    {"left", key_no_command},
    {"right", key_no_command},
    {"home", key_no_command},
    {"end", key_no_command},
    {"insert", key_no_command},
    {"delete", key_no_command},
    {"pgup", key_no_command},
    {"pgdn", key_no_command},
    {"f1", key_no_command},
    {"f2", key_no_command},
    {"f3", key_no_command},
    {"f4", key_no_command},
    {"f5", key_no_command},
    {"f6", key_no_command},
    {"f7", key_no_command},
    {"f8", key_no_command},
    {"f9", key_no_command},
    {"f10", key_no_command},
    {"f11", key_no_command},
    {"f12", key_no_command},
};

} // namespace

const std::span<const screen_field> screen_fields{field_table};
const std::span<const state_name> state_names{state_table};

std::int64_t digit_string_value(const std::int32_t* digits, int count) {
    if (count <= 0) {
        return -1;
    }
    std::int64_t value = count;
    for (int i = 0; i < count; ++i) {
        value = value << 4 | (digits[i] & 0xF);
    }
    return value << (4 * (code_length - count));
}

std::string state_value_text(const state_name& name, std::int64_t value) {
    if (!name.digit_string) {
        return std::to_string(value);
    }
    if (value < 0) {
        return "none";
    }
    const auto count = static_cast<int>(value >> (4 * code_length));
    std::string text;
    for (int i = 0; i < count; ++i) {
        text += static_cast<char>('0' + ((value >> (4 * (code_length - 1 - i))) & 0xF));
    }
    return text;
}

bool parse_state_value(const state_name& name, const std::string& text, std::int64_t& value) {
    if (name.digit_string) {
        if (text == "none") {
            value = -1;
            return true;
        }
        if (text.empty() || text.size() > static_cast<std::size_t>(code_length)) {
            return false;
        }
        std::int32_t digits[code_length] = {};
        for (std::size_t i = 0; i < text.size(); ++i) {
            if (text[i] < '0' || text[i] > '9') {
                return false;
            }
            digits[i] = text[i] - '0';
        }
        value = digit_string_value(digits, static_cast<int>(text.size()));
        return true;
    }
    if (text.empty() || text.size() > 18) { // below 2^63
        return false;
    }
    value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') {
            return false;
        }
        value = value * 10 + (c - '0');
    }
    return true;
}

int key_code(const std::string& name) {
    for (const named_key& k : key_table) {
        if (name == k.name) {
            return k.code;
        }
    }
    return -1;
}

const char* key_name(int code) {
    for (const named_key& k : key_table) {
        if (k.code == code) {
            return k.name;
        }
    }
    return nullptr;
}

void append_key(std::string& out, int key) {
    if (const char* name = key_name(key)) {
        out += '<';
        out += name;
        out += '>';
        return;
    }
    if (key > 0x20 && key < 0x7F) {
        out += static_cast<char>(key);
        return;
    }
    char name[16];
    std::snprintf(name, sizeof name, "<0x%02x>", static_cast<unsigned>(key & 0xFF));
    out += name;
}

std::string step_label(const step& s) {
    if (s.field != 0) {
        return screen_fields[s.field - 1u].name;
    }
    return std::string(s.kind == step_kind::expect_attr ? "attr " : "text ") +
           std::to_string(s.column) + " " + std::to_string(s.row);
}

std::string tokenize(const std::string& line, std::vector<token>& tokens) {
    std::size_t i = 0;
    for (;;) {
        while (i < line.size() && (line[i] == ' ' || line[i] == '\t')) {
            ++i;
        }
        if (i == line.size() || line[i] == '#') {
            return {};
        }
        token t{{}, line[i] == '"'};
        if (t.quoted) {
            bool closed = false;
            for (++i; i < line.size(); ++i) {
                if (line[i] == '\\' && i + 1 < line.size() &&
                    (line[i + 1] == '"' || line[i + 1] == '\\')) {
                    t.text += line[++i];
                } else if (line[i] == '"') {
                    closed = true;
                    ++i;
                    break;
                } else {
                    t.text += line[i];
                }
            }
            if (!closed) {
                return "the text has no closing quote";
            }
            if (i < line.size() && line[i] != ' ' && line[i] != '\t') {
                return "a blank must follow the closing quote";
            }
        } else {
            while (i < line.size() && line[i] != ' ' && line[i] != '\t') {
                t.text += line[i++];
            }
        }
        tokens.push_back(t);
    }
}

std::string quoted(const std::string& text) {
    std::string out = "\"";
    for (char c : text) {
        if (c == '"' || c == '\\') {
            out += '\\';
        }
        out += c;
    }
    return out + "\"";
}

std::size_t utf8_character_length(const std::string& text, std::size_t i) {
    const auto lead = static_cast<unsigned char>(text[i]);
    const std::size_t n = lead < 0x80   ? 1
                          : lead < 0xC2 ? 0
                          : lead < 0xE0 ? 2
                          : lead < 0xF0 ? 3
                          : lead < 0xF5 ? 4
                                        : 0;
    if (n == 0 || i + n > text.size()) {
        return 0;
    }
    for (std::size_t k = 1; k < n; ++k) {
        if ((static_cast<unsigned char>(text[i + k]) & 0xC0) != 0x80) {
            return 0;
        }
    }
    // No overlong forms, no surrogates, nothing beyond U+10FFFF.
    const auto second = static_cast<unsigned char>(text[i + 1 < text.size() ? i + 1 : i]);
    const bool valid = (lead != 0xE0 || second >= 0xA0) && (lead != 0xED || second <= 0x9F) &&
                       (lead != 0xF0 || second >= 0x90) && (lead != 0xF4 || second <= 0x8F);
    return valid ? n : 0;
}

std::string escaped(const std::string& text) {
    constexpr int most_characters = 40;
    std::string out;
    int characters = 0;
    for (std::size_t i = 0; i < text.size(); ++characters) {
        if (characters == most_characters) {
            return out + "...";
        }
        const auto c = static_cast<unsigned char>(text[i]);
        std::size_t n = utf8_character_length(text, i);
        const bool c1 = n == 2 && c == 0xC2 && static_cast<unsigned char>(text[i + 1]) < 0xA0;
        if (n == 0 || c < 0x20 || c == 0x7F || c1) {
            const std::size_t bytes = n == 0 ? 1 : n;
            for (std::size_t k = 0; k < bytes; ++k) {
                char hex[8];
                std::snprintf(hex, sizeof hex, "\\x%02X",
                              static_cast<unsigned>(static_cast<unsigned char>(text[i + k])));
                out += hex;
            }
            i += bytes;
        } else {
            out.append(text, i, n);
            i += n;
        }
    }
    return out;
}
