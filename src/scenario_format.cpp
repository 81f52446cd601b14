#include "scenario_format.h"

#include "platform.h"

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
    {"cycle", [](const loop_state& l) -> std::int64_t { return l.cycle_number; }},
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
    if (text.empty() || text.size() > 10) {
        return false;
    }
    value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') {
            return false;
        }
        value = value * 10 + (c - '0');
    }
    return value <= 4294967295LL;
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
