// The terminal itself on POSIX: raw input modes and giving them back on every way out, the
// signals that end, suspend, resume or resize the program, and the terminal's size.
#include "platform_posix.h"

#include "platform.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <fcntl.h>
#include <initializer_list>
#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <time.h>
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
volatile std::sig_atomic_t pending_ending = 0;  // a signal that ends the run, not yet acted on
volatile std::sig_atomic_t writing = 0;         // the screen is being written to the terminal
volatile std::sig_atomic_t pending_suspend = 0; // Ctrl-Z
volatile std::sig_atomic_t pending_resume = 0;  // continued after a stop, or sent SIGCONT
volatile std::sig_atomic_t pending_resize = 0;  // the terminal's size changed
// The self-pipe through which a signal ends a wait for keys: a flag alone set just before the wait
// began would go unseen for as long as the wait lasts, which may be hours while nothing is due.
int wake_pipe[2] = {-1, -1};

// Async-signal-safe: one byte into the pipe, errno as it was.
void wake_the_wait() {
    if (wake_pipe[1] >= 0) {
        const int saved = errno;
        const char byte = 0;
        [[maybe_unused]] const ssize_t ignored = write(wake_pipe[1], &byte, 1);
        errno = saved;
    }
}

// Creates the self-pipe, both ends non-blocking (a full pipe already holds a wake) and closed in
// any program started from here.
void open_wake_pipe() {
    if (wake_pipe[0] >= 0 || pipe(wake_pipe) != 0) {
        return;
    }
    for (int end : wake_pipe) {
        fcntl(end, F_SETFL, fcntl(end, F_GETFL) | O_NONBLOCK);
        fcntl(end, F_SETFD, FD_CLOEXEC);
    }
}

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

// Gives the terminal back here and now, whatever the output does, then ends the way the signal
// asks.
void end_at_once(int signal_number) {
    restore_terminal_now(true);
    std::signal(signal_number, SIG_DFL);
    std::raise(signal_number); // delivered as soon as the handler returns
}

// A crash ends the program at once.
extern "C" void on_fatal_signal(int signal_number) {
    end_at_once(signal_number);
}

// How long a write of the screen may make no progress once an ending signal has come: then it
// is interrupted, and the screen is written no more.
constexpr unsigned stalled_write_seconds = 1;

// A signal that ends the program (Ctrl-C, kill, hang-up): the run ends in its next look at the
// keyboard, within a cycle, so that a recording and a trace are completed; the process then ends
// as the signal asks. From now on the screen is written no more. A write in progress is
// interrupted by this signal (no SA_RESTART) or, should it have begun just after, by an alarm
// soon: a terminal that has stopped reading cannot hold the end back. A second ending signal
// ends the process at once.
extern "C" void on_ending_signal(int signal_number) {
    if (pending_ending != 0) {
        end_at_once(signal_number);
        return;
    }
    pending_ending = signal_number;
    wake_the_wait();
    if (writing != 0) {
        alarm(stalled_write_seconds);
    }
}

// Only interrupts a write that stalled after an ending signal.
extern "C" void on_alarm_signal(int /*signal_number*/) {}

extern "C" void on_suspend_signal(int /*signal_number*/) {
    pending_suspend = 1;
    wake_the_wait();
}

extern "C" void on_resume_signal(int /*signal_number*/) {
    pending_resume = 1;
    wake_the_wait();
}

extern "C" void on_resize_signal(int /*signal_number*/) {
    pending_resize = 1;
    wake_the_wait();
}

[[noreturn]] void on_terminate() {
    restore_terminal_now(true);
    std::abort();
}

void install_handler(int signal_number, void (*handler)(int), int flags) {
    struct sigaction action {};
    action.sa_handler = handler;
    sigemptyset(&action.sa_mask);
    action.sa_flags = flags;
    sigaction(signal_number, &action, nullptr);
}

// A signal ignored when the program started (nohup, trap '' HUP) stays ignored.
bool install_unless_ignored(int signal_number, void (*handler)(int), int flags) {
    struct sigaction found {};
    if (sigaction(signal_number, nullptr, &found) == 0 && found.sa_handler == SIG_IGN) {
        return false;
    }
    install_handler(signal_number, handler, flags);
    return true;
}

void install_handlers() {
    // No SA_RESTART: an ending signal must also interrupt a write that blocks.
    for (int signal_number : {SIGINT, SIGTERM, SIGHUP, SIGQUIT}) {
        install_unless_ignored(signal_number, on_ending_signal, 0);
    }
    for (int signal_number : {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT}) {
        install_handler(signal_number, on_fatal_signal, static_cast<int>(SA_RESETHAND));
    }
    install_handler(SIGALRM, on_alarm_signal, 0);
    install_unless_ignored(SIGTSTP, on_suspend_signal, SA_RESTART);
    install_handler(SIGCONT, on_resume_signal, SA_RESTART);
    install_handler(SIGWINCH, on_resize_signal, SA_RESTART);
    std::signal(SIGPIPE, SIG_IGN); // a closed reader shows as a failed write
    std::set_terminate(on_terminate);
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

// Takes the terminal again after the program was continued (after a stop, or a SIGCONT alone):
// the shell may have changed its modes, written over the screen or resized it meanwhile. The modes
// saved at the start stay the ones given back.
void resume() {
    enter_raw_mode();
    read_terminal_size();
    paint_flush();
}

// Ctrl-Z: gives the terminal back, stops, and takes it again when continued.
void suspend() {
    paint_flush();
    restore_terminal_now(false);
    install_handler(SIGTSTP, SIG_DFL, 0);
    std::raise(SIGTSTP); // returns once continued (or at once where stopping is not allowed)
    install_handler(SIGTSTP, on_suspend_signal, SA_RESTART);
    pending_resume = 0;
    resume();
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
    open_wake_pipe();
    install_handlers(); // before raw mode: no moment in raw mode without them
    if (!enter_raw_mode()) {
        std::perror("doorlock: cannot set the terminal's modes");
        terminal.restore_length = 0;
        return false;
    }
    read_terminal_size();
    return true;
}

bool terminal_close() {
    const int ending = pending_ending;
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

} // namespace

bool standard_output_open() {
    return descriptor_open(standard_output);
}

int signal_wake_descriptor() {
    return wake_pipe[0];
}

void drain_signal_wakes() {
    char bytes[64];
    while (wake_pipe[0] >= 0 && read(wake_pipe[0], bytes, sizeof bytes) > 0) {
    }
}

bool ending_signal_pending() {
    return pending_ending != 0;
}

long write_to_terminal(const char* data, std::size_t length) {
    writing = 1; // before the look below: a signal from here on arms the alarm
    if (pending_ending != 0) {
        writing = 0;
        errno = ECANCELED;
        return -1;
    }
#ifdef DOORLOCK_SLOW_WRITES_MS
    // Tests only: every write takes this long, as on a slow link, so that an ending signal sent
    // to a program writing every cycle lands inside a write.
    timespec rest{0, DOORLOCK_SLOW_WRITES_MS * 1000000L};
    while (nanosleep(&rest, &rest) != 0 && errno == EINTR) {
    }
#endif
    const ssize_t written = write(standard_output, data, length);
    const int write_errno = errno;
    writing = 0;
    if (pending_ending != 0) {
        alarm(0); // the write is over: the alarm is not to break into anything else
    }
    errno = write_errno;
    return written;
}

void handle_pending_signals() {
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
    paint_flush,       paint_screen,
};
