// A path of the search as the real program runs it: replayed on the step, written as a scenario
// with the keys from the start and expectations on the state it ends in, and as a trace.
#include "explore_paths.h"

#include "output_files.h"
#include "scenario_runner.h"
#include "scenario_suite.h"
#include "vcd_trace.h"

#include <cstdio>
#include <string>

namespace {

std::string key_text(const key_window& w) {
    std::string keys;
    for (char k : w.keys) {
        if (k != 0) {
            keys += k;
        }
    }
    return keys;
}

} // namespace

int run_scenario_file(const char* path, const loop_observer* observer, step_function step) {
    scenario_run run{path, false, false, observer, false, 0};
    run.step = step;
    return run_scenarios({{path}, run, nullptr, false, false});
}

lock_values replay_path(const std::vector<key_window>& windows, step_function step,
                        step_signals& last, std::uint32_t& cycles) {
    loop_state loop;
    create_signal_set(loop);
    last = step_signals{};
    for (const key_window& w : windows) {
        step_window(loop, step, w, last, nullptr);
    }
    const lock_values values = read_values(loop);
    cycles = static_cast<std::uint32_t>(windows.size());
    release_signals(loop.signals);
    return values;
}

bool write_path_scenario(const char* path, const std::vector<key_window>& windows,
                         const property& p, bool witness, step_function step) {
    // Whole or not at all: a counterexample cut short, without its expectations, would pass on
    // any build.
    whole_file out;
    if (!open_whole_file(out, path, witness ? "witness" : "counterexample")) {
        return false;
    }
    std::FILE* file = out.file;
    std::size_t with_keys = 0;
    for (const key_window& w : windows) {
        with_keys += w.keys[0] != 0 ? 1 : 0;
    }
    std::fprintf(file, "# %s %s:\n#   %s\n",
                 witness ? "The shortest witness of" : "A shortest counterexample to",
                 p.name.c_str(), p.text.c_str());
    std::fprintf(file,
                 "# %zu cycles from the start, %zu of them with keys. Run it with\n"
                 "#   doorlock --scenario %s\n",
                 windows.size(), with_keys, path);
    // The keys: runs of windows without keys as waits, one-key windows typed, two-key windows
    // pressed.
    std::string typed;
    std::size_t idle = 0;
    const auto flush = [&] {
        if (idle > 0) {
            std::fprintf(file, "wait %zu\n", idle);
            idle = 0;
        }
        if (!typed.empty()) {
            std::fprintf(file, "type %s\n", typed.c_str());
            typed.clear();
        }
    };
    for (std::size_t i = 0; i < windows.size(); ++i) {
        const key_window& w = windows[i];
        const bool last = i + 1 == windows.size();
        if (last) {
            flush();
            std::fprintf(file, "# The last step%s:\n", witness ? "" : ", where the property fails");
        }
        if (w.keys[0] == 0) {
            if (!typed.empty()) {
                flush();
            }
            ++idle;
        } else if (w.keys[1] == 0) {
            if (idle > 0) {
                flush();
            }
            typed += w.keys[0];
        } else {
            flush();
            std::fprintf(file, "press %s\n", key_text(w).c_str());
        }
    }
    flush();
    step_signals signals;
    std::uint32_t cycles = 0;
    const lock_values v = replay_path(windows, step, signals, cycles);
    std::string raised;
    const char* event_names[5] = {"key_sensor", "door_opened", "door_closed", "cover_opened",
                                  "cover_closed"};
    if (signals.lock_button != 0) {
        raised += " lock_button";
    }
    for (int e = 0; e < 5; ++e) {
        if (signals.events[e] != 0) {
            raised += std::string(" ") + event_names[e];
        }
    }
    if (signals.digit >= 0) {
        raised += " digit=" + std::to_string(signals.digit);
    }
    std::fprintf(file, "# It raised:%s; pw_result=%u key_clicked=%u sound=%u.\n",
                 raised.empty() ? " nothing" : raised.c_str(), signals.pw_result,
                 signals.key_clicked, signals.sound);
    std::fprintf(file, "# The state it leaves, as the program has it:\n");
    std::fprintf(file, "expect pw_state=%u pw_timer=%d count=%d registered=%s entered=%s\n",
                 v.pw_state, v.pw_timer, v.count,
                 v.registered != 0 ? digit_text(v.code, code_length).c_str() : "none",
                 digit_text(v.digits, v.count).c_str());
    std::fprintf(file, "expect lock_state=%u lock_timer=%d locked=%u changed=%u door=%u cover=%u\n",
                 v.lock_state, v.lock_timer, v.locked, v.changed, v.door, v.cover);
    std::fprintf(file, "expect sound_state=%u sound_timer=%d sound=%u\n", v.sound_state,
                 v.sound_timer, signals.sound);
    std::fprintf(file, "expect light_state=%u light_timer=%d backlight=%u\n", v.light_state,
                 v.light_timer, v.backlight);
    std::fprintf(file, "expect cycle=%u\n", cycles);
    return close_whole_file(out);
}

bool trace_path(const char* path, const std::vector<key_window>& windows, step_function step) {
    vcd_trace trace{};
    output_file file{path, "trace", nullptr};
    if (!open_output_files(&file, 1)) {
        return false;
    }
    trace_open(trace, file.file, path);
    struct traced {
        vcd_trace* trace;
        std::uint32_t tick;
    } context{&trace, 0};
    const cycle_watcher watcher{&context, [](void* c, const loop_state& loop) {
                                    auto* t = static_cast<traced*>(c);
                                    trace_cycle(*t->trace, loop, t->tick);
                                }};
    loop_state loop;
    for (const key_window& w : windows) {
        apply_window(loop, w); // the first step creates the signal set
        context.tick += 10;
        step(loop, &watcher);
    }
    release_signals(loop.signals);
    return trace_close(trace);
}
