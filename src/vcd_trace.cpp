#include "vcd_trace.h"

#include "trace_view.h"

#include <cstring>
#include <string>
#include <vector>

#ifndef DOORLOCK_VERSION
#define DOORLOCK_VERSION "0"
#endif

namespace {

// The signal set's parts, or zero before the first cycle has made the set.
std::int64_t event(const loop_state& loop, int index) {
    return loop.signals != nullptr ? loop.signals->events->raised[index] : 0;
}

std::int64_t entered_digits(const loop_state& loop) {
    return loop.signals != nullptr ? loop.signals->control->buffer->count : 0;
}

struct trace_variable {
    const char* scope;
    const char* name;
    int width; // in bits; 32-bit counters are integers
    std::int64_t (*value)(const loop_state& loop);
};

const trace_variable variables[trace_variables] = {
    {"password", "pw_state", 3, [](const loop_state& l) -> std::int64_t { return l.pw_state; }},
    {"password", "pw_timer", 32, [](const loop_state& l) -> std::int64_t { return l.pw_timer; }},
    {"password", "count", 3, entered_digits},
    {"password", "pw_result", 8, [](const loop_state& l) -> std::int64_t { return l.pw_result; }},
    {"password", "key_clicked", 1,
     [](const loop_state& l) -> std::int64_t { return l.key_clicked; }},
    {"lock", "lock_state", 2, [](const loop_state& l) -> std::int64_t { return l.lock_state; }},
    {"lock", "lock_timer", 32, [](const loop_state& l) -> std::int64_t { return l.lock_timer; }},
    {"lock", "locked", 1, [](const loop_state& l) -> std::int64_t { return l.status.locked; }},
    {"lock", "changed", 1, [](const loop_state& l) -> std::int64_t { return l.status.changed; }},
    {"sound", "sound_state", 3, [](const loop_state& l) -> std::int64_t { return l.sound_state; }},
    {"sound", "sound_timer", 32, [](const loop_state& l) -> std::int64_t { return l.sound_timer; }},
    {"sound", "sound", 2, [](const loop_state& l) -> std::int64_t { return l.sound_code; }},
    {"light", "light_state", 1, [](const loop_state& l) -> std::int64_t { return l.light_state; }},
    {"light", "light_timer", 32, [](const loop_state& l) -> std::int64_t { return l.light_timer; }},
    {"light", "backlight", 1, [](const loop_state& l) -> std::int64_t { return l.backlight; }},
    {"inputs", "door", 2, [](const loop_state& l) -> std::int64_t { return l.door_input; }},
    {"inputs", "cover", 2, [](const loop_state& l) -> std::int64_t { return l.cover_input; }},
    {"inputs", "digit", 8, [](const loop_state& l) -> std::int64_t { return l.digit; }},
    {"inputs", "button_toggle", 1,
     [](const loop_state& l) -> std::int64_t { return l.button_toggle; }},
    {"inputs", "key_toggle", 1, [](const loop_state& l) -> std::int64_t { return l.key_toggle; }},
    {"signals", "lock_button", 1,
     [](const loop_state& l) -> std::int64_t {
         return l.signals != nullptr ? l.signals->lock_button : 0;
     }},
    {"signals", "pressed", 1,
     [](const loop_state& l) -> std::int64_t {
         return l.signals != nullptr ? l.signals->keypad->pressed : 0;
     }},
    {"signals", "value", 8,
     [](const loop_state& l) -> std::int64_t {
         return l.signals != nullptr ? l.signals->keypad->value : 0;
     }},
    {"signals", "key_sensor", 1, [](const loop_state& l) { return event(l, key_sensor); }},
    {"signals", "door_opened", 1, [](const loop_state& l) { return event(l, door_opened); }},
    {"signals", "door_closed", 1, [](const loop_state& l) { return event(l, door_closed); }},
    {"signals", "cover_opened", 1, [](const loop_state& l) { return event(l, cover_opened); }},
    {"signals", "cover_closed", 1, [](const loop_state& l) { return event(l, cover_closed); }},
};

// Beside each controller's numeric state, its name as a string variable, so that a viewer shows
// "closing" rather than 2.
constexpr const char* pw_state_names[] = {"idle", "entering", "registered", "compared", "reset"};
constexpr const char* lock_state_names[] = {"unlocked", "locked", "closing"};
constexpr const char* sound_state_names[] = {"idle", "correct", "wrong", "timeout", "waiting"};
constexpr const char* light_state_names[] = {"off", "on"};

struct named_state {
    const char* numeric; // the variable whose value is named
    const char* name;
    const char* const* names;
    int count;
};

constexpr named_state named_states[trace_named_states] = {
    {"pw_state", "pw_state_name", pw_state_names, 5},
    {"lock_state", "lock_state_name", lock_state_names, 3},
    {"sound_state", "sound_state_name", sound_state_names, 5},
    {"light_state", "light_state_name", light_state_names, 2},
};

// The scenario's own variables, after the loop's and the named states'.
constexpr int step_code = trace_variables + trace_named_states;
constexpr int expectation_code = step_code + 1;

// The variable's identifier code in the dump: one printable character each.
char code_of(int index) {
    return static_cast<char>('!' + index);
}

int variable_index(const char* name) {
    for (int i = 0; i < trace_variables; ++i) {
        if (std::strcmp(variables[i].name, name) == 0) {
            return i;
        }
    }
    return 0;
}

// A string value is one word: blanks (and any other control character) become _. GTKWave reads
// a backslash as the start of an escape, and bytes beyond ASCII only as octal escapes (\354),
// which it decodes back into UTF-8.
void write_string(std::FILE* file, int code, const char* text) {
    std::fputc('s', file);
    for (const char* c = text; *c != '\0'; ++c) {
        const auto byte = static_cast<unsigned char>(*c);
        if (byte <= ' ') {
            std::fputc('_', file);
        } else if (byte == '\\') {
            std::fputs("\\\\", file);
        } else if (byte >= 0x7f) {
            std::fprintf(file, "\\%03o", byte);
        } else {
            std::fputc(byte, file);
        }
    }
    std::fprintf(file, " %c\n", code_of(code));
}

void write_state_name(std::FILE* file, int named, std::int64_t state) {
    const named_state& n = named_states[named];
    char number[24];
    std::snprintf(number, sizeof number, "%lld", static_cast<long long>(state));
    write_string(file, trace_variables + named,
                 state >= 0 && state < n.count ? n.names[state] : number);
}

// Writes "#time" unless the latest time written is already this one.
void stamp(vcd_trace& trace, std::uint64_t time) {
    if (trace.written_time != time) {
        std::fprintf(trace.file, "#%llu\n", static_cast<unsigned long long>(time));
        trace.written_time = time;
    }
}

// The expectations checked after the latest cycle, at that cycle's time.
void write_expectations(vcd_trace& trace) {
    if (!trace.expectations.empty()) {
        stamp(trace, trace.time);
        write_string(trace.file, expectation_code, trace.expectations.c_str());
        trace.expectations.clear();
    }
}

void write_value(std::FILE* file, int index, std::int64_t value) {
    const int width = variables[index].width;
    const auto bits = static_cast<std::uint64_t>(value) &
                      (width >= 64 ? ~0ull : (1ull << static_cast<unsigned>(width)) - 1);
    if (width == 1) {
        std::fprintf(file, "%d%c\n", bits != 0 ? 1 : 0, code_of(index));
        return;
    }
    char digits[66];
    int n = 0;
    for (std::uint64_t rest = bits; rest != 0 || n == 0; rest >>= 1) {
        digits[n++] = (rest & 1u) != 0 ? '1' : '0';
    }
    std::fputc('b', file);
    while (n > 0) {
        std::fputc(digits[--n], file);
    }
    std::fprintf(file, " %c\n", code_of(index));
}

void write_header(std::FILE* file, bool scenario_scope) {
    std::fputs("$version doorlock " DOORLOCK_VERSION " $end\n$timescale 1ms $end\n"
               "$scope module doorlock $end\n",
               file);
    const char* scope = nullptr;
    for (int i = 0; i < trace_variables; ++i) {
        const trace_variable& v = variables[i];
        if (scope == nullptr || std::strcmp(scope, v.scope) != 0) {
            if (scope != nullptr) {
                std::fputs("$upscope $end\n", file);
            }
            scope = v.scope;
            std::fprintf(file, "$scope module %s $end\n", scope);
        }
        std::fprintf(file, "$var %s %d %c %s $end\n", v.width == 32 ? "integer" : "wire", v.width,
                     code_of(i), v.name);
        for (int n = 0; n < trace_named_states; ++n) {
            if (std::strcmp(named_states[n].numeric, v.name) == 0) {
                std::fprintf(file, "$var string 1 %c %s $end\n", code_of(trace_variables + n),
                             named_states[n].name);
            }
        }
    }
    std::fputs("$upscope $end\n", file);
    if (scenario_scope) {
        std::fprintf(file,
                     "$scope module scenario $end\n$var string 1 %c step $end\n"
                     "$var string 1 %c expectation $end\n$upscope $end\n",
                     code_of(step_code), code_of(expectation_code));
    }
    std::fputs("$upscope $end\n$enddefinitions $end\n", file);
}

} // namespace

