#include "scenario_report.h"

#include "output_files.h"
#include "scenario_format.h"

namespace {

const char* word(scenario_outcome outcome) {
    switch (outcome) {
    case scenario_outcome::passed: return "PASS";
    case scenario_outcome::failed: return "FAIL";
    case scenario_outcome::error: return "ERROR";
    }
    return "";
}

const char* color_of(scenario_outcome outcome) {
    switch (outcome) {
    case scenario_outcome::passed: return "\x1b[32m";  // green
    case scenario_outcome::failed: return "\x1b[31m";  // red
    case scenario_outcome::error: return "\x1b[1;35m"; // bold magenta
    }
    return "";
}

int count(const std::vector<scenario_result>& results, scenario_outcome outcome) {
    int n = 0;
    for (const scenario_result& r : results) {
        n += r.outcome == outcome ? 1 : 0;
    }
    return n;
}

// The message without the "FILE:LINE: " that begins it.
std::string what(const scenario_result& r) {
    const std::string where = r.path + ":" + (r.line > 0 ? std::to_string(r.line) + ":" : "");
    if (r.message.compare(0, where.size(), where) != 0) {
        return r.message;
    }
    const std::size_t rest = r.message.find_first_not_of(' ', where.size());
    return rest == std::string::npos ? r.message : r.message.substr(rest);
}

// GitHub's workflow commands: %, CR and LF escaped in the message, and : and , too in a property.
std::string github_escaped(const std::string& text, bool property) {
    std::string out;
    for (char c : text) {
        if (c == '%') {
            out += "%25";
        } else if (c == '\r') {
            out += "%0D";
        } else if (c == '\n') {
            out += "%0A";
        } else if (property && c == ':') {
            out += "%3A";
        } else if (property && c == ',') {
            out += "%2C";
        } else {
            out += c;
        }
    }
    return out;
}

// The folder as given ("." for none) and the file's name.
void split_path(const std::string& path, std::string& folder, std::string& name) {
    std::size_t slash = path.find_last_of('/');
#ifdef _WIN32
    const std::size_t backslash = path.find_last_of('\\');
    if (backslash != std::string::npos && (slash == std::string::npos || backslash > slash)) {
        slash = backslash;
    }
#endif
    folder = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
    name = slash == std::string::npos ? path : path.substr(slash + 1);
}

void write_testcase(std::FILE* file, const scenario_result& r) {
    std::string folder;
    std::string name;
    split_path(r.path, folder, name);
    std::fprintf(file, "    <testcase classname=\"%s\" name=\"%s\" time=\"%.3f\"",
                 xml_escaped(folder).c_str(), xml_escaped(name).c_str(), r.seconds);
    if (r.outcome == scenario_outcome::passed) {
        std::fputs("/>\n", file);
        return;
    }
    const char* element = r.outcome == scenario_outcome::failed ? "failure" : "error";
    std::fprintf(file, ">\n      <%s message=\"%s\" type=\"%s\">%s</%s>\n    </testcase>\n",
                 element, xml_escaped(what(r)).c_str(),
                 r.outcome == scenario_outcome::failed ? "expectation" : "scenario file",
                 xml_escaped(r.message).c_str(), element);
}

} // namespace

int suite_status(const std::vector<scenario_result>& results) {
    return count(results, scenario_outcome::error) > 0    ? 2
           : count(results, scenario_outcome::failed) > 0 ? 1
                                                          : 0;
}

void print_result(std::FILE* out, const scenario_result& r, bool color) {
    if (color) {
        std::fprintf(out, "%s%s\x1b[0m ", color_of(r.outcome), word(r.outcome));
    } else {
        std::fprintf(out, "%s ", word(r.outcome));
    }
    if (r.outcome == scenario_outcome::passed) {
        std::fprintf(out, "%s  %d expectation%s, %llu cycle%s, %.3f s\n", r.path.c_str(),
                     r.expectations, r.expectations == 1 ? "" : "s",
                     static_cast<unsigned long long>(r.cycles), r.cycles == 1 ? "" : "s",
                     r.seconds);
    } else {
        std::fprintf(out, "%s  %s\n", r.path.c_str(), r.message.c_str());
    }
}

void print_summary(std::FILE* out, const std::vector<scenario_result>& results) {
    std::fprintf(out, "%zu scenario%s: %d passed, %d failed, %d with errors\n", results.size(),
                 results.size() == 1 ? "" : "s", count(results, scenario_outcome::passed),
                 count(results, scenario_outcome::failed), count(results, scenario_outcome::error));
}

void print_annotation(std::FILE* out, const scenario_result& r) {
    if (r.outcome == scenario_outcome::passed) {
        return;
    }
    std::fprintf(out, "::error file=%s", github_escaped(r.path, true).c_str());
    if (r.line > 0) {
        std::fprintf(out, ",line=%d", r.line);
    }
    std::fprintf(out, "::%s\n", github_escaped(what(r), false).c_str());
}

std::string xml_escaped(const std::string& text) {
    std::string out;
    for (std::size_t i = 0; i < text.size();) {
        const auto c = static_cast<unsigned char>(text[i]);
        const std::size_t n = utf8_character_length(text, i);
        const bool forbidden = n == 0 || (c < 0x20 && c != '\t' && c != '\n' && c != '\r') ||
                               (n == 3 && c == 0xEF && text[i + 1] == '\xBF' &&
                                (text[i + 2] == '\xBE' || text[i + 2] == '\xBF')); // U+FFFE, U+FFFF
        if (forbidden) {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02X", c);
            out += hex;
            ++i;
            continue;
        }
        switch (c) {
        case '&': out += "&amp;"; break;
        case '<': out += "&lt;"; break;
        case '>': out += "&gt;"; break;
        case '"': out += "&quot;"; break;
        case '\'': out += "&apos;"; break;
        case '\t': out += "&#9;"; break;
        case '\n': out += "&#10;"; break;
        case '\r': out += "&#13;"; break;
        default: out.append(text, i, n);
        }
        i += n;
    }
    return out;
}

bool write_junit(const char* path, const std::vector<scenario_result>& results) {
    whole_file out;
    if (!open_whole_file(out, path, "JUnit file")) {
        return false;
    }
    std::FILE* file = out.file;
    double seconds = 0;
    for (const scenario_result& r : results) {
        seconds += r.seconds;
    }
    const int failures = count(results, scenario_outcome::failed);
    const int errors = count(results, scenario_outcome::error);
    std::fprintf(file,
                 "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
                 "<testsuites tests=\"%zu\" failures=\"%d\" errors=\"%d\" time=\"%.3f\">\n"
                 "  <testsuite name=\"doorlock scenarios\" tests=\"%zu\" failures=\"%d\" "
                 "errors=\"%d\" skipped=\"0\" time=\"%.3f\">\n",
                 results.size(), failures, errors, seconds, results.size(), failures, errors,
                 seconds);
    for (const scenario_result& r : results) {
        write_testcase(file, r);
    }
    std::fputs("  </testsuite>\n</testsuites>\n", file);
    return close_whole_file(out);
}
