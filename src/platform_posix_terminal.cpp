// The terminal itself on POSIX: raw input modes and giving them back on every way out (the signals
// that ask for it are in platform_posix_signals.cpp), suspending and resuming, and the terminal's
// size.
#include "platform_posix.h"

#include "platform.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <initializer_list>
#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

namespace {

// Kept for the whole process, because signal handlers must be able to give the terminal back.
struct terminal_state {
    termios saved_modes; // as found at the start: the ones given back, whatever happens between
    bool modes_saved;    // standard input is a terminal and its modes were saved
    bool raw;            // the raw modes are in force
    char restore_sequence[48];
    std::size_t restore_length;
};

terminal_state terminal{};

bool set_modes(const termios& modes) {
    while (tcsetattr(standard_input, TCSANOW, &modes) != 0) {
        if (errno != EINTR) {
            return false;
        }
    }
    return true;
}

// Whether standard output can take a few bytes now. When it cannot (a stalled link), what waits
// in the terminal's output queue is dropped, so that the way out never blocks.
bool output_takes_bytes_now() {
    pollfd ready{standard_output, POLLOUT, 0};
    if (poll(&ready, 1, 0) == 1 && (ready.revents & POLLOUT) != 0) {
        return true;
    }
    tcflush(standard_output, TCOFLUSH);
    return poll(&ready, 1, 0) == 1 && (ready.revents & POLLOUT) != 0;
}

// Gives the terminal back: plain attributes, a visible cursor below the screen, the saved modes,
// at once (the modes do not wait for output to drain). Async-signal-safe when `from_signal`:
// only poll, tcflush, write and tcsetattr, and no write that could block.
void restore_terminal_now(bool from_signal) {
    if (terminal.restore_length > 0 && !paint_failed() &&
        (!from_signal || output_takes_bytes_now())) {
        [[maybe_unused]] ssize_t ignored =
            write(standard_output, terminal.restore_sequence, terminal.restore_length);
    }
    if (terminal.raw) {
        set_modes(terminal.saved_modes);
        terminal.raw = false;
    }
}

bool save_modes() {
    if (isatty(standard_input) == 0) {
        return true; // keys come from a pipe or a file: no modes to change
    }
    if (tcgetattr(standard_input, &terminal.saved_modes) != 0) {
        std::perror("doorlock: cannot read the terminal's modes");
        return false;
    }
    terminal.modes_saved = true;
    return true;
}

// The raw modes, made from the saved ones.
bool enter_raw_mode() {
    if (!terminal.modes_saved) {
        return true;
    }
    termios raw = terminal.saved_modes;
    // No echo, no line editing, no flow control or CR translation; Ctrl-C still interrupts.
    raw.c_iflag &= ~static_cast<tcflag_t>(BRKINT | ICRNL | INPCK | ISTRIP | IXON);
    raw.c_lflag &= ~static_cast<tcflag_t>(ECHO | ICANON | IEXTEN);
    raw.c_cc[VMIN] = 1;
    raw.c_cc[VTIME] = 0;
    terminal.raw = true; // before the change, so that a signal in between still gives them back
    if (!set_modes(raw)) {
        terminal.raw = false;
        return false;
    }
    return true;
}

bool descriptor_open(int descriptor) {
    return fcntl(descriptor, F_GETFD) != -1 || errno != EBADF;
}

// Terminals known to have no cursor addressing.
bool cannot_place_cursor(const char* term) {
    for (const char* name : {"dumb", "unknown", "emacs", "glasstty", "lpr", "printer"}) {
        if (std::strcmp(term, name) == 0) {
            return true;
        }
    }
    return false;
}

// Whether the program can run on these standard streams; says why not on stderr.
bool streams_usable() {
    if (!descriptor_open(standard_input)) {
        std::fputs("doorlock: standard input is closed: no keys can come\n", stderr);
        return false;
    }
    if (!descriptor_open(standard_output)) {
        std::fputs("doorlock: standard output is closed: nothing can be shown\n", stderr);
        return false;
    }
    if (isatty(standard_output) != 0) {
        const char* term = std::getenv("TERM");
        if (term == nullptr || *term == '\0') {
            std::fputs("doorlock: TERM is not set, so the terminal's kind is unknown\n", stderr);
            return false;
        }
        if (cannot_place_cursor(term)) {
            std::fprintf(stderr, "doorlock: TERM=%s: this terminal cannot place the cursor\n",
                         term);
            return false;
        }
    }
    return true;
}

// Tells the painter how large the terminal is now.
void read_terminal_size() {
    winsize size{};
    if (ioctl(standard_output, TIOCGWINSZ, &size) == 0) {
        paint_terminal_size(size.ws_col, size.ws_row);
    } else {
        paint_terminal_size(0, 0); // not a terminal: nothing to fit
    }
}

bool terminal_open(int below_row) {
    if (!streams_usable()) {
        return false;
    }
    keyboard_open();
    paint_open(below_row + 1);
    if (!save_modes()) {
        return false;
    }
    const int n = std::snprintf(terminal.restore_sequence, sizeof terminal.restore_sequence,
                                "\x1b[0m\x1b[?25h\x1b[%d;1H", below_row + 1);
    terminal.restore_length = static_cast<std::size_t>(n);
    signals_open(restore_terminal_now); // before raw mode: none of it without the handlers
    if (!enter_raw_mode()) {
        std::perror("doorlock: cannot set the terminal's modes");
        terminal.restore_length = 0;
        return false;
    }
    read_terminal_size();
    return true;
}

bool terminal_close() {
    const int ending = ending_signal();
    if (ending == 0) {
        paint_close();
    }
    restore_terminal_now(ending != 0);
    terminal.restore_length = 0;
    if (ending != 0) {
        std::signal(ending, SIG_DFL);
        std::raise(ending); // the run ended for this signal: so does the process
        std::_Exit(128 + ending);
    }
    if (paint_failed()) {
        std::fprintf(stderr, "doorlock: cannot write the screen: %s\n",
                     std::strerror(paint_failure()));
        return false;
    }
    return true;
}

void terminal_wait_for_key_until(std::uint32_t due_tick) {
    paint_flush();
    keyboard_wait_until(due_tick);
}

// Takes the terminal again after the program was continued (after a stop, or a SIGCONT alone):
// the shell may have changed its modes, written over the screen or resized it meanwhile. The modes
// saved at the start stay the ones given back.
void terminal_resume() {
    enter_raw_mode();
    read_terminal_size();
    paint_flush();
}

// Ctrl-Z: gives the terminal back, stops, and takes it again when continued.
void terminal_suspend() {
    paint_flush();
    restore_terminal_now(false);
    stop_until_continued();
    terminal_resume();
}

void terminal_resized() {
    read_terminal_size();
    paint_flush();
}

} // namespace

void handle_pending_signals() {
    if (take_request(signal_request::suspend)) {
        terminal_suspend();
    }
    if (take_request(signal_request::resume)) {
        terminal_resume();
    }
    if (take_request(signal_request::resize)) {
        terminal_resized();
    }
}

bool standard_output_open() {
    return descriptor_open(standard_output);
}

const platform_backend terminal_platform = {
    terminal_open,     terminal_close,       keyboard_key_waiting,
    keyboard_read_key, keyboard_clock_ticks, terminal_wait_for_key_until,
    paint_write,       paint_move,           paint_attribute,
    paint_cursor,      paint_clear,          paint_colour_bright_white,
    paint_flush,       paint_screen,
};