void trace_open(vcd_trace& trace, std::FILE* file, const char* path, bool scenario_scope) {
    trace = vcd_trace{};
    trace.file = file;
    trace.path = path;
    trace.scenario_scope = scenario_scope;
    write_header(trace.file, scenario_scope);
    const loop_state start;
    std::fputs("#0\n$dumpvars\n", trace.file);
    for (int i = 0; i < trace_variables; ++i) {
        trace.values[i] = variables[i].value(start);
        write_value(trace.file, i, trace.values[i]);
    }
    for (int n = 0; n < trace_named_states; ++n) {
        write_state_name(trace.file, n, trace.values[variable_index(named_states[n].numeric)]);
    }
    if (scenario_scope) {
        write_string(trace.file, step_code, "-");
        write_string(trace.file, expectation_code, "-");
    }
    std::fputs("$end\n", trace.file);
    std::fflush(trace.file);
}

void trace_cycle(vcd_trace& trace, const loop_state& loop, std::uint32_t start_tick) {
    write_expectations(trace);
    trace.time = trace.cycle_seen ? trace.time + (start_tick - trace.last_tick) : start_tick;
    trace.cycle_seen = true;
    trace.last_tick = start_tick;
    if (!trace.step.empty()) {
        stamp(trace, trace.time);
        write_string(trace.file, step_code, trace.step.c_str());
        trace.step.clear();
    }
    for (int i = 0; i < trace_variables; ++i) {
        const std::int64_t value = variables[i].value(loop);
        if (value == trace.values[i]) {
            continue;
        }
        stamp(trace, trace.time);
        write_value(trace.file, i, value);
        trace.values[i] = value;
        for (int n = 0; n < trace_named_states; ++n) {
            if (std::strcmp(named_states[n].numeric, variables[i].name) == 0) {
                write_state_name(trace.file, n, value);
            }
        }
    }
    // Once a second of the run the file gets what it has: a crash loses a second at the most.
    // While nothing changes there is nothing to send, and no system call.
    if (trace.time - trace.flushed_time >= 1000) {
        std::fflush(trace.file);
        trace.flushed_time = trace.time;
    }
}

