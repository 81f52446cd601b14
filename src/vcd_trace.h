// A logic analyser on the lock: every cycle's controller states and counters, outputs, inputs and
// one-cycle signals as a Value Change Dump (IEEE 1364), which waveform viewers such as GTKWave
// open. Time is the cycle's start tick in milliseconds; only changes are written.
#pragma once

#include "determine_signal.h"

#include <cstdint>
#include <cstdio>

constexpr int trace_variables = 28;

struct vcd_trace {
    std::FILE* file;
    std::uint64_t time;         // the latest cycle's start, in ms, counted past the ticks' wrap
    std::uint32_t last_tick;    // the latest cycle's start tick
    std::uint64_t written_time; // the time of the latest change written
    std::uint64_t flushed_time; // when the file last got what was written
    bool cycle_seen;            // a cycle has been traced
    std::int64_t values[trace_variables]; // as last written
};

// Writes the header and the lock's state before the first cycle, at time 0, to `file` (open
// for writing and empty), which the trace then owns.
void trace_open(vcd_trace& trace, std::FILE* file);
// Writes what changed in this cycle, at its start tick; call before the end-of-cycle clear.
void trace_cycle(vcd_trace& trace, const loop_state& loop, std::uint32_t start_tick);
// `cycles` cycles that changed no traced value, the latest starting at `last_start_tick`,
// `cycle_ticks` ticks apart: the time moves on, nothing is written.
void trace_unchanged_cycles(vcd_trace& trace, std::uint64_t cycles, std::uint32_t last_start_tick);
// Writes the latest cycle's time, so that the trace spans the whole run, and closes the file;
// false, with the reason on stderr, when something could not be written.
bool trace_close(vcd_trace& trace);
