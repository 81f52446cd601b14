// Feeds arbitrary bytes through the main loop on the in-memory platform: most bytes are keys,
// bytes from 0xF0 up let cycles pass (0xFF with the byte after it lets many pass, so that the
// timeouts come into reach). After every cycle the loop's state must stay within its ranges.
#include "Light_Controller.h"
#include "Lock_Controller.h"
#include "Sound_Controller.h"
#include "UI.h"
#include "determine_signal.h"
#include "platform.h"
#include "pw_control2.h"
#include "test_platform.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>

namespace {

void check(bool holds) {
    if (!holds) {
        std::abort();
    }
}

void check_state(const loop_state& loop) {
    const pw_buffer* buffer = loop.signals->control->buffer;
    check(buffer->count >= 0 && buffer->count <= code_length);
    check(loop.pw_state <= pw_resetting);
    check(loop.lock_state <= lock_closing);
    check(loop.sound_state <= sound_waiting);
    check(loop.light_state <= light_on);
    check(loop.signals->control->locked == loop.status.locked);
    check(loop.status.locked <= 1 && loop.status.changed <= 1);
    check(loop.backlight <= 1);
    check(loop.door_input >= open_unchanged && loop.cover_input >= open_unchanged);
    check(loop.sound_code <= 3);
    check(loop.pw_timer >= 0 && loop.pw_timer <= pw_entry_limit);
    check(loop.lock_timer >= 0 && loop.lock_timer <= auto_lock_limit);
    if (buffer->registered != nullptr) {
        for (std::int32_t digit : buffer->registered->digits) {
            check(digit >= 0 && digit <= 9);
        }
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    reset_console_under_test();
    num_pad_forget();
    loop_state loop;
    std::uint32_t tick = 0;
    const auto run_cycles = [&](int cycles) {
        for (int i = 0; i < cycles; ++i) {
            tick += 10;
            run_cycle(loop, tick);
            check_state(loop);
            start_window(loop);
            console_under_test().ops.clear();
            console_under_test().text.clear();
        }
    };
    start_window(loop);
    for (std::size_t i = 0; i < size; ++i) {
        const std::uint8_t byte = data[i];
        if (byte == 0xFF && i + 1 < size) {
            run_cycles(10 * data[++i] + 1);
        } else if (byte >= 0xF0) {
            run_cycles(byte - 0xEF);
        } else if (handle_key(loop, byte == 0xEF ? key_no_command : byte)) {
            break;
        }
    }
    run_cycles(1);
    release_signals(loop.signals);
    return 0;
}
