// The exploration's view of the lock: a state as plain values, the sound merges of states that no
// sequence of steps can tell apart, the state packed into 96 bits, and the windows of keys a step
// can take. A state is loaded into the main loop's one signal set and stepped by the real step.
#pragma once

#include "determine_signal.h"

#include <cstdint>
#include <string>
#include <vector>

// Everything the loop carries from one cycle to the next that a controller can read.
struct lock_values {
    std::uint8_t pw_state = 0;
    std::int32_t pw_timer = 0;
    std::int32_t count = 0;
    std::int32_t digits[code_length] = {0, 0, 0, 0}; // entered, slots at and beyond count stale
    std::uint8_t registered = 0;                     // a code is registered
    std::int32_t code[code_length] = {0, 0, 0, 0};
    std::uint8_t locked_mirror = 0; // pw_control.locked
    std::uint8_t lock_state = 0;
    std::int32_t lock_timer = 0;
    std::uint8_t changed = 0;
    std::uint8_t locked = 0;
    std::uint8_t sound_state = 0;
    std::int32_t sound_timer = 0;
    std::uint8_t light_state = 1;
    std::int32_t light_timer = 0;
    std::uint8_t backlight = 1;
    std::uint8_t door = 0;  // level: 1 closed, 0 open
    std::uint8_t cover = 0; // level: 1 closed, 0 open
    bool operator==(const lock_values&) const = default;
};

// What a step raised and wrote that the end-of-cycle clear wipes.
struct step_signals {
    std::uint8_t lock_button = 0;
    std::uint8_t events[5] = {0, 0, 0, 0, 0}; // indexed by sensor_event_index
    std::int32_t digit = -1;                  // the decoded digit, -1 for none
    std::uint8_t pw_result = empty_value;
    std::uint8_t key_clicked = 0;
    std::uint8_t sound = 0;
    bool operator==(const step_signals&) const = default;
};

// A packed state: 90 bits used.
struct packed_state {
    std::uint64_t low;
    std::uint32_t high;
    bool operator==(const packed_state&) const = default;
};

// The merges, each sound because the controllers never read what it forgets:
//  - pw_timer outside `entering`, lock_timer outside `closing`, sound_timer outside `waiting`,
//    light_timer while the light is off: each controller sets its counter to 0 on entering the
//    state that reads it, so the old value is never read;
//  - light_timer from 1000 up: every value from the limit on acts alike;
//  - entered digits at and beyond `count`: a digit is only read once all four are entered, and
//    every slot below four is written before that;
//  - the code's slots before a code is registered: there is none to read.
void merge_counters(lock_values& values);

// Relabels the digits in order of first occurrence (the code first, then the entered digits)
// onto `alphabet` (its digits in ascending order), which must hold every digit in the state:
// digits are only compared for equality and copied, so a state and its relabelling behave alike
// under the same relabelling of the windows. `mapping[d]` gets the new label of digit d.
void relabel_digits(lock_values& values, const std::vector<int>& alphabet, int mapping[10]);

// Packs the values; false when one is out of the range a reachable state has (a fault).
bool pack(const lock_values& values, packed_state& packed);
lock_values unpack(const packed_state& packed);

// The values of the loop between two cycles.
lock_values read_values(const loop_state& loop);
// Puts the values into the loop and its signal set, as they stand between two cycles. `own_code`
// is the code record the exploration keeps for the signal set's registered code.
void load_values(loop_state& loop, const lock_values& values, pw_code* own_code);

// A polling window: up to two keys, pressed in this order.
struct key_window {
    char keys[2]; // 0 for none
};

// The alphabet of windows: no key; each of L, D, K, C and the digits; with `pairs`, every two
// different keys among L, D, K, C and one digit.
std::vector<key_window> window_alphabet(const std::vector<int>& digits, bool pairs);

// The window after relabelling its digit.
key_window relabel_window(key_window window, const int mapping[10]);

// Gives the window's keys to the loop as a polling window would (without echo).
void apply_window(loop_state& loop, key_window window);

// What a window leaves in the loop for the step: in one state, two windows that leave the same
// inputs step alike (a digit behind the closed cover, the door held by the bolt).
struct window_inputs {
    std::uint8_t button_toggle;
    std::uint8_t key_toggle;
    sensor_input door_input;
    sensor_input cover_input;
    int digit;
    bool operator==(const window_inputs&) const = default;
};
window_inputs inputs_of(const loop_state& loop);

// Steps the loop whose window's keys are in place (apply_window), as step_window does.
lock_values step_applied(loop_state& loop, step_function step, step_signals& signals,
                         pw_code* own_code);

// Steps the loop through one window; the one-cycle values before the clear go to `signals`.
// Returns the values after the step, unmerged. A code the step registered is copied into
// `own_code`, which the signal set holds again afterwards, so that stepping allocates nothing
// that outlives it (a replay on a loop of its own passes none and keeps the step's record).
lock_values step_window(loop_state& loop, step_function step, key_window window,
                        step_signals& signals, pw_code* own_code);

// The step's one-cycle values as the loop holds them before the end-of-cycle clear.
step_signals signals_of(const loop_state& loop);

// Creates the loop's signal set as the first cycle would, with nothing decoded.
void create_signal_set(loop_state& loop);

// A code or entered digits as text, "none" when there are none.
std::string digit_text(const std::int32_t* digits, int count);
