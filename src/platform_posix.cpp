// The platform layer on POSIX terminals: raw keyboard through termios, output as ECMA-48
// sequences gathered into one write per flush, a monotonic millisecond clock, and waiting in
// ppoll so that an idle simulator costs next to no CPU.
#include "platform.h"

#include <cerrno>
#include <chrono>
#include <clocale>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <iconv.h>
#include <langinfo.h>
#include <poll.h>
#include <strings.h>
#include <termios.h>
#include <unistd.h>

namespace {

using steady = std::chrono::steady_clock;

constexpr int standard_input = 0;
constexpr int standard_output = 1;
constexpr unsigned char escape = 0x1b;
// The start of a sequence with nothing after it for this long is a key of its own (a lone ESC).
constexpr std::uint32_t sequence_timeout_ticks = 25;
// A sequence longer than this is cut into several keys rather than held back without end.
constexpr std::size_t longest_sequence = 32;
// What a reader sees when the input ends: it acts as Q.
constexpr int end_of_input_key = 'Q';

struct keyboard {
    unsigned char bytes[4096];
    std::size_t start;
    std::size_t end;
    bool ended;                  // end of input, or the terminal went away
    bool seen_empty;             // a wait just ended finding nothing to read: no need to look
    bool partial_seen;           // the buffer ends in the start of a longer key
    std::uint32_t partial_since; // when that start was first seen
};

struct screen_stream {
    char bytes[16384];
    std::size_t length;
    int column; // where the terminal's cursor is
    int row;
    int want_column; // where the next text goes
    int want_row;
    std::uint16_t attribute;
    std::uint16_t want_attribute;
    bool attribute_known;
    bool position_known;
    bool cursor_hidden;
    bool dead; // writing failed for good: nobody reads the output any more
};

// What the screen shows, so that it can be painted again after the program was suspended.
constexpr int shadow_columns = 80;
constexpr int shadow_rows = 25;

struct shadow_cell {
    char32_t character; // 0: nothing written here since the last clear
    std::uint16_t attribute;
};

// The console this process runs on. Kept for the whole process, because signal handlers must be
// able to give the terminal back.
struct console_state {
    termios saved_modes;
    bool raw;
    keyboard keys;
    screen_stream out;
    shadow_cell shadow[shadow_rows][shadow_columns];
    iconv_t to_euc_kr;
    bool euc_kr;
    steady::time_point zero;
    char restore_sequence[48];
    std::size_t restore_length;
};

console_state console{};
volatile std::sig_atomic_t pending_signal = 0;  // a signal that ends the program
volatile std::sig_atomic_t pending_suspend = 0; // Ctrl-Z
volatile std::sig_atomic_t pending_resume = 0;  // continued after a stop

// ---- giving the terminal back ----

// Async-signal-safe: only write and tcsetattr.
void restore_terminal_now() {
    if (console.restore_length > 0) {
        [[maybe_unused]] ssize_t ignored =
            write(standard_output, console.restore_sequence, console.restore_length);
    }
    if (console.raw) {
        tcsetattr(standard_input, TCSADRAIN, &console.saved_modes);
    }
}

extern "C" void on_fatal_signal(int signal_number) {
    restore_terminal_now();
    std::signal(signal_number, SIG_DFL);
    std::raise(signal_number);
}

extern "C" void on_ending_signal(int signal_number) {
    pending_signal = signal_number;
}

extern "C" void on_suspend_signal(int /*signal_number*/) {
    pending_suspend = 1;
}

extern "C" void on_resume_signal(int /*signal_number*/) {
    pending_resume = 1;
}

[[noreturn]] void on_terminate() {
    restore_terminal_now();
    std::abort();
}

void install_handler(int signal_number, void (*handler)(int), int flags = 0) {
    struct sigaction action {};
    action.sa_handler = handler;
    sigemptyset(&action.sa_mask);
    action.sa_flags = flags;
    sigaction(signal_number, &action, nullptr);
}

void install_handlers() {
    for (int signal_number : {SIGINT, SIGTERM, SIGHUP, SIGQUIT}) {
        install_handler(signal_number, on_ending_signal);
    }
    for (int signal_number : {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT}) {
        install_handler(signal_number, on_fatal_signal, static_cast<int>(SA_RESETHAND));
    }
    install_handler(SIGTSTP, on_suspend_signal);
    install_handler(SIGCONT, on_resume_signal);
    std::signal(SIGPIPE, SIG_IGN); // a closed reader shows as a failed write
    std::set_terminate(on_terminate);
}

bool enter_raw_mode() {
    if (isatty(standard_input) == 0) {
        return true; // keys come from a pipe or a file: no modes to change
    }
    if (tcgetattr(standard_input, &console.saved_modes) != 0) {
        std::perror("doorlock: cannot read the terminal's modes");
        return false;
    }
    termios raw = console.saved_modes;
    // No echo, no line editing, no flow control or CR translation; Ctrl-C still interrupts.
    raw.c_iflag &= ~static_cast<tcflag_t>(BRKINT | ICRNL | INPCK | ISTRIP | IXON);
    raw.c_lflag &= ~static_cast<tcflag_t>(ECHO | ICANON | IEXTEN);
    raw.c_cc[VMIN] = 1;
    raw.c_cc[VTIME] = 0;
    if (tcsetattr(standard_input, TCSANOW, &raw) != 0) {
        std::perror("doorlock: cannot set the terminal's modes");
        return false;
    }
    console.raw = true;
    return true;
}

void choose_encoding() {
    std::setlocale(LC_ALL, "");
    const char* charset = nl_langinfo(CODESET);
    for (const char* korean : {"EUC-KR", "EUCKR", "CP949", "UHC"}) {
        if (strcasecmp(charset, korean) == 0) {
            console.to_euc_kr = iconv_open("CP949", "UTF-8");
            console.euc_kr = console.to_euc_kr != reinterpret_cast<iconv_t>(-1);
            return;
        }
    }
}

// ---- output ----

void write_all(const char* data, std::size_t length) {
    screen_stream& out = console.out;
    while (length > 0 && !out.dead) {
        const ssize_t written = write(standard_output, data, length);
        if (written > 0) {
            data += written;
            length -= static_cast<std::size_t>(written);
        } else if (written < 0 && errno == EINTR) {
            continue;
        } else if (written < 0 && errno == EAGAIN) {
            pollfd ready{standard_output, POLLOUT, 0};
            poll(&ready, 1, 100);
        } else {
            out.dead = true;
        }
    }
}

void flush_bytes() {
    write_all(console.out.bytes, console.out.length);
    console.out.length = 0;
}

// Makes room for `length` more bytes in the buffer; false when they can never fit.
bool make_room(std::size_t length) {
    if (console.out.length + length > sizeof console.out.bytes) {
        flush_bytes();
    }
    return length <= sizeof console.out.bytes;
}

void emit(const char* data, std::size_t length) {
    if (!make_room(length)) {
        write_all(data, length);
        return;
    }
    std::memcpy(console.out.bytes + console.out.length, data, length);
    console.out.length += length;
}

void emit(const char* text) {
    emit(text, std::strlen(text));
}

// Text without line breaks, in the terminal's character set.
void emit_text(const char* text, std::size_t length) {
    screen_stream& out = console.out;
    if (!console.euc_kr || !make_room(length)) {
        emit(text, length);
        return;
    }
    // EUC-KR never takes more bytes than UTF-8 for the same text.
    char* in = const_cast<char*>(text);
    std::size_t in_left = length;
    char* to = out.bytes + out.length;
    std::size_t to_left = sizeof out.bytes - out.length;
    while (in_left > 0 && to_left > 0) {
        if (iconv(console.to_euc_kr, &in, &in_left, &to, &to_left) ==
            static_cast<std::size_t>(-1)) {
            if (errno == E2BIG) {
                break;
            }
            *to++ = '?'; // not representable: one mark, then go on after the byte
            --to_left;
            ++in;
            --in_left;
        }
    }
    out.length = static_cast<std::size_t>(to - out.bytes);
}

// Columns a character takes on the terminal: two for Hangul and other wide East Asian forms.
int column_width(std::uint32_t code_point) {
    const bool wide = (code_point >= 0x1100 && code_point <= 0x115F) ||
                      (code_point >= 0x2E80 && code_point <= 0xA4CF) ||
                      (code_point >= 0xAC00 && code_point <= 0xD7A3) ||
                      (code_point >= 0xF900 && code_point <= 0xFAFF) ||
                      (code_point >= 0xFE30 && code_point <= 0xFE4F) ||
                      (code_point >= 0xFF00 && code_point <= 0xFF60) ||
                      (code_point >= 0xFFE0 && code_point <= 0xFFE6);
    return wide ? 2 : 1;
}

// Follows the terminal's cursor over text that has been written, and keeps what it shows.
void record_text(const char* text, std::size_t length) {
    screen_stream& out = console.out;
    for (std::size_t i = 0; i < length;) {
        const auto byte = static_cast<unsigned char>(text[i]);
        if (byte == '\n') {
            out.row += 1;
            out.column = 0;
            ++i;
            continue;
        }
        if (byte == '\r') {
            out.column = 0;
            ++i;
            continue;
        }
        if (byte < 0x20 || byte == 0x7f) {
            ++i; // the bell and other controls move nothing
            continue;
        }
        const std::size_t n = byte < 0x80    ? 1
                              : byte >= 0xF0 ? 4
                              : byte >= 0xE0 ? 3
                              : byte >= 0xC0 ? 2
                                             : 1;
        std::uint32_t code_point = n == 1 ? byte : byte & (0x7Fu >> n);
        for (std::size_t k = 1; k < n && i + k < length; ++k) {
            code_point = (code_point << 6) | (static_cast<unsigned char>(text[i + k]) & 0x3Fu);
        }
        const int width = column_width(code_point);
        if (out.row >= 0 && out.row < shadow_rows && out.column >= 0 &&
            out.column + width <= shadow_columns) {
            console.shadow[out.row][out.column] = {code_point, out.attribute};
            if (width == 2) {
                console.shadow[out.row][out.column + 1] = {0, out.attribute};
            }
        }
        out.column += width;
        i += n;
    }
}

void forget_shadow(std::uint16_t attribute) {
    for (auto& line : console.shadow) {
        for (shadow_cell& cell : line) {
            cell = {0, attribute};
        }
    }
}

// Sends the cursor move and attribute change that the next text needs, and nothing redundant.
void settle_attribute() {
    screen_stream& out = console.out;
    if (!out.attribute_known || out.want_attribute != out.attribute) {
        char sequence[16];
        emit(sequence, sgr_sequence(out.want_attribute, sequence));
        out.attribute = out.want_attribute;
        out.attribute_known = true;
    }
}

void settle_position() {
    screen_stream& out = console.out;
    if (out.position_known && out.want_column == out.column && out.want_row == out.row) {
        return;
    }
    char sequence[24];
    if (out.want_column == 0 && out.want_row == 0) {
        emit("\x1b[H");
    } else {
        const int n = std::snprintf(sequence, sizeof sequence, "\x1b[%d;%dH", out.want_row + 1,
                                    out.want_column + 1);
        emit(sequence, static_cast<std::size_t>(n));
    }
    out.column = out.want_column;
    out.row = out.want_row;
    out.position_known = true;
}

std::size_t encode_utf8(char32_t c, char* out) {
    if (c < 0x80) {
        out[0] = static_cast<char>(c);
        return 1;
    }
    if (c < 0x800) {
        out[0] = static_cast<char>(0xC0 | (c >> 6));
        out[1] = static_cast<char>(0x80 | (c & 0x3F));
        return 2;
    }
    if (c < 0x10000) {
        out[0] = static_cast<char>(0xE0 | (c >> 12));
        out[1] = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out[2] = static_cast<char>(0x80 | (c & 0x3F));
        return 3;
    }
    out[0] = static_cast<char>(0xF0 | (c >> 18));
    out[1] = static_cast<char>(0x80 | ((c >> 12) & 0x3F));
    out[2] = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out[3] = static_cast<char>(0x80 | (c & 0x3F));
    return 4;
}

// Paints the whole screen again from what it showed, on a terminal whose content is unknown.
void repaint_screen() {
    screen_stream& out = console.out;
    const int column = out.want_column;
    const int row = out.want_row;
    const std::uint16_t attribute = out.want_attribute;
    out.attribute_known = false;
    out.position_known = false;
    out.want_attribute = 15;
    settle_attribute();
    emit("\x1b[2J");
    for (int r = 0; r < shadow_rows; ++r) {
        for (int c = 0; c < shadow_columns; ++c) {
            const shadow_cell& cell = console.shadow[r][c];
            if (cell.character == 0) {
                continue;
            }
            out.want_column = c;
            out.want_row = r;
            out.want_attribute = cell.attribute;
            settle_attribute();
            settle_position();
            char text[4];
            emit_text(text, encode_utf8(cell.character, text));
            out.column += column_width(cell.character);
        }
    }
    if (out.cursor_hidden) {
        emit("\x1b[?25l"); // the terminal's cursor may have been shown meanwhile
    }
    out.want_column = column;
    out.want_row = row;
    out.want_attribute = attribute;
    flush_bytes();
}

// Takes the terminal again after the program was stopped and continued: the shell may have
// changed its modes and written over the screen.
void resume() {
    if (console.raw || isatty(standard_input) != 0) {
        enter_raw_mode();
    }
    repaint_screen();
}

// Ctrl-Z: gives the terminal back, stops, and takes it again when continued.
void suspend() {
    flush_bytes();
    restore_terminal_now();
    console.raw = false;
    install_handler(SIGTSTP, SIG_DFL);
    std::raise(SIGTSTP); // returns once continued (or at once where stopping is not allowed)
    install_handler(SIGTSTP, on_suspend_signal);
    pending_resume = 0;
    resume();
}

// Acts on the signals that arrived since the last look: ends the process the way an ending
// signal asks, after giving the terminal back, or suspends and resumes.
void handle_pending_signals() {
    const int signal_number = pending_signal;
    if (signal_number != 0) {
        console_close();
        install_handler(signal_number, SIG_DFL);
        std::raise(signal_number);
        std::_Exit(128 + signal_number);
    }
    if (pending_suspend != 0) {
        pending_suspend = 0;
        suspend();
    }
    if (pending_resume != 0) {
        pending_resume = 0;
        resume();
    }
}

// ---- keyboard ----

// Reads what standard input holds into the key buffer; call only when it is readable.
void read_input() {
    keyboard& keys = console.keys;
    if (keys.ended) {
        return;
    }
    if (keys.start == keys.end) {
        keys.start = keys.end = 0;
    } else if (keys.end == sizeof keys.bytes) {
        std::memmove(keys.bytes, keys.bytes + keys.start, keys.end - keys.start);
        keys.end -= keys.start;
        keys.start = 0;
    }
    if (keys.end == sizeof keys.bytes) {
        return;
    }
    const ssize_t got = read(standard_input, keys.bytes + keys.end, sizeof keys.bytes - keys.end);
    if (got > 0) {
        keys.end += static_cast<std::size_t>(got);
    } else if (got == 0 || (errno != EINTR && errno != EAGAIN)) {
        keys.ended = true; // end of file, or the terminal is gone (EIO)
    }
}

bool input_readable(const pollfd& ready) {
    return (ready.revents & (POLLIN | POLLHUP | POLLERR)) != 0;
}

// Looks at standard input without waiting and takes in what it holds.
void fill_keyboard() {
    if (console.keys.seen_empty) {
        console.keys.seen_empty = false;
        return;
    }
    pollfd ready{standard_input, POLLIN, 0};
    if (!console.keys.ended && poll(&ready, 1, 0) > 0 && input_readable(ready)) {
        read_input();
    }
}

// Length of the next complete key press in the buffer, 0 when there is none yet.
std::size_t next_key_length() {
    keyboard& keys = console.keys;
    const std::size_t available = keys.end - keys.start;
    if (available == 0) {
        return 0;
    }
    const bool stale =
        keys.partial_seen && clock_ticks() - keys.partial_since >= sequence_timeout_ticks;
    const std::size_t length =
        key_press_length(keys.bytes + keys.start, available, !keys.ended && !stale);
    if (length == 0 && !keys.partial_seen) {
        keys.partial_seen = true;
        keys.partial_since = clock_ticks();
    }
    return length;
}

std::size_t csi_length(const unsigned char* bytes, std::size_t length, bool more_may_come) {
    // X10 mouse report: ESC [ M and three raw bytes.
    if (length >= 3 && bytes[2] == 'M') {
        return length >= 6 ? 6 : (more_may_come ? 0 : length);
    }
    for (std::size_t i = 2; i < length; ++i) {
        if (bytes[i] >= 0x40 && bytes[i] <= 0x7E) {
            return i + 1; // final byte
        }
        if (bytes[i] < 0x20 || bytes[i] > 0x3F || i + 1 >= longest_sequence) {
            return i; // malformed or overlong: the sequence ends before this byte
        }
    }
    return more_may_come ? 0 : length;
}

std::size_t utf8_length(const unsigned char* bytes, std::size_t length, bool more_may_come) {
    const unsigned char lead = bytes[0];
    const std::size_t needed = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : 2;
    for (std::size_t i = 1; i < needed; ++i) {
        if (i >= length) {
            return more_may_come ? 0 : i;
        }
        if ((bytes[i] & 0xC0) != 0x80) {
            return i; // broken character: what came so far is one key
        }
    }
    return needed;
}

} // namespace

