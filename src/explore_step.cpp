#include "explore_step.h"

namespace {

int sensor_level(sensor_input input) {
    return input & 1;
}

} // namespace

lock_values read_values(const loop_state& loop) {
    lock_values v;
    const pw_control* control = loop.signals->control;
    const pw_buffer* buffer = control->buffer;
    v.pw_state = static_cast<std::uint8_t>(loop.pw_state > 255 ? 255 : loop.pw_state);
    v.pw_timer = loop.pw_timer;
    v.count = buffer->count;
    for (int i = 0; i < code_length; ++i) {
        v.digits[i] = buffer->digits[i];
    }
    v.registered = buffer->registered != nullptr ? 1 : 0;
    for (int i = 0; v.registered != 0 && i < code_length; ++i) {
        v.code[i] = buffer->registered->digits[i];
    }
    v.locked_mirror = control->locked;
    v.lock_state = static_cast<std::uint8_t>(loop.lock_state > 255 ? 255 : loop.lock_state);
    v.lock_timer = loop.lock_timer;
    v.changed = loop.status.changed;
    v.locked = loop.status.locked;
    v.sound_state = static_cast<std::uint8_t>(loop.sound_state > 255 ? 255 : loop.sound_state);
    v.sound_timer = loop.sound_timer;
    v.light_state = static_cast<std::uint8_t>(loop.light_state > 255 ? 255 : loop.light_state);
    v.light_timer = loop.light_timer;
    v.backlight = loop.backlight;
    v.door = static_cast<std::uint8_t>(sensor_level(loop.door_input));
    v.cover = static_cast<std::uint8_t>(sensor_level(loop.cover_input));
    return v;
}

void load_values(loop_state& loop, const lock_values& v, pw_code* own_code) {
    signal_set* signals = loop.signals;
    pw_control* control = signals->control;
    pw_buffer* buffer = control->buffer;
    loop.pw_state = v.pw_state;
    loop.pw_timer = v.pw_timer;
    buffer->count = v.count;
    for (int i = 0; i < code_length; ++i) {
        buffer->digits[i] = v.digits[i];
        own_code->digits[i] = v.code[i];
    }
    buffer->registered = v.registered != 0 ? own_code : nullptr;
    control->locked = v.locked_mirror;
    loop.lock_state = v.lock_state;
    loop.lock_timer = v.lock_timer;
    loop.status = {v.changed, v.locked};
    loop.sound_state = v.sound_state;
    loop.sound_timer = v.sound_timer;
    loop.light_state = v.light_state;
    loop.light_timer = v.light_timer;
    loop.backlight = v.backlight;
    loop.door_input = static_cast<sensor_input>(2 | v.door);
    loop.cover_input = static_cast<sensor_input>(2 | v.cover);
    loop.pw_result = empty_value;
    loop.key_clicked = 0;
    init_bss(signals);
}

void save_loaded(const loop_state& loop, const pw_code& own_code, loaded_loop& saved) {
    const signal_set* signals = loop.signals;
    saved.loop = loop;
    saved.signals = *signals;
    saved.control = *signals->control;
    saved.buffer = *signals->control->buffer;
    saved.keypad = *signals->keypad;
    saved.events = *signals->events;
    saved.own_code = own_code;
}

void restore_loaded(loop_state& loop, pw_code& own_code, const loaded_loop& saved) {
    loop = saved.loop;
    signal_set* signals = loop.signals;
    *signals = saved.signals;
    *signals->control = saved.control;
    *signals->control->buffer = saved.buffer;
    *signals->keypad = saved.keypad;
    *signals->events = saved.events;
    own_code = saved.own_code;
}

std::vector<key_window> window_alphabet(const std::vector<int>& digits, bool pairs) {
    std::vector<key_window> windows;
    windows.push_back({{0, 0}});
    const char letters[] = {'L', 'D', 'K', 'C'};
    for (char letter : letters) {
        windows.push_back({{letter, 0}});
    }
    for (int digit : digits) {
        windows.push_back({{static_cast<char>('0' + digit), 0}});
    }
    if (pairs) {
        for (int a = 0; a < 4; ++a) {
            for (int b = a + 1; b < 4; ++b) {
                windows.push_back({{letters[a], letters[b]}});
            }
        }
        for (char letter : letters) {
            for (int digit : digits) {
                windows.push_back({{letter, static_cast<char>('0' + digit)}});
            }
        }
    }
    return windows;
}

key_window relabel_window(key_window window, const int mapping[10]) {
    for (char& key : window.keys) {
        if (key >= '0' && key <= '9' && mapping[key - '0'] >= 0) {
            key = static_cast<char>('0' + mapping[key - '0']);
        }
    }
    return window;
}

void apply_window(loop_state& loop, key_window window) {
    start_window(loop);
    for (char key : window.keys) {
        if (key != 0) {
            window_key(loop, key);
        }
    }
}

namespace {

// Keeps the one-cycle values of a step before the clear.
void keep_signals(void* context, const loop_state& loop) {
    auto* kept = static_cast<step_signals*>(context);
    const signal_set* signals = loop.signals;
    kept->lock_button = signals->lock_button;
    for (int i = 0; i < 5; ++i) {
        kept->events[i] = signals->events->raised[i];
    }
    // The decoded digit: still waiting in the keypad, or taken by the password controller into
    // the last slot it filled.
    const pw_buffer* buffer = signals->control->buffer;
    if (signals->keypad->pressed != 0) {
        kept->digit = signals->keypad->value;
    } else if (loop.key_clicked != 0 && buffer->count > 0 && buffer->count <= code_length) {
        kept->digit = buffer->digits[buffer->count - 1];
    } else {
        kept->digit = -1;
    }
    kept->pw_result = loop.pw_result;
    kept->key_clicked = loop.key_clicked;
    kept->sound = loop.sound_code;
}

} // namespace

step_signals signals_of(const loop_state& loop) {
    step_signals signals;
    keep_signals(&signals, loop);
    return signals;
}

window_inputs inputs_of(const loop_state& loop) {
    return {loop.button_toggle, loop.key_toggle, loop.door_input, loop.cover_input, loop.digit};
}

lock_values step_window(loop_state& loop, step_function step, key_window window,
                        step_signals& signals, pw_code* own_code) {
    apply_window(loop, window);
    return step_applied(loop, step, signals, own_code);
}

lock_values step_applied(loop_state& loop, step_function step, step_signals& signals,
                         pw_code* own_code) {
    const cycle_watcher watcher{&signals, keep_signals};
    step(loop, &watcher);
    lock_values values = read_values(loop);
    pw_buffer* buffer = loop.signals->control->buffer;
    if (own_code != nullptr && buffer->registered != nullptr && buffer->registered != own_code) {
        delete buffer->registered; // registered in this step: the values hold it now
        buffer->registered = own_code;
    }
    return values;
}

void create_signal_set(loop_state& loop) {
    loop.signals = determine(0, open_unchanged, 0, open_unchanged, empty_value, loop.signals);
}
