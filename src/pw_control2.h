// Password controller: collects the digits typed on the pad, registers the first four as the
// lock's code and compares later entries with it.
#pragma once

#include "determine_signal.h"

#include <cstdint>

// Password controller states.
enum : std::uint32_t {
    pw_idle = 0,
    pw_entering = 1,
    pw_registered = 2,
    pw_compared = 3,
    pw_resetting = 4,
};

// Inactivity limit of an entry, in cycles.
constexpr std::int32_t pw_entry_limit = 1000;

// One cycle of the controller. Writes `key_clicked` when it takes a digit and `pw_result` (1 match,
// 0 mismatch) in the cycle of a comparison. Returns 0, or -1 for a state out of range.
int pw_controller(std::uint32_t& state, pw_control* control, key_input* keypad,
                  std::uint8_t cover_closed, std::uint8_t& key_clicked, std::uint8_t& pw_result,
                  std::int32_t& timer);

// 1 if the entered digits equal the registered code, else 0.
std::uint8_t pw_check(const pw_buffer* buffer);
// Registers the entered digits as the code; returns 1.
int pw_set(pw_buffer* buffer);
// Clears the flag; returns 1.
std::uint8_t pw_click(std::uint8_t& flag);
void pw_reset(std::int32_t& value);
