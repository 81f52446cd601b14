// The terminal itself on POSIX: raw input modes and giving them back on every way out, the
// signals that end, suspend, resume or resize the program, and the terminal's size.
#include "platform_posix.h"

#include "platform.h"

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <initializer_list>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

namespace {

// Kept for the whole process, because signal handlers must be able to give the terminal back.
struct terminal_state {
    termios saved_modes;
    bool raw;
    char restore_sequence[48];
    std::size_t restore_length;
};

terminal_state terminal{};
volatile std::sig_atomic_t pending_signal = 0;  // a signal that ends the program
volatile std::sig_atomic_t pending_suspend = 0; // Ctrl-Z
volatile std::sig_atomic_t pending_resume = 0;  // continued after a stop
volatile std::sig_atomic_t pending_resize = 0;  // the terminal's size changed

// Async-signal-safe: only write and tcsetattr.
void restore_terminal_now() {
    if (terminal.restore_length > 0) {
        [[maybe_unused]] ssize_t ignored =
            write(standard_output, terminal.restore_sequence, terminal.restore_length);
    }
    if (terminal.raw) {
        tcsetattr(standard_input, TCSADRAIN, &terminal.saved_modes);
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

extern "C" void on_resize_signal(int /*signal_number*/) {
    pending_resize = 1;
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
    install_handler(SIGWINCH, on_resize_signal);
    std::signal(SIGPIPE, SIG_IGN); // a closed reader shows as a failed write
    std::set_terminate(on_terminate);
}

bool enter_raw_mode() {
    if (isatty(standard_input) == 0) {
        return true; // keys come from a pipe or a file: no modes to change
    }
    if (tcgetattr(standard_input, &terminal.saved_modes) != 0) {
        std::perror("doorlock: cannot read the terminal's modes");
        return false;
    }
    termios raw = terminal.saved_modes;
    // No echo, no line editing, no flow control or CR translation; Ctrl-C still interrupts.
    raw.c_iflag &= ~static_cast<tcflag_t>(BRKINT | ICRNL | INPCK | ISTRIP | IXON);
    raw.c_lflag &= ~static_cast<tcflag_t>(ECHO | ICANON | IEXTEN);
    raw.c_cc[VMIN] = 1;
    raw.c_cc[VTIME] = 0;
    if (tcsetattr(standard_input, TCSANOW, &raw) != 0) {
        std::perror("doorlock: cannot set the terminal's modes");
        return false;
    }
    terminal.raw = true;
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

// Takes the terminal again after the program was stopped and continued: the shell may have
// changed its modes, written over the screen or the window changed its size meanwhile.
void resume() {
    if (terminal.raw || isatty(standard_input) != 0) {
        enter_raw_mode();
    }
    read_terminal_size();
    paint_flush();
}

// Ctrl-Z: gives the terminal back, stops, and takes it again when continued.
void suspend() {
    paint_flush();
    restore_terminal_now();
    terminal.raw = false;
    install_handler(SIGTSTP, SIG_DFL);
    std::raise(SIGTSTP); // returns once continued (or at once where stopping is not allowed)
    install_handler(SIGTSTP, on_suspend_signal);
    pending_resume = 0;
    resume();
}

bool terminal_open(int below_row) {
    keyboard_open();
    paint_open(below_row + 1);
    if (!enter_raw_mode()) {
        return false;
    }
    const int n = std::snprintf(terminal.restore_sequence, sizeof terminal.restore_sequence,
                                "\x1b[0m\x1b[?25h\x1b[%d;1H", below_row + 1);
    terminal.restore_length = static_cast<std::size_t>(n);
    install_handlers();
    read_terminal_size();
    return true;
}

void terminal_close() {
    paint_close();
    restore_terminal_now();
    terminal.raw = false;
    terminal.restore_length = 0;
}

void terminal_wait_for_key_until(std::uint32_t due_tick) {
    paint_flush();
    keyboard_wait_until(due_tick);
}

} // namespace

void handle_pending_signals() {
    const int signal_number = pending_signal;
    if (signal_number != 0) {
        terminal_close();
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
    if (pending_resize != 0) {
        pending_resize = 0;
        read_terminal_size();
        paint_flush();
    }
}

const platform_backend terminal_platform = {
    terminal_open,     terminal_close,       keyboard_key_waiting,
    keyboard_read_key, keyboard_clock_ticks, terminal_wait_for_key_until,
    paint_write,       paint_move,           paint_attribute,
    paint_cursor,      paint_clear,          paint_colour_bright_white,
    paint_flush,
};
