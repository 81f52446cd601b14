// A GTKWave save file beside a trace: `gtkwave FILE.gtkw` opens the trace with the signals grouped
// by controller, the state names beside the numbers, and the whole run in view.
#pragma once

#include <cstdint>
#include <string>

// FILE.gtkw for FILE.vcd; FILE.gtkw for any other FILE too.
std::string trace_view_path(const std::string& trace_path);

// Writes the save file for the trace at `trace_path`, which ends at `end_time` ms; false, with the
// reason on stderr, when it cannot be written.
bool write_trace_view(const std::string& trace_path, bool scenario_scope, std::uint64_t end_time);
