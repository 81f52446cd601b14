#include "trace_view.h"

#include "output_files.h"
#include "vcd_trace.h"

#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <vector>

namespace {

// GTKWave's trace flags (hexadecimal in the file): right-justified values shown in binary or
// decimal, a comment line, the start and end of a group, open or closed.
constexpr const char* binary_flags = "@28";
constexpr const char* decimal_flags = "@24";
constexpr const char* group_start = "@800200";
constexpr const char* group_end = "@1000200";
constexpr const char* closed_group_start = "@c00200";
constexpr const char* closed_group_end = "@1400200";

// The window and the column of names; the waves get the rest of the width, less the borders and
// the scroll bar (64 pixels, measured with GTKWave 3.3.118). The height fits every row (21 pixels
// each) below the toolbar.
constexpr int window_width = 1400;
constexpr int names_width = 240;
constexpr int row_height = 21;
constexpr int toolbar_height = 150;
constexpr int waves_width = window_width - names_width - 64;
// A zoom of z shows 2^-z / 200 ms per pixel of a trace in milliseconds (measured likewise: a zoom
// of -10 shows 5611 ms across 1096 pixels).
constexpr double zoom_scale = 200;

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

// One group of the view: the signals of one scope, open or closed.
void write_group(std::FILE* file, const std::vector<trace_signal>& signals, const char* scope,
                 bool open) {
    std::fprintf(file, "%s\n-%s\n", open ? group_start : closed_group_start, scope);
    for (const trace_signal& s : signals) {
        if (std::strcmp(s.scope, scope) == 0) {
            std::fprintf(file, "%s\n%s\n",
                         s.width == 1 || s.width == 0 ? binary_flags : decimal_flags,
                         signal_name(s).c_str());
        }
    }
    std::fprintf(file, "%s\n-%s\n", open ? group_end : closed_group_end, scope);
}

struct group {
    const char* scope;
    bool open;
};

// The scenario's steps first, then each controller; the raw inputs and the one-cycle signals
// closed, a click away.
constexpr group groups[] = {{"scenario", true}, {"password", true}, {"lock", true},
                            {"sound", true},    {"light", true},    {"inputs", false},
                            {"signals", false}};

bool shown(const group& g, bool scenario_scope) {
    return scenario_scope || std::strcmp(g.scope, "scenario") != 0;
}

void write_signals(std::FILE* file, bool scenario_scope) {
    const std::vector<trace_signal> signals = trace_signals(scenario_scope);
    for (const group& g : groups) {
        if (shown(g, scenario_scope)) {
            write_group(file, signals, g.scope, g.open);
        }
    }
}

// The rows of the view: the time ruler, a row at each end of each group, and the signals of the
// open groups.
int rows(bool scenario_scope) {
    int n = 1;
    for (const group& g : groups) {
        if (!shown(g, scenario_scope)) {
            continue;
        }
        n += 2;
        for (const trace_signal& s : trace_signals(scenario_scope)) {
            n += g.open && std::strcmp(s.scope, g.scope) == 0 ? 1 : 0;
        }
    }
    return n;
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
    whole_file out;
    if (!open_whole_file(out, path.c_str(), "trace view")) {
        return false;
    }
    std::FILE* file = out.file;
    // The whole run, and one more cycle, fills the waves.
    const double per_pixel = static_cast<double>(end_time + 10) / waves_width;
    std::fprintf(file,
                 "[*] doorlock trace view: gtkwave %s\n[dumpfile] \"%s\"\n[savefile] \"%s\"\n"
                 "[timestart] 0\n[size] %d %d\n[pos] -1 -1\n*%f -1",
                 path.c_str(), absolute(trace_path).c_str(), absolute(path).c_str(), window_width,
                 toolbar_height + row_height * rows(scenario_scope),
                 -std::log2(per_pixel * zoom_scale));
    for (int marker = 0; marker < 26; ++marker) {
        std::fputs(" -1", file);
    }
    std::fprintf(file, "\n[signals_width] %d\n[sst_expanded] 0\n", names_width);
    write_signals(file, scenario_scope);
    return close_whole_file(out);
}
