// Every way out gives the terminal back; suspending and resuming restores the screen; bad input
// changes nothing; keys may come from a pipe.
#include "pty_screen.h"

#include <gtest/gtest.h>

#include <csignal>
#include <fcntl.h>
#include <fstream>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

using namespace std::chrono_literals;

constexpr int screen_rows = 16;

std::vector<std::string> screen_lines(const pty_program& program) {
    std::vector<std::string> lines;
    for (int row = 0; row < screen_rows; ++row) {
        lines.push_back(program.text(row, 0, 80));
    }
    return lines;
}

std::vector<int> screen_colours(const pty_program& program) {
    std::vector<int> colours;
    for (int row = 0; row < screen_rows; ++row) {
        for (int column = 0; column < 80; ++column) {
            const cell_colours c = program.colours(row, column);
            colours.push_back(c.fg * 100 + c.bg);
        }
    }
    return colours;
}

void expect_terminal_given_back(const pty_program& program) {
    EXPECT_TRUE(same_terminal_modes(program.modes(), program.modes_at_start()));
    EXPECT_TRUE(program.cursor_visible());
    EXPECT_EQ(program.pen().fg, -1);
    EXPECT_EQ(program.pen().bg, -1);
    EXPECT_EQ(program.cursor_row(), 17); // below the key legend
}

class Reliability : public ::testing::Test {
  protected:
    pty_program program{{DOORLOCK_BINARY}};
    void SetUp() override { ASSERT_TRUE(program.wait_for_text(10, 10, "UNLOCK")); }
};

TEST_F(Reliability, SuspendGivesTheTerminalBackAndResumeRedrawsTheScreen) {
    program.type("8");
    ASSERT_TRUE(program.wait_for_text(2, 40, "8 "));
    program.type("c");
    ASSERT_TRUE(program.wait_for_text(11, 12, " 닫힘"));
    program.pause(50ms);
    const auto lines = screen_lines(program);
    const auto colours = screen_colours(program);

    program.type("\x1a"); // Ctrl-Z
    ASSERT_TRUE(program.wait_for([&] { return program.stopped(); }));
    program.pause(50ms);
    expect_terminal_given_back(program);

    program.scribble("\x1b[0m\x1b[2J\x1b[Hshell$ ls\r\n"); // the shell writes over the screen
    program.send_signal(SIGCONT);
    ASSERT_TRUE(program.wait_for([&] { return screen_lines(program) == lines; }))
        << program.text(0, 0, 40);
    ASSERT_TRUE(program.wait_for([&] { return screen_colours(program) == colours; }));
    EXPECT_FALSE(program.cursor_visible());
    EXPECT_FALSE(same_terminal_modes(program.modes(), program.modes_at_start())) << "raw again";

    program.type("C"); // the simulation goes on where it was
    ASSERT_TRUE(program.wait_for_text(11, 12, " 열림"));
    program.type("q");
    const int status = program.wait_exit();
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    expect_terminal_given_back(program);
}

// How often the process has given up the processor of its own accord: its wake-ups, each wait
// that ended counting one.
long voluntary_switches(pid_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("voluntary_ctxt_switches:", 0) == 0) {
            return std::stol(line.substr(line.find(':') + 1));
        }
    }
    return -1;
}

TEST_F(Reliability, AnIdleLockWithNothingDueSleepsUntilAKey) {
    for (const char* digit : {"2", "4", "6", "8"}) { // one window each
        const std::string entered = program.text(2, 40, 8);
        program.type(digit);
        ASSERT_TRUE(program.wait_for([&] { return program.text(2, 40, 8) != entered; }));
    }
    ASSERT_TRUE(program.wait_for_text(1, 40, "2 4 6 8 "));
    program.type("l");
    ASSERT_TRUE(program.wait_for_text(10, 10, "LOCK  "));
    program.type("c"); // the cover closed puts the light out: nothing is due until a key
    ASSERT_TRUE(program.wait_for_text(11, 12, " 닫힘"));
    program.pause(100ms);

    const long before = voluntary_switches(program.program_pid());
    program.pause(2s);
    const long after = voluntary_switches(program.program_pid());
    ASSERT_GE(before, 0) << "no /proc/PID/status";
    EXPECT_LE(after - before, 3) << "wake-ups in 2 s with nothing due";

    program.type("c"); // a key still comes through at once
    EXPECT_TRUE(program.wait_for_text(11, 12, " 열림", 1000ms));
}

