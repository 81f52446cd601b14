#include "scenario_parse.h"

#include "platform.h"
#include "screen_model.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace {

bool parse_number(const std::string& text, std::int64_t limit, std::int64_t& value) {
    if (text.empty() || text.size() > 12) {
        return false;
    }
    value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') {
            return false;
        }
        value = value * 10 + (c - '0');
    }
    return value <= limit;
}

// Length of the valid UTF-8 character at text[i], or 0.
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
std::string parse_keys(const std::string& text, std::vector<int>& keys) {
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
                return "unknown key <" + name + ">";
            }
            keys.push_back(code);
            i = end + 1;
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
    return keys.empty() ? "no keys" : "";
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
        return "bad number '" + text + "'";
    }
    if (ms_per != 0) {
        if (n % 10 != 0) {
            return text + " is not a whole number of 10 ms cycles";
        }
        cycles = static_cast<std::uint64_t>(n / 10);
    } else {
        cycles = static_cast<std::uint64_t>(n * per);
    }
    return {};
}

std::string parse_expect_text(const std::vector<token>& t, std::size_t at, step& s) {
    if (t.size() <= at || !t[at].quoted) {
        return "the text must be in double quotes";
    }
    if (!valid_utf8(t[at].text)) {
        return "the text is not UTF-8";
    }
    if (t[at].text.empty()) {
        return "the text is empty: it would check nothing";
    }
    for (char c : t[at].text) {
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) {
            return "the text holds a control character, which the screen never shows";
        }
    }
    s.text = t[at].text;
    const int width = text_width(s.text.data(), s.text.size());
    if (s.width != 0 && width != s.width) {
        return "the text is " + std::to_string(width) + " columns wide, the field " + s.label +
               " " + std::to_string(s.width);
    }
    s.width = width;
    if (s.column + width > screen_columns) {
        return "the text goes past the right edge of the screen";
    }
    return t.size() > at + 1 ? "unexpected '" + t[at + 1].text + "'" : "";
}

std::string parse_position(const std::vector<token>& t, step& s) {
    std::int64_t column = 0;
    std::int64_t row = 0;
    if (t.size() < 5) {
        return "expect " + t[1].text + " needs a column, a row and a value";
    }
    if (!parse_number(t[2].text, screen_columns - 1, column)) {
        return "bad column '" + t[2].text + "' (0 to 79)";
    }
    if (!parse_number(t[3].text, screen_rows - 1, row)) {
        return "bad row '" + t[3].text + "' (0 to 23)";
    }
    s.column = static_cast<int>(column);
    s.row = static_cast<int>(row);
    s.label = t[1].text + " " + t[2].text + " " + t[3].text;
    return {};
}

std::string parse_expect(const std::vector<token>& t, step& s) {
    if (t.size() < 2) {
        return "expect needs what to expect";
    }
    const std::string& what = t[1].text;
    if (what == "text") {
        s.kind = step_kind::expect_text;
        const std::string error = parse_position(t, s);
        return error.empty() ? parse_expect_text(t, 4, s) : error;
    }
    if (what == "attr") {
        s.kind = step_kind::expect_attr;
        const std::string error = parse_position(t, s);
        if (!error.empty()) {
            return error;
        }
        if (!parse_number(t[4].text, 65535, s.number)) {
            return "bad attribute '" + t[4].text + "'";
        }
        return t.size() > 5 ? "unexpected '" + t[5].text + "'" : "";
    }
    if (what == "bells") {
        s.kind = step_kind::expect_bells;
        if (t.size() < 3 || !parse_number(t[2].text, 1000000000, s.number)) {
            return "expect bells needs a number";
        }
        return t.size() > 3 ? "unexpected '" + t[3].text + "'" : "";
    }
    if (what.find('=') != std::string::npos) {
        s.kind = step_kind::expect_state;
        for (std::size_t i = 1; i < t.size(); ++i) {
            const std::size_t eq = t[i].text.find('=');
            if (eq == std::string::npos) {
                return "expected NAME=VALUE, not '" + t[i].text + "'";
            }
            const std::string name = t[i].text.substr(0, eq);
            state_check check{nullptr, 0};
            for (const state_name& n : state_names) {
                if (name == n.name) {
                    check.name = &n;
                }
            }
            if (check.name == nullptr) {
                return "unknown name '" + name + "'";
            }
            if (!parse_state_value(*check.name, t[i].text.substr(eq + 1), check.value)) {
                return (check.name->digit_string ? "bad digits '" : "bad number '") +
                       t[i].text.substr(eq + 1) + "'" +
                       (check.name->digit_string ? " (none, or one to four digits)" : "");
            }
            s.checks.push_back(check);
        }
        return {};
    }
    for (const screen_field& f : screen_fields) {
        if (what == f.name) {
            s.kind = step_kind::expect_text;
            s.column = f.column;
            s.row = f.row;
            s.width = f.width;
            s.label = f.name;
            return parse_expect_text(t, 2, s);
        }
    }
    return "unknown field '" + what +
           "' (registered, entered, lock, action, echo, cover, door, sound, text, attr, bells, "
           "or NAME=VALUE)";
}