// ---- the operations the simulator uses ----

std::size_t key_press_length(const unsigned char* bytes, std::size_t length, bool more_may_come) {
    if (length == 0) {
        return 0;
    }
    const unsigned char first = bytes[0];
    if (first == escape) {
        if (length == 1) {
            return more_may_come ? 0 : 1;
        }
        const unsigned char second = bytes[1];
        if (second == '[') {
            return csi_length(bytes, length, more_may_come);
        }
        if (second == 'O') {
            return length >= 3 ? 3 : (more_may_come ? 0 : length);
        }
        if (second >= 0x20 && second <= 0x7E) {
            return 2; // Alt with a key
        }
        return 1; // a lone ESC before another control or ESC
    }
    if (first >= 0xC2 && first <= 0xF4) {
        return utf8_length(bytes, length, more_may_come);
    }
    return 1;
}

std::size_t sgr_sequence(std::uint16_t attribute, char* out) {
    // Console colours keep blue in bit 0 and red in bit 2; ANSI colours the other way round.
    const auto ansi = [](unsigned colour) {
        return (colour & 0b1010u) | ((colour & 1u) << 2) | ((colour >> 2) & 1u);
    };
    const unsigned foreground = ansi(attribute & 15u);
    const unsigned background = ansi((attribute >> 4) & 15u);
    const unsigned fg_code = ((foreground & 8u) != 0 ? 90u : 30u) + (foreground & 7u);
    const unsigned bg_code = ((background & 8u) != 0 ? 100u : 40u) + (background & 7u);
    const int n = std::snprintf(out, 16, "\x1b[%u;%um", fg_code, bg_code);
    return static_cast<std::size_t>(n);
}

