// The keyboard and the clock on a POSIX terminal: bytes from standard input split into key
// presses (an escape sequence or a UTF-8 character is one key), a monotonic millisecond clock, and
// waiting in ppoll until a key arrives or the next cycle is due, so that an idle simulator costs
// next to no CPU.
#include "platform_posix.h"

#include "platform.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <poll.h>
#include <unistd.h>

namespace {

using steady = std::chrono::steady_clock;

constexpr unsigned char escape = 0x1b;
// The start of a sequence with nothing after it for this long is a key of its own (a lone ESC).
constexpr std::uint32_t sequence_timeout_ticks = 25;
// A sequence longer than this is cut into several keys rather than held back without end.
constexpr std::size_t longest_sequence = 32;
// What a reader sees when the input ends: it acts as Q.
constexpr int end_of_input_key = 'Q';

struct keyboard_state {
    unsigned char bytes[4096];
    std::size_t start;
    std::size_t end;
    bool ended;      // end of input, or the terminal went away
    bool seen_empty; // a wait ended finding nothing to read, at `seen_empty_at`
    steady::time_point seen_empty_at;
    bool partial_seen;           // the buffer ends in the start of a longer key
    std::uint32_t partial_since; // when that start was first seen
    steady::time_point zero;     // tick 0
};

keyboard_state keys{};

// Reads what standard input holds into the key buffer; call only when it is readable.
void read_input() {
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

// Looks at standard input without waiting and takes in what it holds. A wait that found nothing
// less than a millisecond ago counts as the look: a key that came since then ends the next wait
// at once and is read in the same window.
void fill_keyboard() {
    if (keys.seen_empty && steady::now() - keys.seen_empty_at < std::chrono::milliseconds(1)) {
        return;
    }
    keys.seen_empty = false;
    pollfd ready{standard_input, POLLIN, 0};
    if (!keys.ended && poll(&ready, 1, 0) > 0 && input_readable(ready)) {
        read_input();
    }
}

// Length of the next complete key press in the buffer, 0 when there is none yet.
std::size_t next_key_length() {
    const std::size_t available = keys.end - keys.start;
    if (available == 0) {
        return 0;
    }
    const bool stale =
        keys.partial_seen && keyboard_clock_ticks() - keys.partial_since >= sequence_timeout_ticks;
    const std::size_t length =
        key_press_length(keys.bytes + keys.start, available, !keys.ended && !stale);
    if (length == 0 && !keys.partial_seen) {
        keys.partial_seen = true;
        keys.partial_since = keyboard_clock_ticks();
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

void keyboard_open() {
    keys = keyboard_state{};
    keys.zero = steady::now();
}

bool keyboard_key_waiting() {
    handle_pending_signals();
    if (next_key_length() > 0) {
        return true;
    }
    fill_keyboard();
    return next_key_length() > 0 || (keys.ended && keys.start == keys.end);
}

int keyboard_read_key() {
    const std::size_t length = next_key_length();
    if (length == 0) {
        return end_of_input_key;
    }
    const unsigned char first = keys.bytes[keys.start];
    keys.start += length;
    keys.partial_seen = false;
    return length == 1 ? first : key_no_command;
}

std::uint32_t keyboard_clock_ticks() {
    const auto elapsed = steady::now() - keys.zero;
    return static_cast<std::uint32_t>(
        std::chrono::duration_cast<std::chrono::milliseconds>(elapsed).count());
}

void keyboard_wait_until(std::uint32_t due_tick) {
#ifndef DOORLOCK_BUSY_POLL
    handle_pending_signals();
    // A key already taken in is waiting; input not yet taken in ends the wait below at once.
    if (next_key_length() > 0 || keys.ended) {
        return;
    }
    auto deadline = keys.zero + std::chrono::milliseconds(due_tick);
    if (keys.partial_seen) {
        const auto stale_at =
            keys.zero + std::chrono::milliseconds(keys.partial_since + sequence_timeout_ticks);
        deadline = std::min(deadline, stale_at);
    }
    const auto now = steady::now();
    if (deadline <= now) {
        return;
    }
    pollfd ready{keys.ended ? -1 : standard_input, POLLIN, 0};
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
    } else if (result == 0) {
        keys.seen_empty = true;
        keys.seen_empty_at = steady::now();
    }
#else
    (void)due_tick;
    handle_pending_signals();
#endif
}
