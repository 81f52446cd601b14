#include "Lock_Controller.h"

namespace {

bool code_registered(const pw_control* control) {
    return control->buffer->registered != nullptr;
}

lock_status* lock_now(std::uint32_t& state, pw_control* control, lock_status* status) {
    LockP(status);
    state = lock_locked;
    control->locked = 1;
    return status;
}

} // namespace

lock_status* lock_controller(std::uint32_t& state, std::int32_t& timer, pw_control* control,
                             const sensor_events* events, std::uint8_t lock_button,
                             std::uint8_t pw_result, lock_status* status) {
    switch (state) {
    case lock_locked:
        if (lock_button != 0 || events->raised[key_sensor] != 0 || pw_result == 1) {
            UnlockP(status);
            state = lock_unlocked;
            control->locked = 0;
            return status;
        }
        break;
    case lock_unlocked:
        // Locking needs a code to open the bolt again.
        if (code_registered(control)) {
            if (events->raised[door_closed] == 1) {
                timer = 0;
                state = lock_closing;
            } else if (lock_button == 1) {
                return lock_now(state, control, status);
            }
        }
        break;
    case lock_closing:
        // Counts the cycles since the door closed; locks in the cycle after the limit.
        if (events->raised[door_opened] == 1) {
            state = lock_unlocked;
        } else if (lock_button == 1 || timer >= auto_lock_limit) {
            return lock_now(state, control, status);
        } else {
            timer += 1;
        }
        break;
    default: break;
    }
    control->locked = status->locked;
    return status;
}

lock_status* LockP(lock_status* status) {
    status->locked = 1;
    status->changed = 1;
    return status;
}

lock_status* UnlockP(lock_status* status) {
    status->locked = 0;
    status->changed = 1;
    return status;
}
