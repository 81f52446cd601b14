#include "scenario_line.h"

#include "platform.h"
#include "screen_model.h"

#include <limits>

namespace {

// A word of the file as a message shows it: in single quotes, escaped and cut.
std::string word(const std::string& text) {
    return "'" + escaped(text) + "'";
}

std::string unexpected(const std::vector<token>& t, std::size_t at) {
    return t.size() > at ? "unexpected " + word(t[at].text) : "";
}

bool parse_number(const std::string& text, std::int64_t limit, std::int64_t& value) {
    if (text.empty()) {
        return false;
    }
    value = 0;
    for (char c : text) {
        if (c < '0' || c > '9' || value > (limit - (c - '0')) / 10) {
            return false;
        }
        value = value * 10 + (c - '0');
    }
    return true;
}

bool parse_number(const std::string& text, std::int64_t limit, std::uint64_t& value) {
    std::int64_t n = 0;
    const bool good = parse_number(text, limit, n);
    value = static_cast<std::uint64_t>(n);
    return good;
}

bool valid_utf8(const std::string& text) {
    for (std::size_t i = 0; i < text.size();) {
        const std::size_t n = utf8_character_length(text, i);
        if (n == 0) {
            return false;
        }
        i += n;
    }
    return true;
}

int hex_digit(char c) {
    return c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
}

// The key codes of KEYS: characters as the program reads them, <name> for named keys and
// <0xNN> for any byte.
std::string parse_keys(const std::string& text, std::vector<std::uint16_t>& keys) {
    for (std::size_t i = 0; i < text.size();) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (c == '<') {
            const std::size_t end = text.find('>', i);
            if (end == std::string::npos) {
                return "a key name must end with >";
            }
            std::string name = text.substr(i + 1, end - i - 1);
            for (char& n : name) {
                n = (n >= 'A' && n <= 'Z') ? static_cast<char>(n - 'A' + 'a') : n;
            }
            int code = key_code(name);
            if (name.size() == 4 && name[0] == '0' && name[1] == 'x' && hex_digit(name[2]) >= 0 &&
                hex_digit(name[3]) >= 0) {
                code = hex_digit(name[2]) * 16 + hex_digit(name[3]);
            }
            if (code < 0) {
                return "unknown key <" + escaped(name) + ">";
            }
            keys.push_back(static_cast<std::uint16_t>(code));
            i = end + 1;
        } else if (c == '\r' || c == '\0') {
            // Invisible in an editor, and a stray one from a line ending: never a key press.
            return c == '\r' ? "a carriage return inside the keys (<enter> is the Enter key)"
                             : "a NUL byte inside the keys (<0x00> is that key)";
        } else if (c >= 0x80) {
            const std::size_t n = utf8_character_length(text, i);
            if (n == 0) {
                return "the keys are not UTF-8";
            }
            keys.push_back(key_no_command); // one key press that is no command
            i += n;
        } else {
            keys.push_back(c);
            ++i;
        }
    }
    return "";
}

std::string parse_wait(const std::string& text, std::uint64_t& cycles) {
    std::string digits = text;
    std::int64_t per = 1; // cycles per unit
    std::int64_t ms_per = 0;
    if (digits.size() > 2 && digits.compare(digits.size() - 2, 2, "ms") == 0) {
        digits.resize(digits.size() - 2);
        ms_per = 1;
    } else if (digits.size() > 1 && digits.back() == 's') {
        digits.pop_back();
        per = 100;
    }
    std::int64_t n = 0;
    if (!parse_number(digits, 100000000000LL, n)) {
        return "bad number " + word(text);
    }
    if (ms_per != 0) {
        if (n % 10 != 0) {
            return escaped(text) + " is not a whole number of 10 ms cycles";
        }
        cycles = static_cast<std::uint64_t>(n / 10);
    } else {
        cycles = static_cast<std::uint64_t>(n * per);
    }
    return {};
}

// Whether the UTF-8 text holds a character the screen never shows: C0, DEL or C1.
bool holds_control(const std::string& text) {
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (c < 0x20 || c == 0x7F ||
            (c == 0xC2 && i + 1 < text.size() && static_cast<unsigned char>(text[i + 1]) < 0xA0)) {
            return true;
        }
    }
    return false;
}

std::string parse_expect_text(const std::vector<token>& t, std::size_t at, step& s,
                              scenario_steps& into) {
    if (t.size() <= at || !t[at].quoted) {
        return "the text must be in double quotes";
    }
    const std::string& text = t[at].text;
    if (!valid_utf8(text)) {
        return "the text is not UTF-8";
    }
    if (text.empty()) {
        return "the text is empty: it would check nothing";
    }
    if (holds_control(text)) {
        return "the text holds a control character, which the screen never shows";
    }
    const int width = text_width(text.data(), text.size());
    const int field_width = s.field != 0 ? screen_fields[s.field - 1u].width : 0;
    if (field_width != 0 && width != field_width) {
        return "the text is " + std::to_string(width) + " columns wide, the field " +
               step_label(s) + " " + std::to_string(field_width);
    }
    if (s.column + width > screen_columns) {
        return "the text goes past the right edge of the screen";
    }
    s.first = static_cast<std::uint32_t>(into.texts.size());
    s.count = static_cast<std::uint32_t>(text.size());
    into.texts += text;
    return unexpected(t, at + 1);
}

