#include "determine_signal.h"

#include "Light_Controller.h"
#include "Lock_Controller.h"
#include "Sound_Controller.h"
#include "UI.h"
#include "idle_cycles.h"
#include "platform.h"
#include "pw_control2.h"

#include <cstdio>

namespace {

signal_set* create_signals() {
    auto* signals = new signal_set{};
    signals->keypad = new key_input{0, 0};
    signals->control = new pw_control{0, nullptr};
    signals->control->buffer = new pw_buffer{{0, 0, 0, 0}, nullptr, 0};
    signals->events = new sensor_events{};
    return signals;
}

bool level_changed(sensor_input input) {
    return (input & 2) == 0;
}

void raise_level_event(sensor_events* events, sensor_input input, int when_open, int when_closed) {
    if (input == became_closed) {
        events->raised[when_closed] = 1;
    } else if (input == became_open) {
        events->raised[when_open] = 1;
    }
}

void echo_digit(int digit) {
    char text[32];
    std::snprintf(text, sizeof text, "숫자 %d 입력      ", digit);
    put_text(text);
}

} // namespace

signal_set* determine(std::uint8_t button_toggle, sensor_input door_input, std::uint8_t key_toggle,
                      sensor_input cover_input, unsigned digit, signal_set* signals) {
    if (signals == nullptr) {
        signals = create_signals();
    }
    if (button_toggle == 1) {
        signals->lock_button = 1;
    } else if (level_changed(door_input)) {
        raise_level_event(signals->events, door_input, door_opened, door_closed);
    } else if (key_toggle == 1) {
        signals->events->raised[key_sensor] = 1;
    } else if (level_changed(cover_input)) {
        raise_level_event(signals->events, cover_input, cover_opened, cover_closed);
    } else if (digit <= 9) {
        signals->keypad->pressed = 1;
        signals->keypad->value = static_cast<std::int32_t>(digit);
    }
    return signals;
}

void init_bss(signal_set* signals) {
    signals->lock_button = 0;
    signals->keypad->pressed = 0;
    signals->keypad->value = 0;
    sensor_events* events = signals->events;
    events->raised[door_opened] = 0;
    events->raised[door_closed] = 0;
    events->raised[cover_opened] = 0;
    events->raised[cover_closed] = 0;
    events->raised[key_sensor] = 0;
}

void release_signals(signal_set* signals) {
    if (signals == nullptr) {
        return;
    }
    delete signals->control->buffer->registered;
    delete signals->control->buffer;
    delete signals->keypad;
    delete signals->events;
    delete signals->control;
    delete signals;
}

void start_window(loop_state& loop) {
    loop.button_toggle = 0;
    loop.key_toggle = 0;
    loop.digit = empty_value;
}

bool is_quit_key(int key) {
    return ((key & 0xFF) & ~0x20) == 'Q'; // letters in either case
}

key_action window_key(loop_state& loop, int key) {
    const int code = key & 0xFF;
    const int letter = code & ~0x20; // letters in either case
    if (is_quit_key(key)) {
        return key_action::quit;
    }
    if (code >= '0' && code <= '9') {
        if ((loop.cover_input & 1) != 0) {
            return key_action::dropped; // the pad is behind the closed cover
        }
        loop.digit = code - '0';
        return key_action::digit;
    }
    switch (letter) {
    case 'L': loop.button_toggle ^= 1; return key_action::lock_button;
    case 'D':
        if (loop.status.locked != 0) {
            return key_action::dropped; // a locked bolt holds the door
        }
        loop.door_input ^= 3;
        return key_action::door;
    case 'K': loop.key_toggle ^= 1; return key_action::key;
    case 'C': loop.cover_input ^= 3; return key_action::cover;
    default: return key_action::dropped;
    }
}

void echo_key(key_action action, int digit) {
    gotoxy(40, 10);
    switch (action) {
    case key_action::digit: echo_digit(digit); break;
    case key_action::lock_button: put_text("Lock Button 입력   \n"); break;
    case key_action::door: put_text("door sensor 입력   \n"); break;
    case key_action::key: put_text("key sensor 입력   \n"); break;
    case key_action::cover: put_text("cover sensor 입력\n"); break;
    case key_action::quit:
    case key_action::dropped: break;
    }
}

