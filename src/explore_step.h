// A state of the exploration stepped by the real step: loaded into the main loop's one signal set,
// given a window of keys, stepped, and read back, with what the step raised.
#pragma once

#include "explore_state.h"

#include <cstdint>
#include <cstring>
#include <type_traits>
#include <vector>

// What a step raised and wrote that the end-of-cycle clear wipes. Its bytes are all its own (no
// padding), so that it reads as two words wherever steps are compared or keyed.
struct step_signals {
    std::int32_t digit = -1; // the decoded digit, -1 for none
    std::uint8_t lock_button = 0;
    std::uint8_t events[5] = {0, 0, 0, 0, 0}; // indexed by sensor_event_index
    std::uint8_t pw_result = empty_value;
    std::uint8_t key_clicked = 0;
    std::uint8_t sound = 0;
    std::uint8_t unused[3] = {0, 0, 0}; // always 0
    bool operator==(const step_signals&) const = default;
};
static_assert(sizeof(step_signals) == 16 && std::has_unique_object_representations_v<step_signals>);

// The signals as two words: equal words, equal signals.
inline void signal_words(const step_signals& signals, std::uint64_t words[2]) {
    std::memcpy(words, &signals, sizeof signals);
}
inline bool same_signals(const step_signals& a, const step_signals& b) {
    return std::memcmp(&a, &b, sizeof a) == 0;
}

// The values of the loop between two cycles.
lock_values read_values(const loop_state& loop);
// Puts the values into the loop and its signal set, as they stand between two cycles. `own_code`
// is the code record the exploration keeps for the signal set's registered code.
void load_values(loop_state& loop, const lock_values& values, pw_code* own_code);

// The loop and its signal set as load_values left them, to be put back before each window of the
// same state: copying them back costs less than loading the values again.
struct loaded_loop {
    loop_state loop;
    signal_set signals;
    pw_control control;
    pw_buffer buffer;
    key_input keypad;
    sensor_events events;
    pw_code own_code;
};
void save_loaded(const loop_state& loop, const pw_code& own_code, loaded_loop& saved);
void restore_loaded(loop_state& loop, pw_code& own_code, const loaded_loop& saved);

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
