// A logic analyser on the lock: every cycle's controller states and counters, outputs, inputs and
// one-cycle signals as a Value Change Dump (IEEE 1364), which waveform viewers such as GTKWave
// open. Time is the cycle's start tick in milliseconds; only changes are written.
#pragma once

#include "determine_signal.h"

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

constexpr int trace_variables = 28;
constexpr int trace_named_states = 4; // each controller's state, also by name

struct vcd_trace {
    std::FILE* file;
    std::string path;
    bool scenario_scope;        // the trace has the scenario's step and expectations
    std::uint64_t time;         // the latest cycle's start, in ms, counted past the ticks' wrap
    std::uint32_t last_tick;    // the latest cycle's start tick
    bool cycle_seen;            // a cycle has been traced
    std::uint64_t written_time; // the latest time written
    std::uint64_t flushed_time; // when the file last got what was written
    std::int64_t values[trace_variables]; // as last written
    std::string step;                     // the step to show from the next cycle on
    std::string expectations;             // checked after the latest cycle, not yet written
};

// Writes the header and the lock's state before the first cycle, at time 0, to `file` (open for
// writing and empty, at `path`), which the trace then owns; `scenario_scope` adds the scope of a
// scenario's steps and expectations.
void trace_open(vcd_trace& trace, std::FILE* file, const char* path, bool scenario_scope = false);
// Writes what changed in this cycle, at its start tick; call before the end-of-cycle clear.
void trace_cycle(vcd_trace& trace, const loop_state& loop, std::uint32_t start_tick);
// A scenario's step ("12: type 1357"), shown from the next cycle on.
void trace_step(vcd_trace& trace, const std::string& step);
// An expectation checked after the latest cycle, with its outcome; several checked after the same
// cycle are shown together, joined by ';'.
void trace_expectation(vcd_trace& trace, const std::string& outcome);
// A variable of the trace: its scope below the top one, name, width in bits (0 for a string) and
// whether it is an integer.
struct trace_signal {
    const char* scope;
    const char* name;
    int width;
    bool integer;
};
// Every variable, in the order of the trace's header.
std::vector<trace_signal> trace_signals(bool scenario_scope);
// `cycles` cycles that changed no traced value, the latest starting at `last_start_tick`,
// `cycle_ticks` ticks apart: the time moves on; nothing is written but a scenario step that
// begins with them, at the first one's time.
void trace_unchanged_cycles(vcd_trace& trace, std::uint64_t cycles, std::uint32_t last_start_tick);
// Writes the latest cycle's time, so that the trace spans the whole run, closes the file and writes
// the GTKWave save file beside it; false, with the reason on stderr, when something could not be
// written.
bool trace_close(vcd_trace& trace);
