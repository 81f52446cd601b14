#include "trace_view.h"

#include "vcd_trace.h"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>

namespace {

// GTKWave's trace flags (hexadecimal in the file): right-justified values shown in binary or
// decimal, a comment line, the start and end of a group.
constexpr const char* binary_flags = "@28";
constexpr const char* decimal_flags = "@24";
constexpr const char* group_start = "@800200";
constexpr const char* group_end = "@1000200";

// The window and the column of names; the waves get the rest of the width, less the borders and
// the scroll bar.
constexpr int window_width = 1400;
constexpr int window_height = 960;
constexpr int names_width = 240;
constexpr int waves_width = window_width - names_width - 60;

std::string absolute(const std::string& path) {
    std::error_code error;
    const std::filesystem::path full = std::filesystem::absolute(path, error);
    return error ? path : full.lexically_normal().string();
}

// How GTKWave names a variable: the scope path, and a vector wire's bit range.
std::string signal_name(const trace_signal& s) {
    std::string name = std::string("doorlock.") + s.scope + "." + s.name;
    if (s.width > 1 && !s.integer) {
        name += "[" + std::to_string(s.width - 1) + ":0]";
    }
    return name;
}

void write_signals(std::FILE* file, bool scenario_scope) {
    const char* group = nullptr;
    for (const trace_signal& s : trace_signals(scenario_scope)) {
        if (group == nullptr || std::strcmp(group, s.scope) != 0) {
            if (group != nullptr) {
                std::fprintf(file, "%s\n-%s\n", group_end, group);
            }
            group = s.scope;
            std::fprintf(file, "%s\n-%s\n", group_start, group);
        }
        std::fprintf(file, "%s\n%s\n", s.width == 1 || s.width == 0 ? binary_flags : decimal_flags,
                     signal_name(s).c_str());
    }
    std::fprintf(file, "%s\n-%s\n", group_end, group);
}

} // namespace

std::string trace_view_path(const std::string& trace_path) {
    const std::size_t n = trace_path.size();
    if (n > 4 && trace_path.compare(n - 4, 4, ".vcd") == 0) {
        return trace_path.substr(0, n - 4) + ".gtkw";
    }
    return trace_path + ".gtkw";
}

bool write_trace_view(const std::string& trace_path, bool scenario_scope, std::uint64_t end_time) {
    const std::string path = trace_view_path(trace_path);
    std::FILE* file = std::fopen(path.c_str(), "w");
    if (file == nullptr) {
        std::fprintf(stderr, "doorlock: cannot write %s: %s\n", path.c_str(), std::strerror(errno));
        return false;
    }
    // GTKWave shows 2^-zoom ms per pixel: the whole run, and one more cycle, fills the waves.
    const double per_pixel = static_cast<double>(end_time + 10) / waves_width;
    std::fprintf(file,
                 "[*] doorlock trace view: gtkwave %s\n[dumpfile] \"%s\"\n[savefile] \"%s\"\n"
                 "[timestart] 0\n[size] %d %d\n[pos] -1 -1\n*%f -1",
                 path.c_str(), absolute(trace_path).c_str(), absolute(path).c_str(), window_width,
                 window_height, -std::log2(per_pixel));
    for (int marker = 0; marker < 26; ++marker) {
        std::fputs(" -1", file);
    }
    std::fprintf(file, "\n[signals_width] %d\n[sst_expanded] 0\n", names_width);
    write_signals(file, scenario_scope);
    const bool written = std::ferror(file) == 0;
    const bool closed = std::fclose(file) == 0;
    if (!written || !closed) {
        std::fprintf(stderr, "doorlock: %s could not be written completely\n", path.c_str());
        return false;
    }
    return true;
}
