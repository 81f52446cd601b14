#include "scenario_runner.h"

#include "UI.h"
#include "idle_cycles.h"
#include "platform.h"
#include "platform_memory.h"
#include "screen_model.h"

#include <algorithm>
#include <chrono>
#include <cstdio>

namespace {

using steady = std::chrono::steady_clock;

// Shows how far a long run has come, on stderr when that is a terminal: a run of a second or
// more says its cycle and the cycles in all, in one line that it rewrites and blanks at the end.
struct progress_line {
    const char* path;
    bool shown_at_all; // stderr is a terminal
    std::uint64_t total;
    steady::time_point started;
    steady::time_point shown; // when the line was last written, or the start
    int width;                // how wide the line written is; 0 before the first
};

// Looks at the clock only once in so many cycles, so that the look costs nothing.
constexpr std::uint64_t progress_look_every = 1u << 16;

void show_progress(progress_line& p, std::uint64_t cycle) {
    const auto now = steady::now();
    if (now - p.started < std::chrono::seconds(1) ||
        now - p.shown < std::chrono::milliseconds(250)) {
        return;
    }
    p.shown = now;
    const int width = std::fprintf(stderr, "\r%s: cycle %llu of %llu (%llu%%)", p.path,
                                   static_cast<unsigned long long>(cycle),
                                   static_cast<unsigned long long>(p.total),
                                   static_cast<unsigned long long>(cycle / (p.total / 100 + 1)));
    p.width = width > p.width ? width : p.width;
    std::fflush(stderr);
}

void end_progress(const progress_line& p) {
    if (p.width > 0) {
        std::fprintf(stderr, "\r%*s\r", p.width, "");
    }
}

// How many cycles the steps run, at the most.
std::uint64_t cycles_in_all(const scenario_steps& scenario) {
    std::uint64_t total = 0;
    for (const step& s : scenario.steps) {
        total += s.kind == step_kind::wait ? s.number : s.kind == step_kind::type ? s.count : 1;
    }
    return total;
}

struct runner {
    const scenario_run& run;
    const scenario_steps& scenario;
    memory_console& console;
    loop_state& loop;
    progress_line progress;
};

// Cycles with no key in between, which the runner runs as the sleeping loop runs the cycles it
// slept through: those that repeat the one before are counted, so that a long wait ends at once;
// the clock then stands at the last one's start. On a terminal, in parts, so that a wait whose
// cycles run one by one (a trace with a counter moving) says how far it has come.
void wait_cycles(runner& r, std::uint64_t cycles) {
    constexpr std::uint64_t part = std::uint64_t{1} << 20;
    for (std::uint64_t left = cycles; left > 0;) {
        const std::uint64_t these = r.progress.shown_at_all ? std::min(left, part) : left;
        run_idle_cycles(r.loop, these);
        left -= these;
        if (r.progress.shown_at_all) {
            show_progress(r.progress, r.loop.cycle_number);
        }
    }
    r.console.now = r.loop.last_tick;
}

// One polling window with whatever keys are due in it, then one cycle; false when Q arrived.
bool window_and_cycle(runner& r) {
    std::uint32_t start_tick = 0;
    if (!poll_window(r.loop, start_tick)) {
        return false;
    }
    run_cycle(r.loop, start_tick);
    if (r.progress.shown_at_all && r.loop.cycle_number % progress_look_every == 0) {
        show_progress(r.progress, r.loop.cycle_number);
    }
    return true;
}

// Checks an expectation; when it does not hold, says what it expected and what was there.
bool holds(const step& s, const runner& r, std::uint32_t bells, std::string& failure) {
    const screen_model& screen = r.console.screen;
    switch (s.kind) {
    case step_kind::expect_text: {
        const std::string text = r.scenario.texts.substr(s.first, s.count);
        const std::string shown =
            screen_text(screen, s.column, s.row, text_width(text.data(), text.size()));
        failure =
            "expected " + step_label(s) + " " + quoted(text) + ", screen shows " + quoted(shown);
        return shown == text;
    }
    case step_kind::expect_attr: {
        const std::uint16_t shown = screen.cells[s.row][s.column].attribute;
        failure = "expected " + step_label(s) + " " + std::to_string(s.number) + ", screen shows " +
                  std::to_string(shown);
        return shown == s.number;
    }
    case step_kind::expect_bells:
        failure =
            "expected bells " + std::to_string(s.number) + ", " + std::to_string(bells) + " rang";
        return bells == s.number;
    case step_kind::expect_state:
        for (std::uint32_t i = 0; i < s.count; ++i) {
            const state_check& check = r.scenario.checks[s.first + i];
            const std::int64_t has = check.name->value(r.loop);
            if (has != check.value) {
                failure = std::string("expected ") + check.name->name + "=" +
                          state_value_text(*check.name, check.value) + ", state has " +
                          check.name->name + "=" + state_value_text(*check.name, has);
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
int run_steps(runner& r) {
    bool running = true; // until the quit
    std::uint32_t bells_counted = 0;
    int expectations = 0;
    const std::uint16_t* keys = r.scenario.keys.data();
    for (const step& s : r.scenario.steps) {
        switch (s.kind) {
        case step_kind::type:
            for (std::uint32_t k = 0; running && k < s.count; ++k) {
                r.console.keys.push_back({r.console.now + 1, keys[s.first + k]});
                running = window_and_cycle(r);
            }
            break;
        case step_kind::press:
            for (std::uint32_t k = 0; k < s.count; ++k) {
                r.console.keys.push_back({r.console.now + 1, keys[s.first + k]});
            }
            running = window_and_cycle(r);
            break;
        case step_kind::wait:
            if (running) {
                wait_cycles(r, s.number);
            }
            break;
        default: {
            ++expectations;
            const std::uint32_t bells = r.console.screen.bells - bells_counted;
            std::string failure;
            if (!holds(s, r, bells, failure)) {
                end_progress(r.progress);
                std::fprintf(stderr, "%s:%u: cycle %llu: %s\n", r.run.path, s.line,
                             static_cast<unsigned long long>(r.loop.cycle_number), failure.c_str());
                return scenario_fails;
            }
            if (s.kind == step_kind::expect_bells) {
                bells_counted = r.console.screen.bells;
            }
        }
        }
    }
    end_progress(r.progress);
    const std::uint64_t cycles = r.loop.cycle_number;
    std::printf("%s: %d expectation%s hold%s over %llu cycle%s\n", r.run.path, expectations,
                expectations == 1 ? "" : "s", expectations == 1 ? "s" : "",
                static_cast<unsigned long long>(cycles), cycles == 1 ? "" : "s");
    return scenario_holds;
}

} // namespace

int run_scenario(const scenario_run& run, const scenario_steps& scenario) {
    memory_console console;
    use_memory_console(console);
    const int rows = run.show_states ? below_states : below_screen;
    console_open(rows);
    draw_start_screen();
    loop_state loop;
    loop.show_states = run.show_states;
    loop.observer = run.observer;
    loop.step = run.step;
    loop.cycle_number = run.first_cycle;
    loop.wakes_every_cycle = true; // a window is a step's: its waits run in wait_cycles
    const auto now = steady::now();
    runner r{run, scenario, console, loop,
             progress_line{run.path, run.show_progress, cycles_in_all(scenario), now, now, 0}};
    const int status = run_steps(r);
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
