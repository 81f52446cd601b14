// The exploration's view of the lock: a state as plain values, the sound merges of states that no
// sequence of steps can tell apart, and the state packed into 96 bits (explore_step.h loads a
// state into the main loop's one signal set and steps it by the real step).
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

// Packs the values; false when one is out of the range a reachable state has (a fault), and
// `packed` then means nothing.
bool pack(const lock_values& values, packed_state& packed);
lock_values unpack(const packed_state& packed);

// The counters, in the order tables of them are given, and how many values a packed one can hold.
enum counter_index : int { counter_pw, counter_lock, counter_sound, counter_light, counter_count };
constexpr int counter_values = 1024;

// The packed state with each of its counters replaced by its entry in the counter's table, which
// must fit the counter's width.
packed_state replace_counters(const packed_state& packed,
                              const std::uint16_t (*tables)[counter_values]);

// A code or entered digits as text, "none" when there are none.
std::string digit_text(const std::int32_t* digits, int count);
