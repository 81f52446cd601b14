#include "scenario_runner.h"

#include "UI.h"
#include "platform.h"
#include "platform_memory.h"
#include "scenario_parse.h"
#include "screen_model.h"

#include <cstdio>
#include <vector>

namespace {

// One polling window with whatever keys are due in it, then one cycle; false when Q arrived.
bool window_and_cycle(loop_state& loop) {
    std::uint32_t start_tick = 0;
    if (!poll_window(loop, start_tick)) {
        return false;
    }
    run_cycle(loop, start_tick);
    return true;
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
    loop.step = run.step;
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
