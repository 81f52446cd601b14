#include "explore_report.h"

#include "explore_arcs.h"
#include "explore_paths.h"
#include "scenario_runner.h"

#include <cstdio>
#include <cstring>
#include <filesystem>

#if defined(__unix__)
#include <sys/resource.h>
#include <unistd.h>
#endif

namespace {

// Three quarters of the machine's memory, so that a search too big for it stops rather than
// swaps; no limit where the size is not known.
std::uint64_t default_memory_limit() {
#if defined(__unix__)
    const long pages = sysconf(_SC_PHYS_PAGES);
    const long page_size = sysconf(_SC_PAGE_SIZE);
    if (pages > 0 && page_size > 0) {
        return static_cast<std::uint64_t>(pages) * static_cast<std::uint64_t>(page_size) / 4 * 3;
    }
#endif
    return 0;
}

std::uint64_t peak_memory_bytes(const explore_result& result) {
#if defined(__unix__)
    rusage usage{};
    if (getrusage(RUSAGE_SELF, &usage) == 0) {
        return static_cast<std::uint64_t>(usage.ru_maxrss) * 1024; // kilobytes on Linux
    }
#endif
    return result.held_bytes;
}

// 1234567 as "1,234,567".
std::string grouped(std::uint64_t n) {
    const std::string digits = std::to_string(n);
    std::string text;
    for (std::size_t i = 0; i < digits.size(); ++i) {
        if (i > 0 && (digits.size() - i) % 3 == 0) {
            text += ',';
        }
        text += digits[i];
    }
    return text;
}

bool parse_digits(const char* text, std::vector<int>& digits) {
    digits.clear();
    bool seen[10] = {};
    for (const char* c = text; *c != '\0'; ++c) {
        if (*c < '0' || *c > '9' || seen[*c - '0']) {
            return false;
        }
        seen[*c - '0'] = true;
    }
    for (int d = 0; d < 10; ++d) {
        if (seen[d]) {
            digits.push_back(d);
        }
    }
    return !digits.empty();
}

bool parse_count(const char* text, std::uint64_t& value, bool sizes) {
    value = 0;
    const char* c = text;
    for (; *c >= '0' && *c <= '9'; ++c) {
        if (value > 1000000000000ull) {
            return false;
        }
        value = value * 10 + static_cast<std::uint64_t>(*c - '0');
    }
    if (c == text) {
        return false;
    }
    if (sizes && *c != '\0' && c[1] == '\0') {
        const std::uint64_t unit = *c == 'K'   ? 1ull << 10
                                   : *c == 'M' ? 1ull << 20
                                   : *c == 'G' ? 1ull << 30
                                               : 0;
        if (unit == 0 || value > ~0ull / unit) {
            return false;
        }
        value *= unit;
        return value != 0;
    }
    return *c == '\0' && value != 0;
}

// The file for a property's path: FILE as given, or DIR/NAME.scn.
std::string path_file(const char* counterexample, const property& p) {
    const std::string target = counterexample != nullptr ? counterexample : default_counterexample;
    if (target.empty() || target.back() != '/') {
        return target;
    }
    std::string name = p.name;
    for (char& c : name) {
        const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                           (c >= '0' && c <= '9') || c == '-' || c == '_' || c == '.';
        c = plain ? c : '-';
    }
    return target + name + ".scn";
}

void print_figures(const explore_result& r) {
    const double rate = r.seconds > 0 ? static_cast<double>(r.states) / r.seconds / 1e6 : 0;
    std::printf("%s states, %s transitions, %s steps deep, %.1f s, %.2f M states/s, peak memory "
                "%.0f MiB\n",
                grouped(r.states).c_str(), grouped(r.transitions).c_str(), grouped(r.depth).c_str(),
                r.seconds, rate, static_cast<double>(peak_memory_bytes(r)) / (1024.0 * 1024.0));
}

// A number of cycles as the report says it: "1 cycle", "1,215 cycles".
std::string cycles_text(std::size_t cycles) {
    return grouped(cycles) + (cycles == 1 ? " cycle" : " cycles");
}

// A value of an option that does not do: what it wants, and where to read more.
int bad_value(const char* what) {
    std::fprintf(stderr, "doorlock: %s\nTry 'doorlock --help' for more information.\n", what);
    return explore_rejected;
}

} // namespace

