#include "explore_arcs.h"

#include "Light_Controller.h"
#include "Lock_Controller.h"
#include "Sound_Controller.h"
#include "output_files.h"
#include "pw_control2.h"

#include <cstdio>
#include <cstring>
#include <filesystem>

namespace {

const char* const state_names[controller_count][5] = {
    {"idle", "entering", "registered", "compared", "reset"},
    {"unlocked", "locked", "closing", nullptr, nullptr},
    {"idle", "correct", "wrong", "timeout", "waiting"},
    {"off", "on", nullptr, nullptr, nullptr},
};

const std::vector<controller_arc> arcs = {
    {password_controller, pw_idle, pw_entering, "digit"},
    {password_controller, pw_entering, pw_entering, "digit"},
    {password_controller, pw_entering, pw_resetting, "1000 cycles"},
    {password_controller, pw_entering, pw_resetting, "cover closed"},
    {password_controller, pw_entering, pw_resetting, "bolt unlocked"},
    {password_controller, pw_entering, pw_registered, "4 digits, no code"},
    {password_controller, pw_entering, pw_compared, "4 digits, a code"},
    {password_controller, pw_registered, pw_resetting, "next cycle"},
    {password_controller, pw_compared, pw_resetting, "next cycle"},
    {password_controller, pw_resetting, pw_idle, "next cycle"},
    {lock_controller_id, lock_unlocked, lock_closing, "door closed"},
    {lock_controller_id, lock_unlocked, lock_locked, "lock button"},
    {lock_controller_id, lock_closing, lock_unlocked, "door opened"},
    {lock_controller_id, lock_closing, lock_locked, "lock button"},
    {lock_controller_id, lock_closing, lock_locked, "300 cycles"},
    {lock_controller_id, lock_locked, lock_unlocked, "lock button"},
    {lock_controller_id, lock_locked, lock_unlocked, "key"},
    {lock_controller_id, lock_locked, lock_unlocked, "right code"},
    {sound_controller_id, sound_idle, sound_waiting, "digit"},
    {sound_controller_id, sound_waiting, sound_waiting, "digit"},
    {sound_controller_id, sound_waiting, sound_correct, "right code"},
    {sound_controller_id, sound_waiting, sound_wrong, "wrong code"},
    {sound_controller_id, sound_waiting, sound_timeout, "1000 cycles"},
    {sound_controller_id, sound_waiting, sound_idle, "entry ended"},
    {sound_controller_id, sound_correct, sound_idle, "next cycle"},
    {sound_controller_id, sound_wrong, sound_idle, "next cycle"},
    {sound_controller_id, sound_timeout, sound_idle, "next cycle"},
    {light_controller_id, light_off, light_on, "cover opened"},
    {light_controller_id, light_off, light_on, "digit"},
    {light_controller_id, light_on, light_off, "cover closed"},
    {light_controller_id, light_on, light_off, "1000 cycles"},
    {light_controller_id, light_on, light_on, "digit, with a code"},
};

int state_of(const lock_values& v, int controller) {
    switch (controller) {
    case password_controller: return v.pw_state;
    case lock_controller_id: return v.lock_state;
    case sound_controller_id: return v.sound_state;
    default: return v.light_state;
    }
}

// The cause of a controller's move, as the arcs name it; nullptr for no arc (a plain stay).
const char* cause_of(int controller, int from, int to, const lock_values& before,
                     const step_signals& s, const lock_values& after) {
    const bool clicked = s.key_clicked != 0;
    switch (controller) {
    case password_controller:
        if (from == pw_entering && to == pw_resetting) {
            return s.events[cover_closed] != 0             ? "cover closed"
                   : before.pw_timer + 1 >= pw_entry_limit ? "1000 cycles"
                                                           : "bolt unlocked";
        }
        if (from == pw_entering && to == pw_registered) {
            return "4 digits, no code";
        }
        if (from == pw_entering && to == pw_compared) {
            return "4 digits, a code";
        }
        if (to == from) {
            return from == pw_entering && clicked ? "digit" : nullptr;
        }
        return from == pw_idle ? "digit" : "next cycle";
    case lock_controller_id:
        if (to == from) {
            return nullptr;
        }
        if (to == lock_closing) {
            return "door closed";
        }
        if (to == lock_unlocked) {
            return from == lock_closing   ? "door opened"
                   : s.lock_button != 0   ? "lock button"
                   : s.events[key_sensor] ? "key"
                                          : "right code";
        }
        return s.lock_button != 0 ? "lock button" : "300 cycles";
    case sound_controller_id:
        if (to == from) {
            return from == sound_waiting && clicked ? "digit" : nullptr;
        }
        if (from == sound_waiting) {
            return to == sound_correct   ? "right code"
                   : to == sound_wrong   ? "wrong code"
                   : to == sound_timeout ? "1000 cycles"
                                         : "entry ended";
        }
        return from == sound_idle ? "digit" : "next cycle";
    default:
        if (to == from) {
            return from == light_on && clicked && after.registered != 0 ? "digit, with a code"
                                                                        : nullptr;
        }
        if (to == light_on) {
            return s.events[cover_opened] != 0 ? "cover opened" : "digit";
        }
        return s.events[cover_closed] != 0 ? "cover closed" : "1000 cycles";
    }
}

} // namespace

