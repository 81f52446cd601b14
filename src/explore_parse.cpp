// The four kinds of property line, and the property file.
#include "explore_expression.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace {

// A duration: N cycles, Ns or Nms in whole cycles of 10 ms.
std::string parse_duration(const std::string& text, int& cycles) {
    std::size_t digits = 0;
    std::int64_t n = 0;
    while (digits < text.size() && text[digits] >= '0' && text[digits] <= '9' && n < 10000000) {
        n = n * 10 + (text[digits++] - '0');
    }
    const std::string unit = text.substr(digits);
    if (digits == 0 || (unit != "" && unit != "s" && unit != "ms")) {
        return "bad duration '" + text + "' (N cycles, Ns or Nms)";
    }
    if (unit == "ms" && n % 10 != 0) {
        return text + " is not a whole number of 10 ms cycles";
    }
    n = unit == "s" ? n * 100 : unit == "ms" ? n / 10 : n;
    if (n < 1 || n > 60000) {
        return "'" + text + "': from 1 to 60000 cycles";
    }
    cycles = static_cast<int>(n);
    return {};
}

} // namespace

std::string parse_property(const std::string& line, property& parsed) {
    std::vector<lexeme> tokens;
    std::string error = split_words(line, tokens);
    if (!error.empty()) {
        return error;
    }
    expression_parser p{tokens, 0, {}, false, {}};
    parsed.text = line;
    parsed.text.erase(0, parsed.text.find_first_not_of(" \t"));
    parsed.text.erase(parsed.text.find_last_not_of(" \t") + 1);
    if (p.next_is("always") || p.next_is("never") || p.next_is("reachable")) {
        const std::string& verb = tokens[p.at++].text;
        parsed.kind = verb == "always"  ? property_kind::always
                      : verb == "never" ? property_kind::never
                                        : property_kind::reachable;
        if (!p.whole(parsed.holds, {})) {
            return p.error;
        }
    } else if (tokens.size() >= 2 && tokens[0].type == lexeme::kind::word &&
               tokens[1].type == lexeme::kind::word && tokens[0].text != "not" &&
               tokens[0].text != "was") {
        return "expected always, never, reachable or P leads-to Q within N";
    } else {
        parsed.kind = property_kind::leads_to;
        if (!p.whole(parsed.holds, {"leads-to"})) {
            return p.error.rfind("unexpected", 0) == 0 || p.error == "an expression is missing"
                       ? "expected always, never, reachable or P leads-to Q within N"
                       : p.error;
        }
        if (p.done()) {
            return "expected always, never, reachable or P leads-to Q within N";
        }
        ++p.at;
        if (!p.whole(parsed.target, {"within"})) {
            return p.error;
        }
        if (p.done()) {
            return "leads-to needs 'within N'";
        }
        ++p.at;
        if (p.done()) {
            return "within needs a number of cycles, or a time such as 3s or 250ms";
        }
        error = parse_duration(tokens[p.at++].text, parsed.within);
        if (!error.empty()) {
            return error;
        }
        if (!p.done()) {
            if (!p.next_is("unless")) {
                return "unexpected '" + tokens[p.at].text + "'";
            }
            ++p.at;
            if (!p.whole(parsed.excuse, {})) {
                return p.error;
            }
            parsed.has_excuse = true;
        }
    }
    parsed.names_digits = p.names_digits;
    compile(parsed.holds);
    compile(parsed.target);
    compile(parsed.excuse);
    return {};
}

bool read_property_file(const char* path, std::vector<property>& properties) {
    std::FILE* file = std::fopen(path, "r");
    if (file == nullptr) {
        std::fprintf(stderr, "%s: cannot read: %s\n", path, std::strerror(errno));
        return false;
    }
    bool good = true;
    std::string line;
    int number = 0;
    int read_error = 0; // why a read failed (a folder, for one)
    for (int c = 0; c != EOF;) {
        line.clear();
        errno = 0;
        while ((c = std::fgetc(file)) != EOF && c != '\n') {
            line += static_cast<char>(c);
        }
        if (c == EOF && std::ferror(file) != 0 && read_error == 0) {
            read_error = errno != 0 ? errno : EIO;
        }
        if (c == EOF && line.empty()) {
            break;
        }
        ++number;
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        const std::size_t hash = line.find('#');
        if (hash != std::string::npos) {
            line.erase(hash);
        }
        if (line.find_first_not_of(" \t") == std::string::npos) {
            continue;
        }
        property parsed;
        const std::string error = parse_property(line, parsed);
        if (!error.empty()) {
            std::fprintf(stderr, "%s:%d: %s\n", path, number, error.c_str());
            good = false;
            continue;
        }
        parsed.name = std::string(path) + ":" + std::to_string(number);
        properties.push_back(std::move(parsed));
    }
    if (std::ferror(file) != 0) {
        std::fprintf(stderr, "%s: cannot read: %s\n", path,
                     std::strerror(read_error != 0 ? read_error : EIO));
        good = false;
    }
    std::fclose(file);
    return good;
}
