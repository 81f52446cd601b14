#include "pw_control2.h"

#include "UI.h"

namespace {

bool code_registered(const pw_control* control) {
    return control->buffer->registered != nullptr;
}

// Takes the waiting digit into the next slot of the buffer and restarts the inactivity count.
void take_digit(pw_buffer* buffer, key_input* keypad, std::uint8_t& key_clicked,
                std::int32_t& timer) {
    key_clicked = pw_click(keypad->pressed);
    pw_reset(timer);
    buffer->digits[buffer->count] = keypad->value;
    buffer->count += 1;
    keypad->value = empty_value;
}

void abandon_entry(std::uint32_t& state, pw_buffer* buffer) {
    buffer->count = 0;
    state = pw_resetting;
}

void enter_digits(std::uint32_t& state, pw_control* control, key_input* keypad,
                  std::uint8_t cover_closed, std::uint8_t& key_clicked, std::uint8_t& pw_result,
                  std::int32_t& timer) {
    pw_buffer* buffer = control->buffer;
    timer += 1;
    if (keypad->pressed != 0 && buffer->count != code_length) {
        // Taken whatever the bolt does meanwhile: an entry under way keeps going.
        take_digit(buffer, keypad, key_clicked, timer);
    } else if (timer >= pw_entry_limit || cover_closed != 0) {
        abandon_entry(state, buffer);
    } else if (control->locked == 0 && code_registered(control)) {
        abandon_entry(state, buffer); // unlocked by other means: nothing left to open
    } else if (buffer->count == code_length) {
        if (code_registered(control)) {
            pw_result = pw_check(buffer);
            state = pw_compared;
        } else {
            pw_set(buffer);
            state = pw_registered;
        }
    }
}

} // namespace

int pw_controller(std::uint32_t& state, pw_control* control, key_input* keypad,
                  std::uint8_t cover_closed, std::uint8_t& key_clicked, std::uint8_t& pw_result,
                  std::int32_t& timer) {
    switch (state) {
    case pw_idle:
        // An entry begins only while it can matter: the bolt is locked, or there is no code yet.
        if ((control->locked != 0 || !code_registered(control)) && keypad->pressed != 0) {
            take_digit(control->buffer, keypad, key_clicked, timer);
            state = pw_entering;
        }
        break;
    case pw_entering:
        enter_digits(state, control, keypad, cover_closed, key_clicked, pw_result, timer);
        break;
    case pw_registered:
    case pw_compared: abandon_entry(state, control->buffer); break;
    case pw_resetting: state = pw_idle; break;
    default: put_text("pw_state error"); return -1;
    }
    return 0;
}

std::uint8_t pw_check(const pw_buffer* buffer) {
    for (int i = 0; i < code_length; ++i) {
        if (buffer->digits[i] != buffer->registered->digits[i]) {
            return 0;
        }
    }
    return 1;
}

int pw_set(pw_buffer* buffer) {
    auto* code = new pw_code;
    for (int i = 0; i < code_length; ++i) {
        code->digits[i] = buffer->digits[i];
    }
    buffer->registered = code;
    return 1;
}

std::uint8_t pw_click(std::uint8_t& flag) {
    flag = 0;
    return 1;
}

void pw_reset(std::int32_t& value) {
    value = 0;
}