bool console_open(int below_row) {
    console.to_euc_kr = reinterpret_cast<iconv_t>(-1);
    console.zero = steady::now();
    choose_encoding();
    if (!enter_raw_mode()) {
        return false;
    }
    const int n = std::snprintf(console.restore_sequence, sizeof console.restore_sequence,
                                "\x1b[0m\x1b[?25h\x1b[%d;1H", below_row + 1);
    console.restore_length = static_cast<std::size_t>(n);
    install_handlers();
    emit("\x1b[0m"); // start from plain attributes, whatever the shell left
    return true;
}

void console_close() {
    flush_bytes();
    restore_terminal_now();
    console.raw = false;
    console.restore_length = 0;
    if (console.euc_kr) {
        iconv_close(console.to_euc_kr);
        console.euc_kr = false;
    }
}

bool key_waiting() {
    handle_pending_signals();
    if (next_key_length() > 0) {
        return true;
    }
    fill_keyboard();
    return next_key_length() > 0 || (console.keys.ended && console.keys.start == console.keys.end);
}

int read_key() {
    keyboard& keys = console.keys;
    const std::size_t length = next_key_length();
    if (length == 0) {
        return end_of_input_key;
    }
    const unsigned char first = keys.bytes[keys.start];
    keys.start += length;
    keys.partial_seen = false;
    return length == 1 ? first : key_no_command;
}