std::string parse_position(const std::vector<token>& t, step& s) {
    std::int64_t column = 0;
    std::int64_t row = 0;
    if (t.size() < 5) {
        return "expect " + t[1].text + " needs a column, a row and a value";
    }
    if (!parse_number(t[2].text, screen_columns - 1, column)) {
        return "bad column " + word(t[2].text) + " (0 to 79)";
    }
    if (!parse_number(t[3].text, screen_rows - 1, row)) {
        return "bad row " + word(t[3].text) + " (0 to 23)";
    }
    s.column = static_cast<std::uint8_t>(column);
    s.row = static_cast<std::uint8_t>(row);
    return {};
}

std::string parse_state_checks(const std::vector<token>& t, step& s, scenario_steps& into) {
    s.kind = step_kind::expect_state;
    s.first = static_cast<std::uint32_t>(into.checks.size());
    for (std::size_t i = 1; i < t.size(); ++i) {
        const std::size_t eq = t[i].text.find('=');
        if (eq == std::string::npos) {
            return "expected NAME=VALUE, not " + word(t[i].text);
        }
        const std::string name = t[i].text.substr(0, eq);
        state_check check{nullptr, 0};
        for (const state_name& n : state_names) {
            if (name == n.name) {
                check.name = &n;
            }
        }
        if (check.name == nullptr) {
            return "unknown name " + word(name);
        }
        const std::string value = t[i].text.substr(eq + 1);
        if (!parse_state_value(*check.name, value, check.value)) {
            return check.name->digit_string
                       ? "bad digits " + word(value) + " (none, or one to four digits)"
                       : "bad number " + word(value);
        }
        into.checks.push_back(check);
        s.count += 1;
    }
    return {};
}

std::string parse_expect(const std::vector<token>& t, step& s, scenario_steps& into) {
    if (t.size() < 2) {
        return "expect needs what to expect";
    }
    const std::string& what = t[1].text;
    if (what == "text") {
        s.kind = step_kind::expect_text;
        const std::string error = parse_position(t, s);
        return error.empty() ? parse_expect_text(t, 4, s, into) : error;
    }
    if (what == "attr") {
        s.kind = step_kind::expect_attr;
        const std::string error = parse_position(t, s);
        if (!error.empty()) {
            return error;
        }
        if (!parse_number(t[4].text, 65535, s.number)) {
            return "bad attribute " + word(t[4].text);
        }
        return unexpected(t, 5);
    }
    if (what == "bells") {
        s.kind = step_kind::expect_bells;
        if (t.size() < 3 || !parse_number(t[2].text, 1000000000, s.number)) {
            return "expect bells needs a number";
        }
        return unexpected(t, 3);
    }
    if (what.find('=') != std::string::npos) {
        return parse_state_checks(t, s, into);
    }
    for (std::size_t i = 0; i < screen_fields.size(); ++i) {
        const screen_field& f = screen_fields[i];
        if (what == f.name) {
            s.kind = step_kind::expect_text;
            s.column = static_cast<std::uint8_t>(f.column);
            s.row = static_cast<std::uint8_t>(f.row);
            s.field = static_cast<std::uint8_t>(i + 1);
            return parse_expect_text(t, 2, s, into);
        }
    }
    return "unknown field " + word(what) +
           " (registered, entered, lock, action, echo, cover, door, sound, text, attr, bells, "
           "or NAME=VALUE)";
}

} // namespace

std::string parse_step(const std::vector<token>& t, step& s, scenario_steps& into) {
    const std::string& verb = t[0].text;
    if (t[0].quoted) {
        return "a step begins with a word";
    }
    if (verb == "type" || verb == "press") {
        s.kind = verb == "type" ? step_kind::type : step_kind::press;
        if (t.size() < 2 || t[1].quoted) {
            return verb + " needs the keys";
        }
        s.first = static_cast<std::uint32_t>(into.keys.size());
        const std::string error = parse_keys(t[1].text, into.keys);
        s.count = static_cast<std::uint32_t>(into.keys.size() - s.first);
        if (!error.empty()) {
            return error;
        }
        return unexpected(t, 2);
    }
    if (verb == "wait") {
        s.kind = step_kind::wait;
        if (t.size() < 2) {
            return "wait needs a number of cycles, or a time such as 3s or 250ms";
        }
        const std::string error = parse_wait(t[1].text, s.number);
        return error.empty() ? unexpected(t, 2) : error;
    }
    if (verb == "expect") {
        return parse_expect(t, s, into);
    }
    return "unknown step " + word(verb) + " (type, press, wait, expect)";
}

bool parse_timing(std::vector<token>& t, step& timing, std::string& error) {
    if (t.size() < 2 || t[0].text != "expect" || t[1].quoted ||
        (t[1].text != "within" && t[1].text != "for")) {
        return false;
    }
    const std::string how = t[1].text;
    timing.kind = how == "within" ? step_kind::expect_within : step_kind::expect_for;
    if (t.size() < 4) {
        error = "expect " + how + " needs a number of cycles and what to expect";
        return true;
    }
    error = parse_wait(t[2].text, timing.number);
    t.erase(t.begin() + 1, t.begin() + 3);
    if (error.empty() && !t[1].quoted && (t[1].text == "within" || t[1].text == "for")) {
        error = "expect " + how + " takes one time";
    }
    if (error.empty() && !t[1].quoted && t[1].text == "bells" &&
        timing.kind == step_kind::expect_for) {
        error = "bells ring at moments: expect within N bells counts them, expect for cannot";
    }
    return true;
}
