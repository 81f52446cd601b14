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
