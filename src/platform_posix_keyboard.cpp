// The keyboard and the clock on a POSIX terminal: bytes from standard input split into key
// presses (an escape sequence or a UTF-8 character is one key), a monotonic millisecond clock, and
// waiting in ppoll (select where there is none) until a key arrives or the next cycle is due, so
// that an idle simulator costs next to no CPU.
#include "platform_posix.h"

#include "platform.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <poll.h>
#include <sys/select.h>
#include <unistd.h>

namespace {

using steady = std::chrono::steady_clock;

constexpr unsigned char escape = 0x1b;
// A lone ESC, or the start of a character, with nothing after it for this long is a key of its
// own. Long enough for a slow link to deliver the rest of a sequence (tmux waits as long); ESC is
// no command, so waiting costs nothing visible. A sequence that has begun (ESC [ or ESC O) waits
// for its last byte however long it takes, so that none of its bytes acts as a command.
constexpr std::uint32_t lone_key_timeout_ticks = 500;
#ifndef DOORLOCK_FIRST_TICK
#define DOORLOCK_FIRST_TICK 0
#endif
// The tick at which the clock starts: 0, or just below the wrap in the build the tests use to run
// across it.
constexpr std::uint32_t first_tick = DOORLOCK_FIRST_TICK;
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
    int watched_output; // standard output when it is no terminal (a pipe, a socket), else -1
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
        keys.ended = true; // end of file, the terminal is gone (EIO), or no input at all (EBADF)
    }
}

// Readable, or in a state that reading reports: the end, a hang-up, an error, a closed descriptor.
bool input_readable(const pollfd& ready) {
    if ((ready.revents & POLLNVAL) != 0) {
        keys.ended = true;
        return false;
    }
    return (ready.revents & (POLLIN | POLLHUP | POLLERR)) != 0;
}

// Whether the bytes waiting are the start of a key that time alone completes: a lone ESC or the
// first bytes of a UTF-8 character.
bool lone_start_waiting() {
    const std::size_t available = keys.end - keys.start;
    return (available == 1 && keys.bytes[keys.start] == escape) || keys.bytes[keys.start] >= 0xC2;
}

// Waits up to `wait_ns` for standard input (`ready[0]`), or another descriptor that asks for
// POLLIN (the signals' self-pipe), to become readable; the result and the `revents` as from poll.
// Descriptors that ask for nothing report only their error and hang-up conditions.
int wait_for_input(pollfd* ready, nfds_t count, long long wait_ns) {
#if (defined(__linux__) || defined(__FreeBSD__)) && !defined(DOORLOCK_POLL_FALLBACK)
    const timespec timeout{static_cast<time_t>(wait_ns / 1000000000),
                           static_cast<long>(wait_ns % 1000000000)};
    return ppoll(ready, count, &timeout, nullptr);
#else
    // No ppoll (macOS), or this path chosen with DOORLOCK_POLL_FALLBACK so that it is built and
    // tested where ppoll exists: select, whose timeout counts microseconds, and which macOS
    // supports on terminals, as its poll does not. A timeout in whole milliseconds (poll) cannot
    // end a wait on the due tick: rounded up, each wait ends as far past its tick as it began
    // after one, that lateness grows with each cycle's work until a wake falls into the next tick
    // and the cycle starts a millisecond late, so the period drifts above 10 ms.
    fd_set readable;
    FD_ZERO(&readable);
    FD_SET(standard_input, &readable);
    int highest = standard_input;
    for (nfds_t i = 1; i < count; ++i) {
        if (ready[i].fd >= 0 && (ready[i].events & POLLIN) != 0) {
            FD_SET(ready[i].fd, &readable);
            highest = std::max(highest, ready[i].fd);
        }
    }
    const long long wait_us = (wait_ns + 999) / 1000;
    timeval timeout{static_cast<time_t>(wait_us / 1000000),
                    static_cast<suseconds_t>(wait_us % 1000000)};
    const int result = select(highest + 1, &readable, nullptr, nullptr, &timeout);
    const bool closed = result < 0 && errno == EBADF;
    ready[0].revents =
        static_cast<short>(closed                                              ? POLLNVAL
                           : result > 0 && FD_ISSET(standard_input, &readable) ? POLLIN
                                                                               : 0);
    // The others as they are now: readable, or in an error or hang-up condition.
    const int others = count > 1 ? poll(ready + 1, count - 1, 0) : 0;
    return (closed ? 1 : result) + (others > 0 ? others : 0);
#endif
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
    if (!keys.ended && wait_for_input(&ready, 1, 0) > 0 && input_readable(ready)) {
        read_input();
    }
}