TEST_F(Reliability, IdleWritesNothingResizeRepaintsAndTooSmallSaysSo) {
    program.type("4");
    ASSERT_TRUE(program.wait_for_text(2, 40, "4 "));
    program.pause(50ms);
    const auto lines = screen_lines(program);
    const auto colours = screen_colours(program);

    const std::size_t written = program.output().size();
    program.pause(1s);
    EXPECT_EQ(program.output().size(), written) << "an idle second writes nothing";

    program.resize(30, 100); // the emulator starts empty: all it shows is the repaint
    ASSERT_TRUE(program.wait_for([&] { return screen_lines(program) == lines; }));
    EXPECT_EQ(screen_colours(program), colours);
    EXPECT_FALSE(program.cursor_visible());

    program.resize(15, 60);
    ASSERT_TRUE(program.wait_for_text(0, 0, "Terminal too small: 60x15, needs 80x18"));
    program.type("c"); // the simulation goes on
    program.pause(100ms);
    for (int row = 1; row < 15; ++row) {
        EXPECT_EQ(program.text(row, 0, 60), std::string(60, ' ')) << "row " << row;
    }

    program.resize(24, 80);
    ASSERT_TRUE(program.wait_for_text(11, 12, " 닫힘"));
    auto expected = lines; // the cover closed meanwhile and the entry was abandoned
    expected[2] = program.text(2, 0, 40) + std::string(40, ' ');
    expected[10] = program.text(10, 0, 40) + "cover sensor 입력" + std::string(23, ' ');
    expected[11].replace(expected[11].find("열림"), std::string("열림").size(), "닫힘");
    EXPECT_EQ(screen_lines(program), expected);
    EXPECT_EQ(program.colours(1, 1).bg, 0) << "the pad is dark with the cover closed";
    program.type("q");
    ASSERT_EQ(program.wait_exit(), 0);
    expect_terminal_given_back(program);
}

TEST(ReliabilityExits, EverySignalGivesTheTerminalBack) {
    for (int signal_number : {SIGTERM, SIGQUIT, SIGINT, SIGSEGV, SIGABRT, SIGBUS}) {
        pty_program program{{DOORLOCK_BINARY}};
        ASSERT_TRUE(program.wait_for_text(10, 10, "UNLOCK"));
        program.send_signal(signal_number);
        const int status = program.wait_exit();
        ASSERT_TRUE(WIFSIGNALED(status)) << signal_number;
        EXPECT_EQ(WTERMSIG(status), signal_number);
        expect_terminal_given_back(program);
    }
}

TEST(ReliabilityExits, ClosedTerminalEndsAtOnce) {
    for (int run = 0; run < 5; ++run) {
        pty_program program{{DOORLOCK_BINARY}};
        ASSERT_TRUE(program.wait_for_text(10, 10, "UNLOCK"));
        program.hang_up();
        const int status = program.wait_exit(2s);
        ASSERT_NE(status, -1) << "still running after the terminal closed";
        // Whichever it notices first: the hang-up signal, or the end of its input.
        const bool hung_up = WIFSIGNALED(status) && WTERMSIG(status) == SIGHUP;
        const bool input_ended = WIFEXITED(status) && WEXITSTATUS(status) == 0;
        EXPECT_TRUE(hung_up || input_ended) << status;
    }
}

// Runs the program with standard input and output both pipes.
struct piped_run {
    std::string output;
    int status = -1;
};

piped_run run_with_pipes(const std::string& keys, bool close_input) {
    int in[2];
    int out[2];
    EXPECT_EQ(pipe(in), 0);
    EXPECT_EQ(pipe(out), 0);
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(in[0], 0);
        dup2(out[1], 1);
        close(in[1]);
        close(out[0]);
        execl(DOORLOCK_BINARY, DOORLOCK_BINARY, static_cast<char*>(nullptr));
        _exit(127);
    }
    close(in[0]);
    close(out[1]);
    const int original_flags = fcntl(in[1], F_GETFL);
    [[maybe_unused]] ssize_t sent = write(in[1], keys.data(), keys.size());
    if (close_input) {
        close(in[1]);
    }
    piped_run run;
    char buffer[4096];
    ssize_t n = 0;
    while ((n = read(out[0], buffer, sizeof buffer)) > 0) {
        run.output.append(buffer, static_cast<std::size_t>(n));
        if (!close_input && run.output.find("UNLOCK") != std::string::npos) {
            EXPECT_EQ(fcntl(in[1], F_GETFL), original_flags);
            [[maybe_unused]] ssize_t quit = write(in[1], "q", 1);
            close(in[1]);
            close_input = true;
        }
    }
    close(out[0]);
    waitpid(pid, &run.status, 0);
    return run;
}

