#include "scenario_parse.h"

#include "scenario_line.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <limits>

namespace {

// Bounds on what a file may hold, so that no input, however long or endless (/dev/zero), takes
// unbounded memory or time before it is refused.
constexpr std::size_t longest_line = 4096;           // bytes
constexpr long long largest_file = 64 * 1024 * 1024; // bytes

// Keys after a quit are never read, and only expectations may follow it.
std::string check_quit(const step& s, const scenario_steps& into, std::uint32_t& quit_line) {
    const bool keys = s.kind == step_kind::type || s.kind == step_kind::press;
    if (quit_line != 0 && (keys || s.kind == step_kind::wait)) {
        return "the run ends with the quit on line " + std::to_string(quit_line) +
               ": only expectations may follow";
    }
    for (std::uint32_t k = 0; keys && k < s.count; ++k) {
        if (is_quit_key(into.keys[s.first + k])) {
            quit_line = s.line;
            if (k + 1 < s.count) {
                return "keys after the quit are never read";
            }
        }
    }
    return {};
}

// Adds the step, joined to the one before when it only goes on with it: keys typed one a cycle
// after keys typed one a cycle (a press of one key is just that), a wait after a wait.
void add_step(step s, scenario_steps& into) {
    if (s.kind == step_kind::press && s.count == 1) {
        s.kind = step_kind::type;
    }
    step* last = into.steps.empty() ? nullptr : &into.steps.back();
    if (last != nullptr && last->kind == s.kind && s.kind == step_kind::type) {
        last->count += s.count; // the keys follow each other in the list
        return;
    }
    if (last != nullptr && last->kind == s.kind && s.kind == step_kind::wait &&
        last->number <= std::numeric_limits<std::uint64_t>::max() - s.number) {
        last->number += s.number;
        return;
    }
    into.steps.push_back(s);
}

// Reads one line into `line`, without its line break; false at the end of the file. A line
// longer than longest_line is cut there and `too_long` set.
bool read_line(std::FILE* file, std::string& line, bool& too_long, long long& bytes_read) {
    line.clear();
    too_long = false;
    int c = 0;
    while ((c = std::fgetc(file)) != EOF && c != '\n') {
        if (line.size() == longest_line) {
            too_long = true;
            return true;
        }
        line += static_cast<char>(c);
    }
    bytes_read += static_cast<long long>(line.size()) + 1;
    return c != EOF || !line.empty();
}

} // namespace

bool read_scenario(const char* path, scenario_steps& into) {
    std::FILE* file = std::fopen(path, "r");
    if (file == nullptr) {
        std::fprintf(stderr, "%s: cannot read: %s\n", path, std::strerror(errno));
        return false;
    }
    std::string line;
    std::uint32_t number = 0;
    std::uint32_t quit_line = 0; // the line with the quit, once one was seen
    long long bytes_read = 0;
    std::string error;
    bool too_long = false;
    while (error.empty() && read_line(file, line, too_long, bytes_read)) {
        ++number;
        if (too_long) {
            error = "the line is longer than " + std::to_string(longest_line) + " bytes";
            break;
        }
        if (bytes_read > largest_file) {
            error = "the file goes on past " + std::to_string(largest_file >> 20) +
                    " MiB, the most a scenario may hold";
            break;
        }
        if (!line.empty() && line.back() == '\r') {
            line.pop_back(); // a CR LF line ending
        }
        if (number == 1 && line.compare(0, 3, "\xef\xbb\xbf") == 0) {
            line.erase(0, 3); // a byte order mark some editors put first
        }
        std::vector<token> tokens;
        error = tokenize(line, tokens);
        if (!error.empty() || tokens.empty()) {
            continue;
        }
        step s;
        s.line = number;
        error = parse_step(tokens, s, into);
        if (error.empty()) {
            error = check_quit(s, into, quit_line);
        }
        if (error.empty()) {
            add_step(s, into);
        }
    }
    const int read_errno = std::ferror(file) != 0 ? errno : 0;
    std::fclose(file);
    if (!error.empty()) {
        std::fprintf(stderr, "%s:%u: %s\n", path, number, error.c_str());
        return false;
    }
    if (read_errno != 0) {
        std::fprintf(stderr, "%s: cannot read: %s\n", path, std::strerror(read_errno));
        return false;
    }
    if (into.steps.empty()) {
        std::fprintf(stderr, "%s: no step at all: an empty or cut file checks nothing\n", path);
        return false;
    }
    return true;
}
