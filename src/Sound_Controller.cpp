#include "Sound_Controller.h"

namespace {

int wait_for_outcome(std::uint32_t& state, std::int32_t& timer, std::uint8_t key_clicked,
                     std::uint8_t pw_result, std::int32_t count) {
    timer += 1;
    if (pw_result == 1) {
        state = sound_correct;
        return Sound1();
    }
    if (pw_result == 0) {
        state = sound_wrong;
        return Sound2();
    }
    // Tested before `count`: an entry abandoned for inactivity still gets its sound.
    if (timer >= sound_wait_limit) {
        state = sound_timeout;
        return Sound3();
    }
    if (key_clicked == 1) {
        timer = 0;
    } else if (count == 0) {
        state = sound_idle; // registered, or abandoned without an outcome: silence
    }
    return 0;
}

} // namespace

int sound_controller(std::uint32_t& state, std::int32_t& timer, std::uint8_t key_clicked,
                     std::uint8_t pw_result, std::int32_t count) {
    switch (state) {
    case sound_idle:
        if (key_clicked == 1) {
            timer = 0;
            state = sound_waiting;
        }
        return 0;
    case sound_waiting: return wait_for_outcome(state, timer, key_clicked, pw_result, count);
    case sound_correct:
    case sound_wrong:
    case sound_timeout: state = sound_idle; return 0;
    default: return 0;
    }
}

int Sound1() {
    return 1;
}
int Sound2() {
    return 2;
}
int Sound3() {
    return 3;
}
