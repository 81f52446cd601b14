// The platform layer on the Windows console: the console's modes and their way back, _kbhit and
// _getch from the C runtime, the performance counter for the ticks, and the wait between cycles,
// which sleeps on the console input and a waitable timer due at the start of the next cycle's
// millisecond. Painting is platform_windows_paint.cpp's.
#include "platform_windows.h"
#include "platform.h"

#include <algorithm>
#include <conio.h>
#include <cstdio>
#include <cstdlib>
#include <mmsystem.h>

// Windows 10 1803 and later; older systems refuse the flag, and the build headers may lack it.
#ifndef CREATE_WAITABLE_TIMER_HIGH_RESOLUTION
#define CREATE_WAITABLE_TIMER_HIGH_RESOLUTION 0x00000002
#endif

namespace {

// How long keys from a pipe or a file may wait unseen: one cycle of the loop.
constexpr std::int32_t keys_unseen_at_most = 10;

// The console this process runs on. Kept for the whole process, because the console control
// handler (Ctrl-C, closing the window) must be able to give it back.
struct console_state {
    HANDLE output;
    HANDLE input;
    bool output_is_console;
    bool input_is_console;
    WORD original_attribute;
    CONSOLE_CURSOR_INFO original_cursor;
    SHORT below_row;
    std::uint64_t start_count; // the performance counter at the clock's zero
    std::uint64_t per_second;  // the performance counter's frequency
    HANDLE cycle_timer;        // the waitable timer that ends a wait between cycles, or null
    bool timer_raised;         // the system timer runs at 1 ms for the older kind of timer
    bool seen_empty;           // the input held no key at performance counter `seen_empty_at`
    std::uint64_t seen_empty_at;
    bool restored;
};

console_state console{};

void restore_console() {
    if (console.restored) {
        return;
    }
    console.restored = true;
    std::fflush(stdout);
    if (console.output_is_console) {
        SetConsoleTextAttribute(console.output, console.original_attribute);
        CONSOLE_CURSOR_INFO cursor = console.original_cursor;
        cursor.bVisible = TRUE;
        SetConsoleCursorInfo(console.output, &cursor);
        SetConsoleCursorPosition(console.output, COORD{0, console.below_row});
    }
    if (console.timer_raised) {
        timeEndPeriod(1);
        console.timer_raised = false;
    }
    if (console.cycle_timer != nullptr) {
        CloseHandle(console.cycle_timer);
        console.cycle_timer = nullptr;
    }
}

BOOL WINAPI on_console_event(DWORD /*event*/) {
    restore_console();
    return FALSE; // the default handling ends the process
}

// Removes input events from the head of the queue that give no key (key releases, modifier
// presses, mouse, focus and size events), so that waiting on the input handle does not wake at
// once again for them. An event is removed only after _kbhit has said that no key is waiting
// while it already stood at the head, so no key press is lost.
[[maybe_unused]] void discard_events_without_keys() {
    for (;;) {
        INPUT_RECORD head{};
        DWORD count = 0;
        if (!PeekConsoleInputW(console.input, &head, 1, &count) || count == 0 || _kbhit() != 0) {
            return;
        }
        ReadConsoleInputW(console.input, &head, 1, &count);
    }
}

// The performance counter, a 64-bit count that neither stops nor overflows while the program runs
// (the C runtime's clock() gives up after 2^31 ms, 24.8 days).
std::uint64_t counter_now() {
    LARGE_INTEGER count{};
    QueryPerformanceCounter(&count);
    return static_cast<std::uint64_t>(count.QuadPart);
}

// Milliseconds since the clock's zero at performance counter `count`.
std::uint64_t elapsed_ms(std::uint64_t count) {
    return counter_milliseconds(count - console.start_count, console.per_second);
}

// The timer that ends the waits between cycles. The high-resolution kind fires at its due time
// to the tenth of a millisecond without changing the system's timer; where it is missing (before
// Windows 10 1803), the ordinary kind fires on the system timer's ticks, which are raised to 1 ms
// for the run (15.6 ms otherwise).
void create_cycle_timer() {
#ifndef DOORLOCK_LOW_RESOLUTION_TIMER
    console.cycle_timer = CreateWaitableTimerExW(
        nullptr, nullptr, CREATE_WAITABLE_TIMER_HIGH_RESOLUTION, TIMER_ALL_ACCESS);
    if (console.cycle_timer != nullptr) {
        return;
    }
#endif
    console.cycle_timer = CreateWaitableTimerW(nullptr, FALSE, nullptr);
    console.timer_raised = timeBeginPeriod(1) == TIMERR_NOERROR;
}

bool windows_open(int below_row) {
    LARGE_INTEGER per_second{};
    QueryPerformanceFrequency(&per_second);
    console.per_second = static_cast<std::uint64_t>(per_second.QuadPart);
    console.start_count = counter_now();
    console.output = GetStdHandle(STD_OUTPUT_HANDLE);
    console.input = GetStdHandle(STD_INPUT_HANDLE);
    DWORD mode = 0;
    console.output_is_console = GetConsoleMode(console.output, &mode) != 0;
    console.input_is_console = GetConsoleMode(console.input, &mode) != 0;
    console.below_row = static_cast<SHORT>(below_row);
    console.original_attribute = 7;
    CONSOLE_SCREEN_BUFFER_INFO info{};
    if (console.output_is_console && GetConsoleScreenBufferInfo(console.output, &info)) {
        console.original_attribute = info.wAttributes;
    }
    console.original_cursor = CONSOLE_CURSOR_INFO{25, TRUE};
    if (console.output_is_console) {
        GetConsoleCursorInfo(console.output, &console.original_cursor);
    }
    paint_open(console.output, console.output_is_console);
    create_cycle_timer();
    SetConsoleCtrlHandler(on_console_event, TRUE);
    return true;
}

bool windows_close() {
    paint_flush();
    restore_console();
    if (!console.output_is_console && (std::fflush(stdout) != 0 || std::ferror(stdout) != 0)) {
        std::fputs("doorlock: cannot write the screen\n", stderr);
        return false;
    }
    return true;
}

void note_input_empty() {
    console.seen_empty = true;
    console.seen_empty_at = counter_now();
}

// Whether the input was found to hold no key less than a millisecond ago, by _kbhit or by a wait
// that its timer ended. That counts as a look: a key that came since ends the next wait at once
// and is read in the same window. Under wine every look is a round trip to the console's host.
bool input_just_seen_empty() {
#ifdef DOORLOCK_BUSY_POLL
    return false; // the reference build looks every time
#else
    return console.seen_empty && counter_now() - console.seen_empty_at < console.per_second / 1000;
#endif
}

bool windows_key_waiting() {
    if (input_just_seen_empty()) {
        return false;
    }
    if (_kbhit() != 0) {
        return true;
    }
    note_input_empty();
    return false;
}

int windows_read_key() {
    console.seen_empty = false;
    const int first = _getch();
    // Arrows, function and paging keys come as 0 or 224 and a scan code; a double-byte character
    // as a lead and a trail byte. Either pair is one key press. Taken one by one, PgDn's scan code
    // would read as Q and the left arrow's as K.
    const bool pair = first == 0 || first == 224 ||
                      IsDBCSLeadByteEx(GetConsoleCP(), static_cast<BYTE>(first)) != 0;
    if (pair && _kbhit() != 0) {
        _getch();
        return key_no_command;
    }
    return first;
}

std::uint32_t windows_clock_ticks() {
    return ticks_since(elapsed_ms(counter_now()), 0);
}

// Sleeps until a key may be waiting or the performance counter reaches `due_count`, which lies
// after `now_count`: one wait however far off it is.
[[maybe_unused]] void sleep_until_count(std::uint64_t due_count, std::uint64_t now_count) {
    // The input first: when both are signalled, the key is not passed over.
    const DWORD handle_count = console.input_is_console ? 2 : 1;
    const HANDLE handles[2] = {console.input_is_console ? console.input : console.cycle_timer,
                               console.cycle_timer};
    // Due in 100 ns units from now, rounded up so that the wake is never early; negative means
    // relative to now.
    const std::uint64_t counts = due_count - now_count;
    const std::uint64_t units =
        counts / console.per_second * 10'000'000 +
        (counts % console.per_second * 10'000'000 + console.per_second - 1) / console.per_second;
    LARGE_INTEGER due{};
    due.QuadPart = -static_cast<LONGLONG>(units);
    if (console.cycle_timer != nullptr &&
        SetWaitableTimer(console.cycle_timer, &due, 0, nullptr, nullptr, FALSE) != 0) {
        // The next SetWaitableTimer resets the timer when the input ended the wait.
        const DWORD ended_by = WaitForMultipleObjects(handle_count, handles, FALSE, INFINITE);
        if (ended_by == WAIT_OBJECT_0 + handle_count - 1) {
            note_input_empty(); // the timer, with no input event waiting
        } else if (ended_by == WAIT_OBJECT_0) {
            discard_events_without_keys();
        }
        return;
    }
    // No timer: a timeout in whole milliseconds, rounded up.
    const DWORD ms = static_cast<DWORD>((units + 9'999) / 10'000);
    if (!console.input_is_console) {
        Sleep(ms);
    } else if (WaitForSingleObject(console.input, ms) == WAIT_OBJECT_0) {
        discard_events_without_keys();
    }
}

void windows_wait_for_key_until(std::uint32_t due_tick) {
    paint_flush();
#ifndef DOORLOCK_BUSY_POLL
    if (!input_just_seen_empty() && _kbhit() != 0) {
        return;
    }
    // The first count of the due tick's millisecond, from tick differences: wrap-safe.
    const std::uint64_t now_count = counter_now();
    const std::uint64_t now_ms = elapsed_ms(now_count);
    std::int32_t remaining = ticks_until(due_tick, ticks_since(now_ms, 0));
    if (remaining <= 0) {
        return;
    }
    if (!console.input_is_console) {
        // Keys from a pipe or a file end no wait: they are looked for once a cycle, however long
        // the loop would sleep, so that each is taken in the cycle it would be awake.
        remaining = std::min(remaining, keys_unseen_at_most);
    }
    const std::uint64_t due_ms = now_ms + static_cast<std::uint64_t>(remaining);
    const std::uint64_t due_count = console.start_count + due_ms / 1000 * console.per_second +
                                    (due_ms % 1000 * console.per_second + 999) / 1000;
    if (due_count > now_count) {
        sleep_until_count(due_count, now_count);
    }
#else
    (void)due_tick;
#endif
}

} // namespace

bool standard_output_open() {
    const HANDLE output = GetStdHandle(STD_OUTPUT_HANDLE);
    return output != nullptr && output != INVALID_HANDLE_VALUE;
}

const platform_backend terminal_platform = {
    windows_open,     windows_close,       windows_key_waiting,
    windows_read_key, windows_clock_ticks, windows_wait_for_key_until,
    paint_write,      paint_move,          paint_attribute,
    paint_cursor,     paint_clear,         paint_colour_bright_white,
    paint_flush,      paint_screen,
};