std::string parse_step(const std::vector<token>& t, step& s) {
    const std::string& verb = t[0].text;
    if (t[0].quoted) {
        return "a step begins with a word";
    }
    if (verb == "type" || verb == "press") {
        s.kind = verb == "type" ? step_kind::type : step_kind::press;
        if (t.size() < 2 || t[1].quoted) {
            return verb + " needs the keys";
        }
        const std::string error = parse_keys(t[1].text, s.keys);
        if (!error.empty()) {
            return error;
        }
        return t.size() > 2 ? "unexpected '" + t[2].text + "'" : "";
    }
    if (verb == "wait") {
        s.kind = step_kind::wait;
        if (t.size() < 2) {
            return "wait needs a number of cycles, or a time such as 3s or 250ms";
        }
        const std::string error = parse_wait(t[1].text, s.cycles);
        if (!error.empty()) {
            return error;
        }
        return t.size() > 2 ? "unexpected '" + t[2].text + "'" : "";
    }
    if (verb == "expect") {
        return parse_expect(t, s);
    }
    return "unknown step '" + verb + "' (type, press, wait, expect)";
}

} // namespace

bool read_scenario(const char* path, std::vector<step>& steps) {
    std::FILE* file = std::fopen(path, "r");
    if (file == nullptr) {
        std::fprintf(stderr, "%s: cannot read: %s\n", path, std::strerror(errno));
        return false;
    }
    std::string line;
    int number = 0;
    int quit_line = 0; // the line with the quit, once one was seen
    bool good = true;
    for (int c = 0; good && c != EOF;) {
        line.clear();
        while ((c = std::fgetc(file)) != EOF && c != '\n') {
            line += static_cast<char>(c);
        }
        if (c == EOF && line.empty()) {
            break;
        }
        ++number;
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        if (number == 1 && line.compare(0, 3, "\xef\xbb\xbf") == 0) {
            line.erase(0, 3); // a byte order mark some editors put first
        }
        std::vector<token> tokens;
        std::string error = tokenize(line, tokens);
        if (error.empty() && tokens.empty()) {
            continue;
        }
        step s;
        s.line = number;
        if (error.empty()) {
            error = parse_step(tokens, s);
        }
        const bool keys = s.kind == step_kind::type || s.kind == step_kind::press;
        if (error.empty() && quit_line != 0 && (keys || s.kind == step_kind::wait)) {
            error = "the run ends with the quit on line " + std::to_string(quit_line) +
                    ": only expectations may follow";
        }
        for (std::size_t k = 0; error.empty() && keys && k < s.keys.size(); ++k) {
            if (is_quit_key(s.keys[k])) {
                quit_line = number;
                if (k + 1 < s.keys.size()) {
                    error = "keys after the quit are never read";
                }
            }
        }
        if (!error.empty()) {
            std::fprintf(stderr, "%s:%d: %s\n", path, number, error.c_str());
            good = false;
        }
        steps.push_back(std::move(s));
    }
    const bool read_error = std::ferror(file) != 0;
    std::fclose(file);
    if (good && read_error) {
        std::fprintf(stderr, "%s: cannot read: %s\n", path, std::strerror(EIO));
        return false;
    }
    return good;
}
