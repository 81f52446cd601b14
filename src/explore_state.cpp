#include "explore_state.h"

#include "Light_Controller.h"
#include "Lock_Controller.h"
#include "Sound_Controller.h"
#include "pw_control2.h"

#include <type_traits>

namespace {

constexpr int timer_bits = 10;     // 0 to 1000
constexpr int lock_timer_bits = 9; // 0 to 300
constexpr int digit_bits = 4;

// The packed fields side by side, the first lowest: their widths in the order of `each_field`.
constexpr int field_widths[] = {3,          timer_bits, 3, digit_bits, digit_bits,
                                digit_bits, digit_bits, 1, digit_bits, digit_bits,
                                digit_bits, digit_bits, 1, 2,          lock_timer_bits,
                                1,          1,          3, timer_bits, 1,
                                timer_bits, 1,          1, 1};
constexpr int field_count = sizeof field_widths / sizeof field_widths[0];
constexpr int field_offset(int field) {
    int at = 0;
    for (int i = 0; i < field; ++i) {
        at += field_widths[i];
    }
    return at;
}
static_assert(field_offset(field_count) <= 96, "a state packs into 96 bits");
constexpr bool widths_within(int most) {
    for (int width : field_widths) {
        if (width < 1 || width > most) {
            return false;
        }
    }
    return true;
}
static_assert(widths_within(timer_bits), "pack groups the fields by width, up to timer_bits");

template <int I> using field_number = std::integral_constant<int, I>;

// Packs or unpacks every field in one order: `field(value, field_number<I>)` for each, so that
// every width and offset is a constant where it is used.
static_assert(code_length == 4);
template <typename Values, typename Field> void each_field(Values& v, Field field) {
    field(v.pw_state, field_number<0>{});
    field(v.pw_timer, field_number<1>{});
    field(v.count, field_number<2>{});
    field(v.digits[0], field_number<3>{});
    field(v.digits[1], field_number<4>{});
    field(v.digits[2], field_number<5>{});
    field(v.digits[3], field_number<6>{});
    field(v.registered, field_number<7>{});
    field(v.code[0], field_number<8>{});
    field(v.code[1], field_number<9>{});
    field(v.code[2], field_number<10>{});
    field(v.code[3], field_number<11>{});
    field(v.locked_mirror, field_number<12>{});
    field(v.lock_state, field_number<13>{});
    field(v.lock_timer, field_number<14>{});
    field(v.changed, field_number<15>{});
    field(v.locked, field_number<16>{});
    field(v.sound_state, field_number<17>{});
    field(v.sound_timer, field_number<18>{});
    field(v.light_state, field_number<19>{});
    field(v.light_timer, field_number<20>{});
    field(v.backlight, field_number<21>{});
    field(v.door, field_number<22>{});
    field(v.cover, field_number<23>{});
}

int sensor_level(sensor_input input) {
    return input & 1;
}

} // namespace

void merge_counters(lock_values& v) {
    if (v.pw_state != pw_entering) {
        v.pw_timer = 0;
    }
    if (v.lock_state != lock_closing) {
        v.lock_timer = 0;
    }
    if (v.sound_state != sound_waiting) {
        v.sound_timer = 0;
    }
    if (v.light_state != light_on) {
        v.light_timer = 0;
    } else if (v.light_timer > light_limit) {
        v.light_timer = light_limit;
    }
    for (int i = v.count < 0 ? 0 : v.count; i < code_length; ++i) {
        v.digits[i] = 0;
    }
    if (v.registered == 0) {
        for (std::int32_t& digit : v.code) {
            digit = 0;
        }
    }
}

void relabel_digits(lock_values& v, const std::vector<int>& alphabet, int mapping[10]) {
    for (int d = 0; d < 10; ++d) {
        mapping[d] = -1;
    }
    std::size_t next = 0;
    const auto label = [&](std::int32_t& digit) {
        if (digit < 0 || digit > 9) {
            return; // out of range: packing refuses it
        }
        if (mapping[digit] < 0 && next < alphabet.size()) {
            mapping[digit] = alphabet[next++];
        }
        digit = mapping[digit];
    };
    if (v.registered != 0) {
        for (std::int32_t& digit : v.code) {
            label(digit);
        }
    }
    for (int i = 0; i < v.count && i < code_length; ++i) {
        label(v.digits[i]);
    }
    // Digits the state does not hold take the labels left, in order, so that the mapping is a
    // permutation of the alphabet.
    for (int d : alphabet) {
        if (mapping[d] < 0 && next < alphabet.size()) {
            mapping[d] = alphabet[next++];
        }
    }
}

bool pack(const lock_values& values, packed_state& packed) {
    std::uint64_t low = 0;
    std::uint64_t high = 0;
    // The values of each width together: their bits above the width, where one has any, show
    // that it does not fit (a negative value has them all). A value that fits needs no mask.
    std::uint64_t by_width[timer_bits + 1] = {};
    each_field(values, [&](auto value, auto number) {
        constexpr int width = field_widths[decltype(number)::value];
        constexpr int at = field_offset(decltype(number)::value);
        const auto u = static_cast<std::uint64_t>(static_cast<std::int64_t>(value));
        by_width[width] |= u;
        if constexpr (at >= 64) {
            high |= u << (at - 64);
        } else {
            low |= u << at;
            if constexpr (at + width > 64) { // the field straddles the two words
                high |= u >> (64 - at);
            }
        }
    });
    std::uint64_t beyond = 0;
    for (int width = 1; width <= timer_bits; ++width) {
        beyond |= by_width[width] >> width;
    }
    packed = {low, static_cast<std::uint32_t>(high)};
    return beyond == 0;
}

lock_values unpack(const packed_state& packed) {
    lock_values values;
    each_field(values, [&](auto& value, auto number) {
        constexpr int width = field_widths[decltype(number)::value];
        constexpr int at = field_offset(decltype(number)::value);
        std::uint64_t u = 0;
        if constexpr (at >= 64) {
            u = std::uint64_t{packed.high} >> (at - 64);
        } else if constexpr (at + width > 64) {
            u = packed.low >> at | std::uint64_t{packed.high} << (64 - at);
        } else {
            u = packed.low >> at;
        }
        value = static_cast<std::remove_reference_t<decltype(value)>>(
            u & ((std::uint64_t{1} << width) - 1));
    });
    return values;
}

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

std::string digit_text(const std::int32_t* digits, int count) {
    if (count <= 0) {
        return "none";
    }
    std::string text;
    for (int i = 0; i < count; ++i) {
        text += static_cast<char>('0' + digits[i]);
    }
    return text;
}
