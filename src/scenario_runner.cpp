#include "scenario_runner.h"

#include "UI.h"
#include "idle_cycles.h"
#include "platform.h"
#include "platform_memory.h"
#include "screen_model.h"
#include "vcd_trace.h"

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
        const bool runs = s.kind == step_kind::wait || s.kind == step_kind::expect_within ||
                          s.kind == step_kind::expect_for;
        total += runs ? s.number : s.kind == step_kind::type ? s.count : 1;
    }
    return total;
}

// An expectation checked once: whether it holds, what it expects, what was there.
struct check {
    bool held;
    std::string expected; // lock "LOCK  ", lock_state=1, bells 3
    std::string seen;     // screen shows "UNLOCK", state has lock_state=2, 2 rang
    const char* verb;     // show, hold, ring
};

std::string cycles_text(std::uint64_t n) {
    return std::to_string(n) + (n == 1 ? " cycle" : " cycles");
}

// The step as the file says it, for the trace: "type 1357", "expect lock \"LOCK  \"".
std::string step_text(const step& s, const scenario_steps& scenario) {
    switch (s.kind) {
    case step_kind::type:
    case step_kind::press: {
        std::string text = s.kind == step_kind::type ? "type " : "press ";
        for (std::uint32_t k = 0; k < s.count; ++k) {
            append_key(text, scenario.keys[s.first + k]);
        }
        return text;
    }
    case step_kind::wait: return "wait " + std::to_string(s.number);
    case step_kind::expect_within: return "expect within " + std::to_string(s.number);
    case step_kind::expect_for: return "expect for " + std::to_string(s.number);
    case step_kind::expect_text:
        return "expect " + step_label(s) + " " + quoted(scenario.texts.substr(s.first, s.count));
    case step_kind::expect_attr: return "expect " + step_label(s) + " " + std::to_string(s.number);
    case step_kind::expect_bells: return "expect bells " + std::to_string(s.number);
    case step_kind::expect_state: {
        std::string text = "expect";
        for (std::uint32_t i = 0; i < s.count; ++i) {
            const state_check& c = scenario.checks[s.first + i];
            text += std::string(" ") + c.name->name + "=" + state_value_text(*c.name, c.value);
        }
        return text;
    }
    }
    return "";
}

// A run in progress: the loop, its console, and what the expectations have counted.
struct runner {
    const scenario_run& run;
    const scenario_steps& scenario;
    memory_console& console;
    loop_state& loop;
    progress_line progress;
    bool running = true;             // until the quit
    std::uint32_t bells_counted = 0; // bells rung up to the latest `expect bells` that held
    int expectations = 0;
    const step* timing = nullptr; // the time of the expectation that comes next
    std::string failure;          // "FILE:LINE: cycle C: what", once one failed
    int failed_line = 0;

    // One polling window with whatever keys are due in it, then one cycle; false once Q arrived.
    bool next_cycle() {
        std::uint32_t start_tick = 0;
        running = running && poll_window(loop, start_tick);
        if (!running) {
            return false;
        }
        run_cycle(loop, start_tick);
        if (progress.shown_at_all && loop.cycle_number % progress_look_every == 0) {
            show_progress(progress, loop.cycle_number);
        }
        return true;
    }

    // Cycles with no key in between, which the runner runs as the sleeping loop runs the cycles
    // it slept through: those that repeat the one before are counted, so that a long wait ends
    // at once; the clock then stands at the last one's start. On a terminal, in parts, so that a
    // wait whose cycles run one by one (a trace with a counter moving) says how far it has come.
    void wait_cycles(std::uint64_t cycles) {
        constexpr std::uint64_t part = std::uint64_t{1} << 20;
        for (std::uint64_t left = cycles; left > 0;) {
            const std::uint64_t these = progress.shown_at_all ? std::min(left, part) : left;
            run_idle_cycles(loop, these);
            left -= these;
            if (progress.shown_at_all) {
                show_progress(progress, loop.cycle_number);
            }
        }
        console.now = loop.last_tick;
    }

    check check_now(const step& s) const {
        const screen_model& screen = console.screen;
        switch (s.kind) {
        case step_kind::expect_text: {
            const std::string text = scenario.texts.substr(s.first, s.count);
            const std::string shown =
                screen_text(screen, s.column, s.row, text_width(text.data(), text.size()));
            return {shown == text, step_label(s) + " " + quoted(text),
                    "screen shows " + quoted(shown), "show"};
        }
        case step_kind::expect_attr: {
            const std::uint16_t shown = screen.cells[s.row][s.column].attribute;
            return {shown == s.number, step_label(s) + " " + std::to_string(s.number),
                    "screen shows " + std::to_string(shown), "show"};
        }
        case step_kind::expect_bells: {
            const std::uint32_t bells = screen.bells - bells_counted;
            return {bells == s.number, "bells " + std::to_string(s.number),
                    std::to_string(bells) + " rang", "ring"};
        }
        case step_kind::expect_state:
            for (std::uint32_t i = 0; i < s.count; ++i) {
                const state_check& c = scenario.checks[s.first + i];
                const std::int64_t has = c.name->value(loop);
                if (has != c.value) {
                    return {false,
                            std::string(c.name->name) + "=" + state_value_text(*c.name, c.value),
                            std::string("state has ") + c.name->name + "=" +
                                state_value_text(*c.name, has),
                            "hold"};
                }
            }
            return {true, "", "", "hold"};
        default: return {true, "", "", ""};
        }
    }

