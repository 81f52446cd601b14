#include "vcd_trace.h"

#include <cstring>

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

// The variable's identifier code in the dump: one printable character each.
char code_of(int index) {
    return static_cast<char>('!' + index);
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

void write_header(std::FILE* file) {
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
    }
    std::fputs("$upscope $end\n$upscope $end\n$enddefinitions $end\n", file);
}

} // namespace

void trace_open(vcd_trace& trace, std::FILE* file) {
    trace = vcd_trace{};
    trace.file = file;
    write_header(trace.file);
    const loop_state start;
    std::fputs("#0\n$dumpvars\n", trace.file);
    for (int i = 0; i < trace_variables; ++i) {
        trace.values[i] = variables[i].value(start);
        write_value(trace.file, i, trace.values[i]);
    }
    std::fputs("$end\n", trace.file);
    std::fflush(trace.file);
}

void trace_cycle(vcd_trace& trace, const loop_state& loop, std::uint32_t start_tick) {
    trace.time = trace.cycle_seen ? trace.time + (start_tick - trace.last_tick) : start_tick;
    trace.cycle_seen = true;
    trace.last_tick = start_tick;
    bool time_written = false;
    for (int i = 0; i < trace_variables; ++i) {
        const std::int64_t value = variables[i].value(loop);
        if (value == trace.values[i]) {
            continue;
        }
        if (!time_written) {
            std::fprintf(trace.file, "#%llu\n", static_cast<unsigned long long>(trace.time));
            time_written = true;
        }
        write_value(trace.file, i, value);
        trace.values[i] = value;
        trace.written_time = trace.time;
    }
    // Once a second of the run the file gets what it has: a crash loses a second at the most.
    // While nothing changes there is nothing to send, and no system call.
    if (trace.time - trace.flushed_time >= 1000) {
        std::fflush(trace.file);
        trace.flushed_time = trace.time;
    }
}

void trace_unchanged_cycles(vcd_trace& trace, std::uint64_t cycles, std::uint32_t last_start_tick) {
    trace.time += cycles * cycle_ticks; // past the 32-bit ticks' wrap, however long
    trace.last_tick = last_start_tick;
}

bool trace_close(vcd_trace& trace) {
    if (trace.file == nullptr) {
        return true;
    }
    if (trace.time > trace.written_time) { // how long the run went on after the last change
        std::fprintf(trace.file, "#%llu\n", static_cast<unsigned long long>(trace.time));
    }
    const bool written = std::ferror(trace.file) == 0;
    const bool closed = std::fclose(trace.file) == 0;
    trace.file = nullptr;
    if (!written || !closed) {
        std::fputs("doorlock: the trace could not be written completely\n", stderr);
        return false;
    }
    return true;
}
