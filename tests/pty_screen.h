// Runs a program in a pseudo-terminal and reads its screen through libvterm, a real terminal
// emulator.
#pragma once

#include <chrono>
#include <functional>
#include <string>
#include <sys/types.h>
#include <termios.h>
#include <vector>

struct VTerm;
struct VTermScreen;

struct cell_colours {
    int fg; // ANSI colour index 0-15, or -1 for the terminal's default
    int bg;
};

class pty_program {
  public:
    using clock = std::chrono::steady_clock;

    pty_program(const std::vector<std::string>& args, const std::vector<std::string>& env = {},
                int rows = 24, int columns = 80);
    ~pty_program();
    pty_program(const pty_program&) = delete;
    pty_program& operator=(const pty_program&) = delete;

    void type(const std::string& keys);
    // Reads output until `done` holds or the time is up; true when it held.
    bool wait_for(const std::function<bool()>& done,
                  std::chrono::milliseconds timeout = std::chrono::seconds(5));
    bool wait_for_text(int row, int column, const std::string& text,
                       std::chrono::milliseconds timeout = std::chrono::seconds(5));
    // Reads output for a while.
    void pause(std::chrono::milliseconds duration);
    // Waits for the program to end and returns its wait status, or -1 on time-out.
    int wait_exit(std::chrono::milliseconds timeout = std::chrono::seconds(5));
    void send_signal(int signal_number); // to the program itself
    bool stopped() const;                // the program is stopped (Ctrl-Z)
    void hang_up();                      // closes the terminal, as closing its window does
    // Changes the terminal's size, as resizing its window does, and resets the emulator to an
    // empty screen of that size, so that what it shows next is what the program repainted.
    void resize(int rows, int columns);
    // Changes the terminal's size without reading anything: a terminal that has stopped reading.
    void resize_without_reading(int rows, int columns);
    // Waits for the program to end without reading its output; true when it ended in time.
    bool ends_without_reading(std::chrono::milliseconds timeout);
    pid_t program_pid() const { return program_pid_; }
    void scribble(
        const std::string& bytes); // shows bytes on the screen as if another program wrote them

    std::string text(int row, int column, int width) const; // wide characters once
    cell_colours colours(int row, int column) const;
    cell_colours pen() const; // the colours the next text would get
    int cursor_row() const;
    int cursor_column() const;
    bool cursor_visible() const { return cursor_visible_; }
    int bells() const { return bells_; }
    const std::string& output() const { return output_; }
    termios modes() const; // the terminal's modes as they are now
    const termios& modes_at_start() const { return modes_at_start_; }
    bool running() const { return !exited_; }

  private:
    void pump(clock::time_point deadline);
    void reap();

    pid_t pid_ = -1;         // the small shell that runs the program
    pid_t program_pid_ = -1; // the program
    int master_ = -1;
    int slave_ = -1;
    VTerm* vt_ = nullptr;
    VTermScreen* screen_ = nullptr;
    termios modes_at_start_{};
    std::string output_;
    bool cursor_visible_ = true;
    int bells_ = 0;
    bool exited_ = false;
    int status_ = 0;

    friend struct pty_callbacks;
};

// True when the two sets of modes agree in everything a program changes for raw input.
bool same_terminal_modes(const termios& a, const termios& b);