bool handle_key(loop_state& loop, int key) {
    const key_action action = window_key(loop, key);
    if (action == key_action::quit) {
        return true;
    }
    echo_key(action, loop.digit);
    return false;
}

void step_cycle(loop_state& loop, const cycle_watcher* watcher) {
    loop.signals = determine(loop.button_toggle, loop.door_input, loop.key_toggle, loop.cover_input,
                             static_cast<unsigned>(loop.digit), loop.signals);
    signal_set* signals = loop.signals;
    pw_control* control = signals->control;
    const sensor_events* events = signals->events;

    pw_controller(loop.pw_state, control, signals->keypad, events->raised[cover_closed],
                  loop.key_clicked, loop.pw_result, loop.pw_timer);
    lock_controller(loop.lock_state, loop.lock_timer, control, events, signals->lock_button,
                    loop.pw_result, &loop.status);
    loop.sound_code = static_cast<std::uint8_t>(sound_controller(loop.sound_state, loop.sound_timer,
                                                                 loop.key_clicked, loop.pw_result,
                                                                 control->buffer->count));
    loop.backlight = light_controller(loop.light_state, loop.light_timer,
                                      events->raised[cover_opened], events->raised[cover_closed],
                                      loop.key_clicked, control->buffer, loop.backlight);
    loop.cycle_number += 1;
    if (watcher != nullptr) {
        watcher->see(watcher->context, loop);
    }

    loop.pw_result = empty_value;
    loop.key_clicked = 0;
    init_bss(signals);
    loop.door_input |= 2;
    loop.cover_input |= 2;
}

namespace {

struct drawn_cycle {
    std::uint32_t start_tick;
};

// The drawing of a cycle, and whoever watches the loop, between the controllers and the clear.
void draw_cycle(void* context, const loop_state& loop) {
    draw_panels(loop);
    if (loop.observer != nullptr && loop.observer->cycle != nullptr) {
        loop.observer->cycle(loop.observer->context, loop,
                             static_cast<const drawn_cycle*>(context)->start_tick);
    }
}

} // namespace

void draw_panels(const loop_state& loop) {
    const pw_buffer* buffer = loop.signals->control->buffer;
    num_pad_ui(loop.digit, loop.cover_input, loop.backlight);
    showState(&loop.status, loop.sound_code, buffer, loop.cover_input, loop.door_input);
    if (loop.show_states) {
        show_controller_states(loop); // before the clear: it shows this cycle's one-cycle bytes
    }
    gotoxy(0, 0);
}

void run_cycle(loop_state& loop, std::uint32_t start_tick) {
    drawn_cycle cycle{start_tick};
    const cycle_watcher drawing{&cycle, draw_cycle};
    loop.step(loop, &drawing);
    loop.last_tick = start_tick;
    console_flush();
}

bool poll_window(loop_state& loop, std::uint32_t& start_tick) {
    start_window(loop);
    bool keys_read = false;
    for (;;) {
        if (key_waiting()) {
            keys_read = true;
            const int key = read_key();
            if (loop.observer != nullptr && loop.observer->key != nullptr) {
                loop.observer->key(loop.observer->context, loop, key);
            }
            if (handle_key(loop, key)) {
                return false;
            }
        }
        const std::uint32_t now = clock_ticks();
        if (now - loop.last_tick >= cycle_ticks) {
            start_tick = now;
            return true;
        }
        if (keys_read || loop.show_states || loop.wakes_every_cycle || loop.signals == nullptr) {
            wait_for_key_until(loop.last_tick + cycle_ticks);
        } else {
            sleep_until_change(loop);
        }
    }
}

int mainmodule(bool show_states, const loop_observer* observer, bool wakes_every_cycle) {
    loop_state loop;
    loop.show_states = show_states;
    loop.observer = observer;
    loop.wakes_every_cycle = wakes_every_cycle;
    std::uint32_t start_tick = 0;
    while (poll_window(loop, start_tick)) {
        run_cycle(loop, start_tick);
    }
    release_signals(loop.signals);
    return 0;
}
