// The signals on POSIX: those that end the program (the run ends within a cycle so that its files
// are completed, a second one or a crash ends it at once), suspend and resume it, or resize its
// terminal; the terminal is given back on every way out. A handler only notes what came; the
// loop acts on it, woken through a self-pipe from any wait for keys.
#include "platform_posix.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <exception>
#include <fcntl.h>
#include <initializer_list>
#include <time.h>
#include <unistd.h>

namespace {

volatile std::sig_atomic_t pending_ending = 0;  // a signal that ends the run, not yet acted on
volatile std::sig_atomic_t writing = 0;         // the screen is being written to the terminal
volatile std::sig_atomic_t pending_suspend = 0; // Ctrl-Z
volatile std::sig_atomic_t pending_resume = 0;  // continued after a stop, or sent SIGCONT
volatile std::sig_atomic_t pending_resize = 0;  // the terminal's size changed
// The self-pipe through which a signal ends a wait for keys: a flag alone set just before the wait
// began would go unseen for as long as the wait lasts, which may be hours while nothing is due.
int wake_pipe[2] = {-1, -1};
// What gives the terminal back, also from a handler: set before any handler is installed.
void (*give_terminal_back)(bool from_signal) = nullptr;

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

// Gives the terminal back here and now, whatever the output does, then ends the way the signal
// asks.
void end_at_once(int signal_number) {
    give_terminal_back(true);
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
    give_terminal_back(true);
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

} // namespace

void signals_open(void (*give_back)(bool from_signal)) {
    give_terminal_back = give_back;
    open_wake_pipe();
    install_handlers();
}

void stop_until_continued() {
    install_handler(SIGTSTP, SIG_DFL, 0);
    std::raise(SIGTSTP); // returns once continued (or at once where stopping is not allowed)
    install_handler(SIGTSTP, on_suspend_signal, SA_RESTART);
    pending_resume = 0;
}

int ending_signal() {
    return pending_ending;
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

bool take_request(signal_request request) {
    volatile std::sig_atomic_t& flag = request == signal_request::suspend  ? pending_suspend
                                       : request == signal_request::resume ? pending_resume
                                                                           : pending_resize;
    if (flag == 0) {
        return false;
    }
    flag = 0;
    return true;
}
