#include "scenario.h"

#include "UI.h"
#include "platform.h"
#include "platform_memory.h"
#include "screen_model.h"

#include <cerrno>
#include <cstring>
#include <vector>

namespace {

// ---- what a scenario may name ----

// A field of the screen: its place and width (0: as wide as the expected text).
struct screen_field {
    const char* name;
    int column;
    int row;
    int width;
};

constexpr screen_field fields[] = {
    {"registered", 40, 1, 8}, {"entered", 40, 2, 8}, {"lock", 10, 10, 6}, {"action", 20, 10, 7},
    {"echo", 40, 10, 0},      {"cover", 12, 11, 5},  {"door", 12, 12, 5}, {"sound", 1, 14, 7},
};

std::int64_t entered_count(const loop_state& loop) {
    return loop.signals != nullptr ? loop.signals->control->buffer->count : 0;
}

// A part of the main loop's state that an expectation can name.
struct state_name {
    const char* name;
    std::int64_t (*value)(const loop_state& loop);
};

const state_name state_names[] = {
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
struct key_name {
    const char* name;
    int code;
};

constexpr key_name key_names[] = {
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

// ---- the steps ----

enum class step_kind { type, press, wait, expect_text, expect_attr, expect_bells, expect_state };

struct state_check {
    const state_name* name;
    std::int64_t value;
};

struct step {
    int line = 0;
    step_kind kind = step_kind::wait;
    std::vector<int> keys;    // type, press
    std::uint64_t cycles = 0; // wait
    int column = 0;           // expect_text, expect_attr
    int row = 0;
    int width = 0;
    std::string text;        // expect_text
    std::string label;       // how the expectation names what it looks at
    std::int64_t number = 0; // expect_attr, expect_bells
    std::vector<state_check> checks;
};

struct token {
    std::string text;
    bool quoted;
};

// Splits a line into blank-separated words and double-quoted texts (\" and \\ inside); a word
// that starts with # begins a comment. Returns an error, or an empty string.
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
            int code = -1;
            if (name.size() == 4 && name[0] == '0' && name[1] == 'x' && hex_digit(name[2]) >= 0 &&
                hex_digit(name[3]) >= 0) {
                code = hex_digit(name[2]) * 16 + hex_digit(name[3]);
            }
            for (const key_name& k : key_names) {
                if (name == k.name) {
                    code = k.code;
                }
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
            if (!parse_number(t[i].text.substr(eq + 1), 4294967295LL, check.value)) {
                return "bad number '" + t[i].text.substr(eq + 1) + "'";
            }
            s.checks.push_back(check);
        }
        return {};
    }
    for (const screen_field& f : fields) {
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

// Reads and checks the whole file; on an error says where on stderr and returns false.
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

// ---- running ----

// One polling window with whatever keys are due in it, then one cycle; false when Q arrived.
bool window_and_cycle(loop_state& loop) {
    std::uint32_t start_tick = 0;
    if (!poll_window(loop, start_tick)) {
        return false;
    }
    run_cycle(loop, start_tick);
    return true;
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

// Checks an expectation; when it does not hold, says what it expected and what was there.
bool holds(const step& s, const loop_state& loop, const screen_model& screen, std::uint32_t bells,
           std::string& failure) {
    switch (s.kind) {
    case step_kind::expect_text: {
        const std::string shown = screen_text(screen, s.column, s.row, s.width);
        failure = "expected " + s.label + " " + quoted(s.text) + ", screen shows " + quoted(shown);
        return shown == s.text;
    }
    case step_kind::expect_attr: {
        const std::uint16_t shown = screen.cells[s.row][s.column].attribute;
        failure = "expected " + s.label + " " + std::to_string(s.number) + ", screen shows " +
                  std::to_string(shown);
        return shown == s.number;
    }
    case step_kind::expect_bells:
        failure =
            "expected bells " + std::to_string(s.number) + ", " + std::to_string(bells) + " rang";
        return bells == s.number;
    case step_kind::expect_state:
        for (const state_check& check : s.checks) {
            const std::int64_t has = check.name->value(loop);
            if (has != check.value) {
                failure = std::string("expected ") + check.name->name + "=" +
                          std::to_string(check.value) + ", state has " + check.name->name + "=" +
                          std::to_string(has);
                return false;
            }
        }
        return true;
    default: return true;
    }
}

void print_screen(const screen_model& screen, int rows) {
    for (int row = 0; row < rows; ++row) {
        std::string line = screen_text(screen, 0, row, screen_columns);
        line.erase(line.find_last_not_of(' ') + 1);
        std::puts(line.c_str());
    }
}

// Runs the checked steps; returns the exit status.
int run_steps(const scenario_run& run, const std::vector<step>& steps, memory_console& console,
              loop_state& loop) {
    bool running = true; // until the quit
    std::uint32_t bells_counted = 0;
    int expectations = 0;
    for (const step& s : steps) {
        switch (s.kind) {
        case step_kind::type:
            for (std::size_t k = 0; running && k < s.keys.size(); ++k) {
                console.keys.push_back({console.now + 1, s.keys[k]});
                running = window_and_cycle(loop);
            }
            break;
        case step_kind::press:
            for (int key : s.keys) {
                console.keys.push_back({console.now + 1, key});
            }
            running = window_and_cycle(loop);
            break;
        case step_kind::wait:
            for (std::uint64_t n = 0; running && n < s.cycles; ++n) {
                running = window_and_cycle(loop);
            }
            break;
        default: {
            ++expectations;
            const std::uint32_t bells = console.screen.bells - bells_counted;
            std::string failure;
            if (!holds(s, loop, console.screen, bells, failure)) {
                std::fprintf(stderr, "%s:%d: cycle %u: %s\n", run.path, s.line, loop.cycle_number,
                             failure.c_str());
                return scenario_fails;
            }
            if (s.kind == step_kind::expect_bells) {
                bells_counted = console.screen.bells;
            }
        }
        }
    }
    std::printf("%s: %d expectation%s hold%s over %u cycle%s\n", run.path, expectations,
                expectations == 1 ? "" : "s", expectations == 1 ? "s" : "", loop.cycle_number,
                loop.cycle_number == 1 ? "" : "s");
    return scenario_holds;
}

// ---- recording ----

void append_key(std::string& out, int key) {
    for (const key_name& k : key_names) {
        if (k.code == key) {
            out += '<';
            out += k.name;
            out += '>';
            return;
        }
    }
    if (key > 0x20 && key < 0x7F) {
        out += static_cast<char>(key);
        return;
    }
    char name[16];
    std::snprintf(name, sizeof name, "<0x%02x>", static_cast<unsigned>(key & 0xFF));
    out += name;
}

void write_pending(session_recording& r) {
    if (r.idle_windows > 0) {
        std::fprintf(r.file, "wait %llu\n", static_cast<unsigned long long>(r.idle_windows));
        r.idle_windows = 0;
    }
    if (!r.typed.empty()) {
        std::fprintf(r.file, "type %s\n", r.typed.c_str());
        r.typed.clear();
    }
}

// A type line grows by a key for each one-key window; past this it goes out and another begins.
constexpr std::size_t longest_type_line = 200;

// Ends the window: a window without keys counts as a wait, one key joins the keys typed one a
// window, several keys were written as they came, as a press of their own.
void end_window(session_recording& r) {
    if (r.window_keys == 0) {
        if (!r.typed.empty()) {
            write_pending(r);
        }
        r.idle_windows += 1;
    } else if (r.window_keys == 1) {
        if (r.idle_windows > 0 || r.typed.size() > longest_type_line) {
            write_pending(r);
        }
        r.typed += r.first_key;
    } else {
        std::fputc('\n', r.file);
    }
    r.window.clear();
    r.window_keys = 0;
}

} // namespace

int run_scenario(const scenario_run& run) {
    std::vector<step> steps;
    if (!read_scenario(run.path, steps)) {
        return scenario_rejected;
    }
    memory_console console;
    use_memory_console(console);
    const int rows = run.show_states ? below_states : below_screen;
    console_open(rows);
    draw_start_screen();
    loop_state loop;
    loop.show_states = run.show_states;
    loop.observer = run.observer;
    const int status = run_steps(run, steps, console, loop);
    release_signals(loop.signals);
    console_close();
    if (run.print_screen) {
        print_screen(console.screen, rows);
    }
    if (std::fflush(stdout) != 0 || std::ferror(stdout) != 0) {
        std::perror("doorlock: cannot write to standard output");
        return scenario_rejected; // the outcome could not be told
    }
    return status;
}

bool recording_open(session_recording& recording, const char* path) {
    recording = session_recording{};
    recording.file = std::fopen(path, "w");
    if (recording.file == nullptr) {
        std::fprintf(stderr, "doorlock: cannot write the recording %s: %s\n", path,
                     std::strerror(errno));
        return false;
    }
    recording.typed.reserve(longest_type_line + 64);
    recording.window.reserve(64);
    recording.first_key.reserve(64);
    std::fputs("# A doorlock session; run it with: doorlock --scenario FILE\n", recording.file);
    return true;
}

void recording_key(session_recording& recording, int key) {
    recording.window.clear();
    append_key(recording.window, key);
    recording.window_keys += 1;
    if (recording.window_keys == 2) { // several keys in one window: a press line
        write_pending(recording);
        std::fprintf(recording.file, "press %s", recording.first_key.c_str());
    }
    if (recording.window_keys >= 2) {
        std::fputs(recording.window.c_str(), recording.file);
    } else {
        recording.first_key = recording.window;
    }
}

void recording_cycle(session_recording& recording) {
    end_window(recording);
    recording.cycles += 1;
}

bool recording_close(session_recording& recording) {
    if (recording.file == nullptr) {
        return true;
    }
    std::FILE* file = recording.file;
    if (recording.window_keys == 1) { // the last window, the one with the quit
        recording.typed += recording.first_key;
        write_pending(recording);
    } else {
        write_pending(recording);
        if (recording.window_keys > 1) {
            std::fputc('\n', file);
        }
    }
    const screen_model& screen = console_screen();
    std::fputs("# The screen at the quit\n", file);
    for (const screen_field& f : fields) {
        std::string shown = screen_text(screen, f.column, f.row, f.width != 0 ? f.width : 40);
        if (f.width == 0) {
            shown.erase(shown.find_last_not_of(' ') + 1); // the echo, to the end of its text
            if (shown.empty()) {
                std::fprintf(file, "expect text %d %d %s\n", f.column, f.row,
                             quoted(std::string(19, ' ')).c_str());
                continue;
            }
        }
        std::fprintf(file, "expect %s %s\n", f.name, quoted(shown).c_str());
    }
    std::fprintf(file, "expect bells %u\nexpect cycle=%u\n", screen.bells, recording.cycles);
    const bool written = std::ferror(file) == 0;
    const bool closed = std::fclose(file) == 0;
    recording.file = nullptr;
    if (!written || !closed) {
        std::fputs("doorlock: the recording could not be written completely\n", stderr);
        return false;
    }
    return true;
}