// Milliseconds since the clock's zero, counted in 64 bits.
std::uint64_t elapsed_ms() {
    return static_cast<std::uint64_t>(
        std::chrono::duration_cast<std::chrono::milliseconds>(steady::now() - keys.zero).count());
}

// Length of the next complete key press in the buffer, 0 when there is none yet.
std::size_t next_key_length() {
    const std::size_t available = keys.end - keys.start;
    if (available == 0) {
        return 0;
    }
    const bool stale = keys.partial_seen && lone_start_waiting() &&
                       keyboard_clock_ticks() - keys.partial_since >= lone_key_timeout_ticks;
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
    // A terminal that hangs up ends the input as well; a pipe's reader can go away alone.
    keys.watched_output = isatty(standard_output) != 0 ? -1 : standard_output;
}

bool keyboard_key_waiting() {
    handle_pending_signals();
    if (next_key_length() > 0) {
        return true;
    }
    fill_keyboard();
    if (paint_failed() || ending_signal_pending()) {
        keys.ended = true; // nobody sees the screen, or a signal ends the run: it ends as at Q
        keys.start = keys.end;
    }
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
    return ticks_since(elapsed_ms(), 0, first_tick);
}

void keyboard_wait_until(std::uint32_t due_tick) {
#ifndef DOORLOCK_BUSY_POLL
    handle_pending_signals();
    // A key already taken in is waiting; input not yet taken in ends the wait below at once.
    if (next_key_length() > 0 || keys.ended) {
        return;
    }
    // The deadline as a point on the steady clock, from tick differences: wrap-safe.
    const std::uint64_t now_ms = elapsed_ms();
    const std::uint32_t now_tick = ticks_since(now_ms, 0, first_tick);
    std::int32_t wait_ticks = ticks_until(due_tick, now_tick);
    if (keys.partial_seen && lone_start_waiting()) {
        wait_ticks = std::min(wait_ticks,
                              ticks_until(keys.partial_since + lone_key_timeout_ticks, now_tick));
    }
    if (wait_ticks <= 0) {
        return;
    }
    const auto deadline =
        keys.zero + std::chrono::milliseconds(now_ms + static_cast<std::uint64_t>(wait_ticks));
    const auto now = steady::now();
    if (deadline <= now) {
        return;
    }
    // One call however long the wait: a key, a signal (through its self-pipe) or the deadline
    // ends it. The output too, for its error and hang-up conditions alone: a reader that went away
    // (the pipe's other end closed) ends the run as a failed write would, also while nothing is
    // drawn. Signals are acted on by the next look at the keyboard, after the loop has run the
    // cycles due by then (a Ctrl-Z stops the program with its screen up to date).
    pollfd ready[3] = {{standard_input, POLLIN, 0},
                       {keys.watched_output, 0, 0},
                       {signal_wake_descriptor(), POLLIN, 0}};
    const int result = wait_for_input(
        ready, 3, std::chrono::duration_cast<std::chrono::nanoseconds>(deadline - now).count());
    drain_signal_wakes();
    if ((ready[1].revents & (POLLERR | POLLHUP)) != 0) {
        paint_output_gone((ready[1].revents & POLLERR) != 0 ? EPIPE : EIO);
    }
    if (result > 0 && input_readable(ready[0])) {
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