const std::vector<controller_arc>& controller_arcs() {
    return arcs;
}

const char* controller_name(int controller) {
    static const char* const names[controller_count] = {"password", "lock", "sound", "backlight"};
    return names[controller];
}

const char* controller_state_name(int controller, int state) {
    const char* name = state >= 0 && state < 5 ? state_names[controller][state] : nullptr;
    return name != nullptr ? name : "?";
}

std::uint64_t arcs_of_step(const lock_values& before, const step_signals& signals,
                           const lock_values& after) {
    std::uint64_t ran = 0;
    for (int c = 0; c < controller_count; ++c) {
        const int from = state_of(before, c);
        const int to = state_of(after, c);
        const char* cause = cause_of(c, from, to, before, signals, after);
        if (cause == nullptr) {
            continue;
        }
        for (std::size_t i = 0; i < arcs.size(); ++i) {
            const controller_arc& a = arcs[i];
            if (a.controller == c && a.from == from && a.to == to &&
                std::strcmp(a.cause, cause) == 0) {
                ran |= std::uint64_t{1} << i;
            }
        }
    }
    return ran;
}

void cover_cycle(arc_coverage& coverage, const loop_state& loop) {
    const lock_values now = read_values(loop);
    coverage.ran |= arcs_of_step(coverage.last, signals_of(loop), now);
    coverage.last = now;
}

loop_observer coverage_observer(arc_coverage& coverage) {
    return {&coverage,
            nullptr,
            [](void* c, const loop_state& loop, std::uint32_t) {
                cover_cycle(*static_cast<arc_coverage*>(c), loop);
            },
            nullptr,
            nullptr,
            true};
}

std::string coverage_report(std::uint64_t ran) {
    std::string report;
    for (int c = 0; c < controller_count; ++c) {
        int total = 0;
        int covered = 0;
        std::string missing;
        for (std::size_t i = 0; i < arcs.size(); ++i) {
            const controller_arc& a = arcs[i];
            if (a.controller != c) {
                continue;
            }
            ++total;
            if ((ran >> i & 1u) != 0) {
                ++covered;
            } else {
                missing += std::string(missing.empty() ? "; missing: " : ", ") +
                           controller_state_name(c, a.from) + " -> " +
                           controller_state_name(c, a.to) + " (" + a.cause + ")";
            }
        }
        report += std::string(controller_name(c)) + ": " + std::to_string(covered) + "/" +
                  std::to_string(total) + " arcs" + missing + "\n";
    }
    return report;
}

bool write_diagrams(const char* directory, std::uint64_t reached, std::uint64_t ran) {
    std::error_code ignored; // a folder that cannot be made is reported by the first file
    std::filesystem::create_directory(directory, ignored);
    for (int c = 0; c < controller_count; ++c) {
        const std::string path = std::string(directory) + "/" + controller_name(c) + ".dot";
        whole_file out;
        if (!open_whole_file(out, path.c_str(), "diagram")) {
            return false;
        }
        std::FILE* file = out.file;
        std::fprintf(file,
                     "// The %s controller's arcs that the exploration reached; dashed: not run by "
                     "the scenarios.\ndigraph %s {\n    rankdir=LR;\n    node [shape=ellipse, "
                     "fontname=\"DejaVu Sans\"];\n    edge [fontname=\"DejaVu Sans\", "
                     "fontsize=10];\n",
                     controller_name(c), controller_name(c));
        for (int s = 0; s < 5 && state_names[c][s] != nullptr; ++s) {
            std::fprintf(file, "    %s [label=\"%d %s\"];\n", state_names[c][s], s,
                         state_names[c][s]);
        }
        for (std::size_t i = 0; i < arcs.size(); ++i) {
            const controller_arc& a = arcs[i];
            if (a.controller != c || (reached >> i & 1u) == 0) {
                continue;
            }
            std::fprintf(file, "    %s -> %s [label=\"%s\"%s];\n", controller_state_name(c, a.from),
                         controller_state_name(c, a.to), a.cause,
                         (ran >> i & 1u) != 0 ? "" : ", style=dashed");
        }
        std::fputs("}\n", file);
        if (!close_whole_file(out)) {
            return false;
        }
    }
    return true;
}