int run_exploration(const explore_request& request) {
    if (request.list) {
        for (const builtin_property& b : builtin_properties()) {
            std::printf("%s\n    %s\n", b.name, b.text);
        }
        return std::fflush(stdout) == 0 ? explore_holds : explore_rejected;
    }
    explore_options options;
    if (request.digits != nullptr && !parse_digits(request.digits, options.digits)) {
        return bad_value("--digits wants distinct digits, such as 01 or 0123456789");
    }
    if (request.max_states != nullptr &&
        !parse_count(request.max_states, options.max_states, false)) {
        return bad_value("--max-states wants a number of states");
    }
    if (request.max_memory != nullptr &&
        !parse_count(request.max_memory, options.max_memory, true)) {
        return bad_value("--max-memory wants a size such as 1500M or 4G");
    }
    if (request.max_memory == nullptr) {
        options.max_memory = default_memory_limit();
    }
    std::vector<property> properties = parse_builtin_properties();
    if (request.properties != nullptr && !read_property_file(request.properties, properties)) {
        return explore_rejected;
    }
    bool names_digits = false;
    for (const property& p : properties) {
        names_digits = names_digits || p.names_digits;
    }
    options.pairs = !request.single_keys;
    options.check_every_merge = request.check_merges;
    // Relabelling digits pays with many digits; a property that names a digit needs them as typed.
    options.relabel = options.digits.size() > 2 && !names_digits;
    options.progress = request.progress;
    options.arcs = request.diagrams != nullptr;

    const explore_result result = explore(options, properties);
    if (result.status == explore_status::failed) {
        std::fprintf(stderr, "doorlock: the search stopped: %s\n", result.problem.c_str());
        print_figures(result);
        return explore_violated;
    }
    const bool complete = result.status == explore_status::complete;
    const bool per_property =
        request.counterexample != nullptr && std::strlen(request.counterexample) > 0 &&
        request.counterexample[std::strlen(request.counterexample) - 1] == '/';
    if (per_property) {
        std::error_code ignored; // a folder that cannot be made is reported by the first file
        std::filesystem::create_directory(request.counterexample, ignored);
    }
    bool all_hold = true;
    bool written_one = false;
    bool files_good = true;
    for (std::size_t i = 0; i < properties.size(); ++i) {
        const property& p = properties[i];
        const property_outcome& o = result.outcomes[i];
        const bool reachable = p.kind == property_kind::reachable;
        const bool good = o.holds;
        // A reachable not reached before a limit stopped the search is not known to be
        // unreachable: the run is incomplete, not violated.
        all_hold = all_hold && (good || (reachable && !complete));
        std::vector<key_window> path = concrete_path(options, o.path);
        std::size_t with_keys = 0;
        for (const key_window& w : path) {
            with_keys += w.keys[0] != 0 ? 1 : 0;
        }
        std::string file;
        // A leads-to found violated whose counterexample the memory did not allow has no path.
        const bool has_path = (reachable ? good : !good) && !o.path.empty();
        if (has_path && (per_property || (!reachable && !written_one))) {
            file = path_file(request.counterexample, p);
            files_good =
                write_path_scenario(file.c_str(), path, p, reachable, options.step) && files_good;
            if (!reachable && request.trace != nullptr && !written_one) {
                files_good = trace_path(request.trace, path, options.step) && files_good;
            }
            written_one = written_one || !reachable;
        }
        if (reachable && good) {
            std::printf("reached after %s (%s of them with keys): %s -> %s\n",
                        cycles_text(path.size()).c_str(), grouped(with_keys).c_str(),
                        p.name.c_str(), file.empty() ? "-" : file.c_str());
        } else if (reachable && !complete) {
            std::printf("not reached in %s states so far: %s\n", grouped(result.states).c_str(),
                        p.name.c_str());
        } else if (reachable) {
            std::printf("NOT REACHED in %s states: %s\n", grouped(result.states).c_str(),
                        p.name.c_str());
        } else if (good && !o.checked) {
            std::printf("not checked (the search stopped first): %s\n", p.name.c_str());
        } else if (good) {
            std::printf("holds in %s states%s: %s\n", grouped(o.states).c_str(),
                        complete ? "" : " so far", p.name.c_str());
        } else if (!has_path) {
            std::printf("VIOLATED (its counterexample did not fit in memory): %s\n",
                        p.name.c_str());
        } else {
            std::printf("VIOLATED after %s (%s of them with keys): %s%s%s\n",
                        cycles_text(path.size()).c_str(), grouped(with_keys).c_str(),
                        p.name.c_str(), file.empty() ? "" : " -> ", file.c_str());
        }
    }
    print_figures(result);
    if (request.diagrams != nullptr) {
        std::uint64_t ran = result.arcs;
        if (!request.coverage_scenarios.empty()) {
            arc_coverage coverage;
            const loop_observer observer = coverage_observer(coverage);
            for (const char* scenario : request.coverage_scenarios) {
                if (run_scenario_file(scenario, &observer, step_cycle) != scenario_holds) {
                    files_good = false;
                }
            }
            ran = coverage.ran;
        }
        files_good = write_diagrams(request.diagrams, result.arcs, ran) && files_good;
    }
    if (!complete) {
        std::printf("search incomplete: %s\n", result.problem.c_str());
    }
    std::fflush(stdout);
    if (!files_good) {
        return explore_rejected;
    }
    if (!all_hold) {
        return explore_violated;
    }
    return complete ? explore_holds : explore_incomplete;
}