void trace_step(vcd_trace& trace, const std::string& step) {
    trace.step = step;
}

void trace_expectation(vcd_trace& trace, const std::string& outcome) {
    if (!trace.expectations.empty()) {
        trace.expectations += ';';
    }
    trace.expectations += outcome;
}

std::vector<trace_signal> trace_signals(bool scenario_scope) {
    std::vector<trace_signal> signals;
    for (const trace_variable& v : variables) {
        signals.push_back({v.scope, v.name, v.width, v.width == 32});
        for (const named_state& n : named_states) {
            if (std::strcmp(n.numeric, v.name) == 0) {
                signals.push_back({v.scope, n.name, 0, false});
            }
        }
    }
    if (scenario_scope) {
        signals.push_back({"scenario", "step", 0, false});
        signals.push_back({"scenario", "expectation", 0, false});
    }
    return signals;
}

void trace_unchanged_cycles(vcd_trace& trace, std::uint64_t cycles, std::uint32_t last_start_tick) {
    write_expectations(trace);
    if (!trace.step.empty()) { // a wait of a scenario, from its first cycle
        stamp(trace, trace.time + cycle_ticks);
        write_string(trace.file, step_code, trace.step.c_str());
        trace.step.clear();
    }
    trace.time += cycles * cycle_ticks; // past the 32-bit ticks' wrap, however long
    trace.last_tick = last_start_tick;
}

bool trace_close(vcd_trace& trace) {
    if (trace.file == nullptr) {
        return true;
    }
    write_expectations(trace);
    stamp(trace, trace.time); // how long the run went on after the last change
    const bool written = std::ferror(trace.file) == 0;
    const bool closed = std::fclose(trace.file) == 0;
    trace.file = nullptr;
    if (!written || !closed) {
        std::fputs("doorlock: the trace could not be written completely\n", stderr);
        return false;
    }
    return write_trace_view(trace.path, trace.scenario_scope, trace.time);
}
