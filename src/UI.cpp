#include "UI.h"

#include "platform.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <initializer_list>

namespace {

// The keypad panel's memory of its last drawing: cover level, backlight and digit marker.
std::int32_t cflag = 0;
std::int32_t lflag = 0;
std::int32_t nflag = 0;

constexpr int pad_left = 1;
constexpr int pad_top = 1;
constexpr int zero_column = 4;
constexpr int zero_row = 4;

struct label {
    int x, y;
    const char* text;
};

constexpr label labels[] = {
    {20, 1, "비밀번호 상태 :"}, {18, 2, "입력중인 비밀번호 :"}, {1, 10, "잠금상태 :"},
    {1, 11, "커버상태 :"},      {1, 12, "문 상태 :"},
};

void put_line_break() {
    put_text("\n");
}

void put_digit_and_blank(std::int32_t digit) {
    const char text[3] = {static_cast<char>('0' + digit), ' ', '\0'};
    put_text(text);
}

int pad_background(std::uint8_t backlight) {
    return backlight != 0 ? colour_light_blue : colour_black;
}

void highlight_digit(int digit) {
    if (digit == 0) {
        gotoxy(zero_column, zero_row);
        put_text("0");
    } else if (digit >= 1 && digit <= 9) {
        gotoxy((digit - 1) % 3 * 3 + pad_left, (digit - 1) / 3 + pad_top);
        const char text[2] = {static_cast<char>('0' + digit), '\0'};
        put_text(text);
    }
}

void show_lock_state(const lock_status* status) {
    if (status->locked == 1) {
        put_text("LOCK  ");
        if (status->changed == 1) {
            gotoxy(20, 10);
            put_text("잠갔음!");
        }
    } else if (status->locked == 0) {
        put_text("UNLOCK");
        if (status->changed == 1) {
            gotoxy(20, 10);
            put_text("열었음!");
        }
    }
}

void show_level(sensor_input input) {
    put_text((input & 1) != 0 ? " 닫힘" : " 열림");
}

void show_registered_code(const pw_code* code) {
    if (code == nullptr) {
        put_text(" None  ");
        return;
    }
    for (std::int32_t digit : code->digits) {
        put_digit_and_blank(digit);
    }
}

void show_entered_digits(const pw_buffer* buffer) {
    int slot = 0;
    for (; slot < buffer->count && slot < code_length; ++slot) {
        put_digit_and_blank(buffer->digits[slot]);
    }
    for (; slot < code_length; ++slot) {
        put_text("  ");
    }
}

const char* state_name(std::uint32_t state, std::initializer_list<const char*> names) {
    return state < names.size() ? names.begin()[state] : "?";
}

// Writes one line of the live view, padded so that it covers whatever stood there before.
void put_state_line(int row, const char* format, ...) __attribute__((format(printf, 2, 3)));
void put_state_line(int row, const char* format, ...) {
    char line[81];
    va_list values;
    va_start(values, format);
    constexpr int padded = 64;
    const int written = std::vsnprintf(line, sizeof line, format, values);
    va_end(values);
    // vsnprintf gives the untruncated length: keep within the line.
    const int n = written < 0 ? 0 : (written < padded ? padded : std::min(written, 80));
    for (int i = written < 0 ? 0 : std::min(written, 80); i < n; ++i) {
        line[i] = ' ';
    }
    line[n] = '\0';
    gotoxy(1, row);
    put_text(line);
}

} // namespace

void gotoxy(int x, int y) {
    console_move(static_cast<std::int16_t>(x), static_cast<std::int16_t>(y));
}

void setcolor(int background, int foreground) {
    console_attribute(static_cast<std::uint16_t>(background * 16 + foreground));
}

void set_nocursor(int visible) {
    console_cursor(visible != 0, visible != 0 ? 20U : 1U);
}

void put_text(const char* text) {
    console_write(text, std::strlen(text));
}

void draw_start_screen() {
    console_clear();
    console_colour_bright_white();
    set_nocursor(0);
    draw_labels();
    draw_key_legend();
    console_flush();
}

void draw_labels() {
    for (const label& l : labels) {
        gotoxy(l.x, l.y);
        put_text(l.text);
    }
}

void draw_key_legend() {
    gotoxy(1, legend_row);
    put_text("0-9 숫자 입력   L 잠금버튼   D 문   K 열쇠   C 커버   Q 종료");
}

void show_controller_states(const loop_state& loop) {
    console_attribute(plain_attribute);
    const pw_buffer* buffer = loop.signals->control->buffer;
    put_state_line(
        states_row, "pw    %u %-10s timer %4d   count %d  pw_result %3u  key_clicked %u",
        loop.pw_state,
        state_name(loop.pw_state, {"idle", "entering", "registered", "compared", "reset"}),
        loop.pw_timer, buffer->count, loop.pw_result, loop.key_clicked);
    put_state_line(states_row + 1, "lock  %u %-10s timer %4d   locked %u", loop.lock_state,
                   state_name(loop.lock_state, {"unlocked", "locked", "closing"}), loop.lock_timer,
                   loop.status.locked);
    put_state_line(states_row + 2, "sound %u %-10s timer %4d   sound %u", loop.sound_state,
                   state_name(loop.sound_state, {"idle", "correct", "wrong", "timeout", "waiting"}),
                   loop.sound_timer, loop.sound_code);
    put_state_line(states_row + 3, "light %u %-10s timer %4d   backlight %u", loop.light_state,
                   state_name(loop.light_state, {"off", "on"}), loop.light_timer, loop.backlight);
    put_state_line(states_row + 4, "cycle %llu",
                   static_cast<unsigned long long>(loop.cycle_number));
}

void num_pad_ui(int digit, sensor_input cover_input, std::uint8_t backlight) {
    const std::int32_t cover = cover_input & 1;
    const std::int32_t light = backlight;
    if (cover != cflag || light != lflag || digit != nflag) {
        cflag = cover;
        lflag = light;
        nflag = empty_value; // the next cycle without a digit leaves the highlight standing
        const int background = pad_background(backlight);
        gotoxy(1, 1);
        setcolor(background, cover != 0 ? colour_black : colour_bright_white);
        put_text("1  2  3 ");
        put_line_break();
        gotoxy(1, 2);
        put_text("4  5  6 ");
        put_line_break();
        gotoxy(1, 3);
        put_text("7  8  9 ");
        put_line_break();
        gotoxy(zero_column, zero_row);
        put_text("0");
        setcolor(background, colour_yellow);
        highlight_digit(digit);
    }
    console_attribute(plain_attribute);
}

void num_pad_forget() {
    cflag = 0;
    lflag = 0;
    nflag = 0;
}

void showState(const lock_status* status, std::uint8_t sound_code, const pw_buffer* buffer,
               sensor_input cover_input, sensor_input door_input) {
    console_attribute(plain_attribute);
    gotoxy(10, 10);
    show_lock_state(status);
    gotoxy(12, 11);
    show_level(cover_input);
    gotoxy(12, 12);
    show_level(door_input);
    gotoxy(40, 1);
    show_registered_code(buffer->registered);
    gotoxy(40, 2);
    show_entered_digits(buffer);
    sound_display(sound_code);
}

int sound_display(std::uint8_t code) {
    gotoxy(1, 14);
    console_attribute(plain_attribute);
    static constexpr const char* lines[] = {"Sound 1\n\a", "Sound 2\n\a\a", "Sound 3\n\a\a\a"};
    if (code >= 1 && code <= 3) {
        put_text(lines[code - 1]);
    }
    return 0;
}