std::uint32_t clock_ticks() {
    const auto elapsed = steady::now() - console.zero;
    return static_cast<std::uint32_t>(
        std::chrono::duration_cast<std::chrono::milliseconds>(elapsed).count());
}

void wait_for_key_until(std::uint32_t due_tick) {
    flush_bytes();
#ifndef DOORLOCK_BUSY_POLL
    handle_pending_signals();
    // A key already taken in is waiting; input not yet taken in ends the wait below at once.
    if (next_key_length() > 0 || console.keys.ended) {
        return;
    }
    auto deadline = console.zero + std::chrono::milliseconds(due_tick);
    if (console.keys.partial_seen) {
        const auto stale_at = console.zero + std::chrono::milliseconds(console.keys.partial_since +
                                                                       sequence_timeout_ticks);
        deadline = std::min(deadline, stale_at);
    }
    const auto now = steady::now();
    if (deadline <= now) {
        return;
    }
    pollfd ready{console.keys.ended ? -1 : standard_input, POLLIN, 0};
    const auto wait = std::chrono::duration_cast<std::chrono::nanoseconds>(deadline - now).count();
#if defined(__linux__) || defined(__FreeBSD__)
    const timespec timeout{static_cast<time_t>(wait / 1000000000),
                           static_cast<long>(wait % 1000000000)};
    const int result = ppoll(&ready, 1, &timeout, nullptr);
#else
    // No ppoll (macOS): whole milliseconds, rounded up so that the wait never ends early.
    const int result = poll(&ready, 1, static_cast<int>((wait + 999999) / 1000000));
#endif
    handle_pending_signals();
    if (result > 0 && input_readable(ready)) {
        read_input();
    } else {
        console.keys.seen_empty = result == 0;
    }
#else
    (void)due_tick;
    handle_pending_signals();
#endif
}

