#include "Light_Controller.h"

#include <limits>

namespace {

// Before a code is registered the light stays on and its count goes on for as long as the run
// lasts; it stops at the largest value rather than overflow (every value from the limit up acts
// the same).
void count_up(std::int32_t& timer) {
    if (timer < std::numeric_limits<std::int32_t>::max()) {
        timer += 1;
    }
}

std::uint8_t switch_light(std::uint32_t& state, std::uint32_t to, std::uint8_t backlight) {
    state = to;
    return BackLight(state, backlight);
}

} // namespace

std::uint8_t BackLight(std::uint32_t state, std::uint8_t previous) {
    switch (state) {
    case light_off: return 0;
    case light_on: return 1;
    default: return previous;
    }
}

std::uint8_t light_controller(std::uint32_t& state, std::int32_t& timer, std::uint8_t cover_opened,
                              std::uint8_t cover_closed, std::uint8_t key_clicked,
                              const pw_buffer* buffer, std::uint8_t backlight) {
    switch (state) {
    case light_off:
        if (cover_opened != 0 || key_clicked == 1) {
            timer = 0;
            return switch_light(state, light_on, backlight);
        }
        return backlight;
    case light_on:
        count_up(timer);
        if (cover_closed != 0) {
            return switch_light(state, light_off, backlight);
        }
        if (buffer->registered == nullptr) {
            return backlight; // no timeout before a code is registered
        }
        // The timeout is tested before a digit restarts the count.
        if (timer >= light_limit) {
            return switch_light(state, light_off, backlight);
        }
        if (key_clicked == 1) {
            timer = 0;
        }
        return backlight;
    default: return backlight;
    }
}
