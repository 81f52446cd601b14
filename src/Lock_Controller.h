// Lock controller: drives the bolt from the lock button, the mechanical key, a correct code and
// the door's closing.
#pragma once

#include "determine_signal.h"

#include <cstdint>

enum : std::uint32_t {
    lock_unlocked = 0,
    lock_locked = 1,
    lock_closing = 2,
};

// Cycles from the door-closed cycle until the bolt locks by itself (it locks in the next one).
constexpr std::int32_t auto_lock_limit = 300;

lock_status* lock_controller(std::uint32_t& state, std::int32_t& timer, pw_control* control,
                             const sensor_events* events, std::uint8_t lock_button,
                             std::uint8_t pw_result, lock_status* status);

lock_status* LockP(lock_status* status);
lock_status* UnlockP(lock_status* status);