void console_write(const char* text, std::size_t length) {
    settle_attribute();
    settle_position();
    std::size_t start = 0;
    for (std::size_t i = 0; i < length; ++i) {
        if (text[i] == '\n') {
            emit_text(text + start, i - start);
            emit("\r\n");
            start = i + 1;
        }
    }
    emit_text(text + start, length - start);
    record_text(text, length);
    console.out.want_column = console.out.column;
    console.out.want_row = console.out.row;
}

void console_move(int column, int row) {
    console.out.want_column = column;
    console.out.want_row = row;
}

void console_attribute(std::uint16_t attribute) {
    console.out.want_attribute = attribute;
}

void console_cursor(bool visible, unsigned /*size*/) {
    if (console.out.cursor_hidden == !visible) {
        return;
    }
    emit(visible ? "\x1b[?25h" : "\x1b[?25l");
    console.out.cursor_hidden = !visible;
}

void console_clear() {
    emit("\x1b[2J\x1b[H");
    forget_shadow(7);
    console.out.column = console.out.row = 0;
    console.out.want_column = console.out.want_row = 0;
    console.out.position_known = true;
}

void console_colour_bright_white() {
    // The whole console takes the new colours and keeps its text.
    for (auto& line : console.shadow) {
        for (shadow_cell& cell : line) {
            cell.attribute = 15;
        }
    }
    console.out.want_attribute = 15;
    repaint_screen();
}

void console_flush() {
    settle_attribute();
    settle_position();
    flush_bytes();
}
