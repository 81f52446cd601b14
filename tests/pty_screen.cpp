#include "pty_screen.h"

#include "utf8.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <stdexcept>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <unistd.h>

extern "C" {
#include <vterm.h>
}

struct pty_callbacks {
    static int settermprop(VTermProp prop, VTermValue* value, void* user) {
        if (prop == VTERM_PROP_CURSORVISIBLE) {
            static_cast<pty_program*>(user)->cursor_visible_ = value->boolean != 0;
        }
        return 1;
    }
    static int bell(void* user) {
        static_cast<pty_program*>(user)->bells_ += 1;
        return 1;
    }
};

namespace {

int colour_index(const VTermColor& colour, bool foreground) {
    if (foreground ? VTERM_COLOR_IS_DEFAULT_FG(&colour) : VTERM_COLOR_IS_DEFAULT_BG(&colour)) {
        return -1;
    }
    if (VTERM_COLOR_IS_INDEXED(&colour)) {
        return colour.indexed.idx;
    }
    return -2; // RGB: never sent by the program
}

// A small shell: leads the terminal's session and runs the program as its foreground job, in a
// process group of its own, so that job control (Ctrl-Z) works as under a real shell. Tells the
// program's pid through `pid_out` and ends the way the program ended.
[[noreturn]] void run_as_shell(int slave, int pid_out, const std::vector<std::string>& args,
                               const std::vector<std::string>& env) {
    setsid();
    ioctl(slave, TIOCSCTTY, 0);
    std::signal(SIGHUP, SIG_IGN); // outlive a hang-up long enough to report how the program ended
    const pid_t program = fork();
    if (program == 0) {
        setpgid(0, 0);
        std::signal(SIGTTOU, SIG_IGN);
        tcsetpgrp(slave, getpid());
        std::signal(SIGTTOU, SIG_DFL);
        std::signal(SIGHUP, SIG_DFL);
        dup2(slave, 0);
        dup2(slave, 1);
        dup2(slave, 2);
        if (slave > 2) {
            close(slave);
        }
        close(pid_out);
        setenv("TERM", "xterm-256color", 1);
        setenv("LANG", "C.UTF-8", 1);
        unsetenv("LC_ALL");
        for (const std::string& e : env) {
            putenv(strdup(e.c_str()));
        }
        std::vector<char*> argv;
        for (const std::string& a : args) {
            argv.push_back(const_cast<char*>(a.c_str()));
        }
        argv.push_back(nullptr);
        execv(argv[0], argv.data());
        _exit(127);
    }
    setpgid(program, program);
    [[maybe_unused]] ssize_t told = write(pid_out, &program, sizeof program);
    close(pid_out);
    int status = 0;
    while (waitpid(program, &status, WUNTRACED) == program && WIFSTOPPED(status)) {
    }
    if (WIFSIGNALED(status)) {
        std::signal(WTERMSIG(status), SIG_DFL);
        kill(getpid(), WTERMSIG(status));
    }
    _exit(WIFEXITED(status) ? WEXITSTATUS(status) : 255);
}

} // namespace

pty_program::pty_program(const std::vector<std::string>& args, const std::vector<std::string>& env,
                         int rows, int columns) {
    winsize size{};
    size.ws_row = static_cast<unsigned short>(rows);
    size.ws_col = static_cast<unsigned short>(columns);
    if (openpty(&master_, &slave_, nullptr, nullptr, &size) != 0) {
        throw std::runtime_error("openpty failed");
    }
    tcgetattr(slave_, &modes_at_start_);
    vt_ = vterm_new(rows, columns);
    vterm_set_utf8(vt_, 1);
    screen_ = vterm_obtain_screen(vt_);
    static VTermScreenCallbacks callbacks{};
    callbacks.settermprop = pty_callbacks::settermprop;
    callbacks.bell = pty_callbacks::bell;
    vterm_screen_set_callbacks(screen_, &callbacks, this);
    vterm_screen_reset(screen_, 1);

    int pid_pipe[2];
    if (pipe(pid_pipe) != 0) {
        throw std::runtime_error("pipe failed");
    }
    pid_ = fork();
    if (pid_ == 0) {
        close(master_);
        close(pid_pipe[0]);
        run_as_shell(slave_, pid_pipe[1], args, env);
    }
    close(pid_pipe[1]);
    if (read(pid_pipe[0], &program_pid_, sizeof program_pid_) != sizeof program_pid_) {
        program_pid_ = -1;
    }
    close(pid_pipe[0]);
}

pty_program::~pty_program() {
    if (!exited_ && pid_ > 0) {
        if (program_pid_ > 0) {
            kill(program_pid_, SIGKILL);
        }
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
    if (master_ >= 0) {
        close(master_);
    }
    close(slave_);
    vterm_free(vt_);
}

void pty_program::type(const std::string& keys) {
    std::size_t done = 0;
    while (done < keys.size()) {
        const ssize_t n = write(master_, keys.data() + done, keys.size() - done);
        if (n < 0 && errno != EINTR && errno != EAGAIN) {
            return;
        }
        if (n > 0) {
            done += static_cast<std::size_t>(n);
        } else {
            pump(clock::now() + std::chrono::milliseconds(5)); // let the program read
        }
    }
}

void pty_program::reap() {
    if (!exited_ && waitpid(pid_, &status_, WNOHANG) == pid_) {
        exited_ = true;
    }
}

void pty_program::pump(clock::time_point deadline) {
    char buffer[65536];
    if (master_ < 0) {
        const auto pause =
            std::min(deadline - clock::now(), clock::duration(std::chrono::milliseconds(5)));
        if (pause > clock::duration::zero()) {
            poll(nullptr, 0,
                 static_cast<int>(
                     std::chrono::duration_cast<std::chrono::milliseconds>(pause).count()) +
                     1);
        }
        return;
    }
    for (;;) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - clock::now());
        pollfd ready{master_, POLLIN, 0};
        const int r = poll(&ready, 1, static_cast<int>(std::max<long>(0, left.count())));
        if (r > 0 && (ready.revents & POLLIN) != 0) {
            const ssize_t n = read(master_, buffer, sizeof buffer);
            if (n > 0) {
                output_.append(buffer, static_cast<std::size_t>(n));
                vterm_input_write(vt_, buffer, static_cast<std::size_t>(n));
                continue; // drain what is there before returning
            }
        }
        return;
    }
}