    // Checks the expectation over the cycles its time asks for; false, with `failure` set, when
    // it does not hold.
    bool expectation(const step& s) {
        ++expectations;
        const step* time = timing;
        timing = nullptr;
        // "expect within 300 lock ...": the time, then the expectation without its "expect".
        const std::string said =
            std::to_string(s.line) + ": " +
            (time == nullptr ? step_text(s, scenario)
                             : step_text(*time, scenario) + " " + step_text(s, scenario).substr(7));
        if (run.trace != nullptr && time != nullptr) {
            trace_step(*run.trace, said); // shown from the first cycle it runs
        }
        check c = check_now(s);
        std::uint64_t cycles = 0;
        const bool within = time != nullptr && time->kind == step_kind::expect_within;
        const bool during = time != nullptr && time->kind == step_kind::expect_for;
        while ((within ? !c.held : during && c.held) && cycles < time->number && next_cycle()) {
            ++cycles;
            c = check_now(s);
        }
        if (run.trace != nullptr) {
            trace_expectation(*run.trace, said + (c.held ? " ok" : " FAILED"));
        }
        if (c.held) {
            if (s.kind == step_kind::expect_bells) {
                bells_counted = console.screen.bells;
            }
            return true;
        }
        std::string what = "expected " + c.expected + ", " + c.seen;
        if (within) {
            what = c.expected + " did not " + c.verb + " within " + cycles_text(time->number) +
                   " (" + c.seen + ")";
        } else if (during) {
            what = c.expected + " did not " + c.verb + " for " + cycles_text(time->number) + ": " +
                   (cycles == 0 ? std::string("not at the start")
                                : "not after cycle " + std::to_string(cycles) + " of them") +
                   " (" + c.seen + ")";
        }
        failure = std::string(run.path) + ":" + std::to_string(s.line) + ": cycle " +
                  std::to_string(loop.cycle_number) + ": " + what;
        failed_line = static_cast<int>(s.line);
        return false;
    }

    // Runs one step; false when an expectation failed.
    bool step_runs(const step& s) {
        const bool runs_cycles =
            s.kind == step_kind::type || s.kind == step_kind::press || s.kind == step_kind::wait;
        if (run.trace != nullptr && runs_cycles) {
            trace_step(*run.trace, std::to_string(s.line) + ": " + step_text(s, scenario));
        }
        const std::uint16_t* keys = scenario.keys.data();
        switch (s.kind) {
        case step_kind::type:
            for (std::uint32_t k = 0; running && k < s.count; ++k) {
                console.keys.push_back({console.now + 1, keys[s.first + k]});
                next_cycle();
            }
            return true;
        case step_kind::press:
            for (std::uint32_t k = 0; k < s.count; ++k) {
                console.keys.push_back({console.now + 1, keys[s.first + k]});
            }
            next_cycle();
            return true;
        case step_kind::wait:
            if (running) {
                wait_cycles(s.number);
            }
            return true;
        case step_kind::expect_within:
        case step_kind::expect_for: timing = &s; return true;
        default: return expectation(s);
        }
    }
};

// The screen as text, each row without its trailing blanks.
std::string screen_as_text(const screen_model& screen, int rows) {
    std::string text;
    for (int row = 0; row < rows; ++row) {
        std::string line = screen_text(screen, 0, row, screen_columns);
        line.erase(line.find_last_not_of(' ') + 1);
        text += line + "\n";
    }
    return text;
}

} // namespace

scenario_result run_scenario(const scenario_run& run, const scenario_steps& scenario,
                             std::string& screen) {
    scenario_result result;
    result.path = run.path;
    memory_console console;
    use_memory_console(console);
    const int rows = run.show_states ? below_states : below_screen;
    console_open(rows);
    draw_start_screen();
    loop_state loop;
    loop.show_states = run.show_states;
    loop.observer = run.observer;
    loop.cycle_number = run.first_cycle;
    loop.step = run.step;
    loop.wakes_every_cycle = true; // a window is a step's: its waits run in wait_cycles
    const auto now = steady::now();
    runner r{run,
             scenario,
             console,
             loop,
             progress_line{run.path, run.show_progress, cycles_in_all(scenario), now, now, 0},
             true,
             0,
             0,
             nullptr,
             {},
             0};
    for (const step& s : scenario.steps) {
        if (!r.step_runs(s)) {
            result.outcome = scenario_outcome::failed;
            result.message = r.failure;
            result.line = r.failed_line;
            break;
        }
    }
    end_progress(r.progress);
    result.expectations = r.expectations;
    result.cycles = loop.cycle_number;
    release_signals(loop.signals);
    console_close();
    if (run.print_screen) {
        screen = screen_as_text(console.screen, rows);
    }
    return result;
}
