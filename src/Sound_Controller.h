// Sound controller: after a digit is taken, waits for the outcome of the entry and chooses the
// sound: 1 correct code, 2 wrong code, 3 nothing for 1000 cycles.
#pragma once

#include <cstdint>

enum : std::uint32_t {
    sound_idle = 0,
    sound_correct = 1,
    sound_wrong = 2,
    sound_timeout = 3,
    sound_waiting = 4,
};

constexpr std::int32_t sound_wait_limit = 1000;

// Returns this cycle's sound code: 0 none, 1, 2 or 3.
int sound_controller(std::uint32_t& state, std::int32_t& timer, std::uint8_t key_clicked,
                     std::uint8_t pw_result, std::int32_t count);

int Sound1();
int Sound2();
int Sound3();
