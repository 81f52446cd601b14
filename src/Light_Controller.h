// Backlight controller: the pad's light comes on with the cover opened or a digit taken, goes off
// with the cover closed and, once a code is registered, after 1000 cycles without a digit.
#pragma once

#include "determine_signal.h"

#include <cstdint>

enum : std::uint32_t {
    light_off = 0,
    light_on = 1,
};

constexpr std::int32_t light_limit = 1000;

// The output for a light state: 0 off, 1 on, `previous` for any other state.
std::uint8_t BackLight(std::uint32_t state, std::uint8_t previous);

// Returns the new backlight output.
std::uint8_t light_controller(std::uint32_t& state, std::int32_t& timer, std::uint8_t cover_opened,
                              std::uint8_t cover_closed, std::uint8_t key_clicked,
                              const pw_buffer* buffer, std::uint8_t backlight);