bool pty_program::wait_for(const std::function<bool()>& done, std::chrono::milliseconds timeout) {
    const auto deadline = clock::now() + timeout;
    for (;;) {
        if (done()) {
            return true;
        }
        if (clock::now() >= deadline) {
            return false;
        }
        pump(std::min(deadline, clock::now() + std::chrono::milliseconds(5)));
        reap();
    }
}

bool pty_program::wait_for_text(int row, int column, const std::string& expected,
                                std::chrono::milliseconds timeout) {
    // Texts here are short: their UTF-8 length bounds their width in columns.
    const int width = static_cast<int>(expected.size());
    return wait_for(
        [&] { return text(row, column, width).compare(0, expected.size(), expected) == 0; },
        timeout);
}

void pty_program::pause(std::chrono::milliseconds duration) {
    const auto until = clock::now() + duration;
    while (clock::now() < until) {
        pump(until);
        reap();
    }
}

int pty_program::wait_exit(std::chrono::milliseconds timeout) {
    const bool ended = wait_for(
        [&] {
            reap();
            return exited_;
        },
        timeout);
    pump(clock::now() + std::chrono::milliseconds(20)); // whatever it wrote last
    return ended ? status_ : -1;
}

void pty_program::send_signal(int signal_number) {
    kill(program_pid_, signal_number);
}

bool pty_program::stopped() const {
    char path[64];
    std::snprintf(path, sizeof path, "/proc/%d/stat", static_cast<int>(program_pid_));
    FILE* f = std::fopen(path, "r");
    if (f == nullptr) {
        return false;
    }
    char state = 0;
    const int got = std::fscanf(f, "%*d %*s %c", &state);
    std::fclose(f);
    return got == 1 && state == 'T';
}

void pty_program::hang_up() {
    close(master_);
    master_ = -1;
}

void pty_program::resize(int rows, int columns) {
    pump(clock::now()); // what was written at the old size
    vterm_set_size(vt_, rows, columns);
    vterm_screen_reset(screen_, 1);
    resize_without_reading(rows, columns);
}

bool pty_program::ends_without_reading(std::chrono::milliseconds timeout) {
    const auto deadline = clock::now() + timeout;
    while (clock::now() < deadline) {
        reap();
        if (exited_) {
            return true;
        }
        poll(nullptr, 0, 5);
    }
    return false;
}

void pty_program::resize_without_reading(int rows, int columns) {
    winsize size{};
    size.ws_row = static_cast<unsigned short>(rows);
    size.ws_col = static_cast<unsigned short>(columns);
    ioctl(master_, TIOCSWINSZ, &size); // the kernel sends SIGWINCH to the foreground job
}

void pty_program::scribble(const std::string& bytes) {
    vterm_input_write(vt_, bytes.data(), bytes.size());
}

std::string pty_program::text(int row, int column, int width) const {
    std::string out;
    for (int c = column; c < column + width; ++c) {
        VTermScreenCell cell{};
        vterm_screen_get_cell(screen_, VTermPos{row, c}, &cell);
        if (cell.chars[0] == 0xFFFFFFFF) {
            continue; // right half of a wide character
        }
        append_utf8(out, cell.chars[0] == 0 ? ' ' : cell.chars[0]);
    }
    return out;
}

cell_colours pty_program::colours(int row, int column) const {
    VTermScreenCell cell{};
    vterm_screen_get_cell(screen_, VTermPos{row, column}, &cell);
    return {colour_index(cell.fg, true), colour_index(cell.bg, false)};
}

cell_colours pty_program::pen() const {
    VTermState* state = vterm_obtain_state(vt_);
    VTermValue fg{};
    VTermValue bg{};
    vterm_state_get_penattr(state, VTERM_ATTR_FOREGROUND, &fg);
    vterm_state_get_penattr(state, VTERM_ATTR_BACKGROUND, &bg);
    return {colour_index(fg.color, true), colour_index(bg.color, false)};
}

int pty_program::cursor_row() const {
    VTermPos pos{};
    vterm_state_get_cursorpos(vterm_obtain_state(vt_), &pos);
    return pos.row;
}

int pty_program::cursor_column() const {
    VTermPos pos{};
    vterm_state_get_cursorpos(vterm_obtain_state(vt_), &pos);
    return pos.col;
}

termios pty_program::modes() const {
    termios now{};
    tcgetattr(slave_, &now);
    return now;
}

bool same_terminal_modes(const termios& a, const termios& b) {
    return a.c_iflag == b.c_iflag && a.c_oflag == b.c_oflag && a.c_lflag == b.c_lflag &&
           a.c_cflag == b.c_cflag && a.c_cc[VMIN] == b.c_cc[VMIN] && a.c_cc[VTIME] == b.c_cc[VTIME];
}