TEST(ReliabilityPipes, KeysFromAPipeAndEndOfInputQuits) {
    const piped_run ended = run_with_pipes("7", true);
    ASSERT_TRUE(WIFEXITED(ended.status));
    EXPECT_EQ(WEXITSTATUS(ended.status), 0);
    EXPECT_NE(ended.output.find("숫자 7 입력"), std::string::npos);

    const piped_run quit = run_with_pipes("L", false); // Q typed once a cycle has run
    ASSERT_TRUE(WIFEXITED(quit.status));
    EXPECT_EQ(WEXITSTATUS(quit.status), 0);
    EXPECT_NE(quit.output.find("비밀번호 상태 :"), std::string::npos);
    EXPECT_NE(quit.output.find("Lock Button 입력"), std::string::npos);
    EXPECT_NE(quit.output.find("104m"), std::string::npos) << "the same colours";
}

TEST_F(Reliability, BadInputChangesNothing) {
    program.type("k"); // an echo that bad input must leave standing
    ASSERT_TRUE(program.wait_for_text(10, 40, "key sensor"));
    program.pause(30ms);
    const auto lines = screen_lines(program);
    const auto colours = screen_colours(program);
    const std::string lock_row = program.text(10, 0, 40);

    const std::string commands = "0123456789LlDdKkCcQq";
    const std::string signal_keys = "\x03\x1a\x1c"; // Ctrl-C, Ctrl-Z, Ctrl-\ raise signals
    std::string every_byte;
    for (int b = 0; b < 256; ++b) {
        const char c = static_cast<char>(b);
        if (commands.find(c) == std::string::npos && signal_keys.find(c) == std::string::npos &&
            c != '\x1b') {
            every_byte += c;
        }
    }
    const std::vector<std::string> inputs = {
        every_byte,
        "\x1b[A\x1b[B\x1b[C\x1b[D\x1bOA\x1bOB\x1bOC\x1bOD",         // arrows, both modes
        "\x1bOP\x1bOQ\x1bOR\x1bOS\x1b[15~\x1b[17~\x1b[18~\x1b[19~", // F1-F8
        "\x1b[20~\x1b[21~\x1b[23~\x1b[24~\x1b[24;5~\x1b[1;2Q",      // F9-F12, modified
        "\x1b[H\x1b[F\x1b[1~\x1b[4~\x1b[2~\x1b[3~\x1b[5~\x1b[6~",   // Home End Ins Del PgUp PgDn
        "\x1b[1;5H\x1b[3;2~\x1b[5;3~\x1b[6;5~\x1b[1;3D\x1b[1;7C",   // ... with modifiers
        "\x1bq\x1bQ\x1bl\x1b"
        "d\x1bk\x1b"
        "c\x1b"
        "1\x1b\x1b[D",                                              // Alt+letter, Alt+digit
        "\x1b[200~xyz\x1b[201~",                                    // bracketed paste
        "\x1b[M Q1\x1b[M#LD\x1b[<0;12;5M\x1b[<0;12;5m",             // mouse reports
        "\xc3\x28\xe2\x28\xa1\xf0\x28\x8c\xbc\xed\xa0\x80\xc0\xaf", // invalid UTF-8
        "\xed\x95\x9c\xea\xb8\x80",                                 // Hangul typed
    };
    for (const std::string& input : inputs) {
        program.type(input);
    }
    std::string paste;
    const std::string filler = "xyz!@#$%^&*()_+-=[]{};:'\",.<>/?\\|`~ aeiou";
    while (paste.size() < 1024 * 1024) {
        paste += filler;
    }
    program.type(paste);
    program.type("\x1b"); // the last one alone
    program.pause(700ms); // a lone ESC counts once nothing followed it for 500 ms
    program.type("D");    // once this shows, everything before it has been read
    ASSERT_TRUE(program.wait_for_text(12, 12, " 닫힘", 10s)) << "still answering";
    EXPECT_TRUE(program.running());

    // Only the door and the echo of D differ from the screen before the bad input.
    auto expected = lines;
    expected[10] = lock_row + "door sensor 입력   " + std::string(21, ' ');
    expected[12] = program.text(12, 0, 80);
    EXPECT_EQ(expected[12].find(" 닫힘"), lines[12].find(" 열림"));
    EXPECT_EQ(screen_lines(program), expected);
    EXPECT_EQ(screen_colours(program), colours);
    program.type("q");
    const int status = program.wait_exit();
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

} // namespace
