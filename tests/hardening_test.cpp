// The real program against closed streams, a vanished reader, stray signals, a stalled terminal,
// slow links and terminals that cannot place the cursor; after each, the terminal's modes are the
// ones it had before the program started.
#include "pty_screen.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <poll.h>
#include <sys/syscall.h>
#include <sys/wait.h>

namespace {

using namespace std::chrono_literals;

// Runs a shell command line with the program as $0.
std::vector<std::string> shell(const std::string& line) {
    return {"/bin/sh", "-c", line, DOORLOCK_BINARY};
}

void started(pty_program& program) {
    ASSERT_TRUE(program.wait_for_text(10, 10, "UNLOCK")) << program.output();
}

// Whether the process is inside a write system call now.
bool blocked_in_write(pid_t pid) {
    const std::string path = "/proc/" + std::to_string(pid) + "/syscall";
    FILE* f = std::fopen(path.c_str(), "r");
    long number = -1;
    const bool read = f != nullptr && std::fscanf(f, "%ld", &number) == 1;
    if (f != nullptr) {
        std::fclose(f);
    }
    return read && number == SYS_write;
}

// Floods the terminal with repaints while nobody reads it, until the program blocks in a write.
void stall_output(pty_program& program) {
    started(program);
    for (int i = 0; i < 2000 && !blocked_in_write(program.program_pid()); ++i) {
        program.resize_without_reading(i % 2 == 0 ? 30 : 24, 80 + i % 2);
        poll(nullptr, 0, 2);
    }
    poll(nullptr, 0, 50);
    ASSERT_TRUE(blocked_in_write(program.program_pid())) << "the output never stalled";
}

struct hardening_case {
    const char* what;
    std::vector<std::string> args;
    std::vector<std::string> env;
    std::function<void(pty_program&)> act;
    int status; // the exit status, or minus the signal that ended it
    const char* says;
};

const hardening_case cases[] = {
    {"standard input closed",
     shell("exec \"$0\" <&-"),
     {},
     nullptr,
     1,
     "doorlock: standard input is closed"},
    {"standard output closed",
     shell("exec \"$0\" >&-"),
     {},
     nullptr,
     1,
     "doorlock: standard output is closed"},
    {"standard output closed, with a trace",
     shell(
         "exec \"$0\" --trace /tmp/doorlock-closed.vcd >&-; s=$?; rm -f /tmp/doorlock-closed.vcd; "
         "exit $s"),
     {},
     nullptr,
     1,
     "doorlock: standard output is closed"},
    {"a refused start leaves the recording's file alone",
     shell("echo kept >/tmp/doorlock-kept; TERM=dumb \"$0\" --record /tmp/doorlock-kept; s=$?; "
           "cat /tmp/doorlock-kept; rm -f /tmp/doorlock-kept; exit $s"),
     {},
     nullptr,
     1,
     "kept"},
    {"a dumb terminal",
     {DOORLOCK_BINARY},
     {"TERM=dumb"},
     nullptr,
     1,
     "doorlock: TERM=dumb: this terminal cannot place the cursor"},
    {"no TERM at all",
     {"/usr/bin/env", "-u", "TERM", DOORLOCK_BINARY},
     {},
     nullptr,
     1,
     "doorlock: TERM is not set"},
    {"help into a full disk",
     shell("\"$0\" --help >/dev/full; echo \"status $?\""),
     {},
     nullptr,
     0,
     "status 1"},
    {"the screen into a full disk",
     shell("exec \"$0\" >/dev/full"),
     {},
     nullptr,
     1,
     "doorlock: cannot write the screen: No space left on device"},
    {"a reader that goes away",
     shell("{ \"$0\"; echo \"status $?\" >&2; } | head -c 100 >/dev/null"),
     {},
     [](pty_program& p) {
         p.pause(300ms);
         p.type("k"); // something to write, should nothing have been written since head left
         ASSERT_TRUE(p.wait_for([&] { return p.output().find("status 1") != std::string::npos; }));
     },
     0,
     "doorlock: cannot write the screen: Broken pipe"},
    {"SIGCONT without a stop, then Q",
     {DOORLOCK_BINARY},
     {},
     [](pty_program& p) {
         started(p);
         p.send_signal(SIGCONT);
         p.pause(100ms);
         p.type("q");
     },
     0,
     nullptr},
    {"a hang-up ignored from the start stays ignored",
     shell("trap '' HUP; exec \"$0\""),
     {},
     [](pty_program& p) {
         started(p);
         p.send_signal(SIGHUP);
         p.pause(200ms);
         ASSERT_TRUE(p.running());
         p.type("q");
     },
     0,
     nullptr},
    {"sequences split by a slow link act as no command",
     {DOORLOCK_BINARY},
     {},
     [](pty_program& p) {
         started(p);
         p.type("\x1b");
         p.pause(30ms);
         p.type("OQ"); // F2: its last byte is a Q
         p.type("\x1b");
         p.pause(30ms);
         p.type("[D"); // the left arrow: its last byte is a D
         p.type("\x1b[");
         p.pause(700ms); // longer than a lone ESC waits: the sequence has begun all the same
         p.type("D");
         p.pause(100ms);
         ASSERT_TRUE(p.running());
         EXPECT_EQ(p.text(12, 12, 5), " 열림") << "the door did not move";
         p.type("q");
     },
     0,
     nullptr},
    {"Ctrl-C completes the recording",
     {DOORLOCK_BINARY, "--record", "/tmp/doorlock-ctrl-c.scn"},
     {},
     [](pty_program& p) {
         started(p);
         p.type("1");
         ASSERT_TRUE(p.wait_for_text(2, 40, "1 "));
         p.send_signal(SIGINT);
         p.wait_exit();
         const std::string replay = "grep -q 'expect cycle=' /tmp/doorlock-ctrl-c.scn && " +
                                    std::string(DOORLOCK_BINARY) +
                                    " --scenario /tmp/doorlock-ctrl-c.scn >/dev/null";
         EXPECT_EQ(std::system(replay.c_str()), 0) << "the recording is complete and replays";
         std::remove("/tmp/doorlock-ctrl-c.scn");
     },
     -SIGINT,
     nullptr},
    {"Ctrl-Z, bg, fg under a shell",
     {"/bin/bash", "--norc", "--noprofile", "-i"},
     {"PS1=$ "},
     [](pty_program& p) {
         ASSERT_TRUE(p.wait_for([&] { return p.output().find("$ ") != std::string::npos; }));
         p.type(std::string(DOORLOCK_BINARY) + "\r");
         started(p);
         p.type("\x1a");
         ASSERT_TRUE(p.wait_for([&] { return p.output().find("Stopped") != std::string::npos; }));
         p.type("bg\r");
         p.pause(300ms);
         p.type("fg\r");
         ASSERT_TRUE(p.wait_for_text(10, 10, "UNLOCK"));
         p.type("c");
         ASSERT_TRUE(p.wait_for_text(11, 12, " 닫힘")) << "raw again and running";
         EXPECT_EQ(p.output().find("Interrupted"), std::string::npos) << p.output();
         p.type("q");
         p.pause(200ms);
         p.type("exit\r");
     },
     0,
     nullptr},
    {"a kill while the terminal does not read",
     {DOORLOCK_BINARY},
     {},
     [](pty_program& p) {
         stall_output(p);
         p.send_signal(SIGTERM);
         ASSERT_TRUE(p.ends_without_reading(1s)) << "blocked in a write";
     },
     -SIGTERM,
     nullptr},
};

void check(const hardening_case& c) {
    SCOPED_TRACE(c.what);
    {
        pty_program program{c.args, c.env};
        if (c.act) {
            c.act(program);
        }
        const int status = program.wait_exit();
        if (c.status >= 0) {
            ASSERT_TRUE(WIFEXITED(status)) << status;
            EXPECT_EQ(WEXITSTATUS(status), c.status) << program.output();
        } else {
            ASSERT_TRUE(WIFSIGNALED(status)) << status;
            EXPECT_EQ(WTERMSIG(status), -c.status);
        }
        if (c.says != nullptr) {
            EXPECT_NE(program.output().find(c.says), std::string::npos) << program.output();
        }
        EXPECT_TRUE(same_terminal_modes(program.modes(), program.modes_at_start()));
    }
}

// CPU time of a process in ms, from the scheduler's nanosecond account.
double cpu_ms(pid_t pid) {
    const std::string path = "/proc/" + std::to_string(pid) + "/schedstat";
    FILE* f = std::fopen(path.c_str(), "r");
    unsigned long long ns = 0;
    const bool read = f != nullptr && std::fscanf(f, "%llu", &ns) == 1;
    if (f != nullptr) {
        std::fclose(f);
    }
    return read ? static_cast<double>(ns) / 1e6 : -1;
}

TEST(Hardening, RunsAcrossTheWrapOfTheClock) {
    // The tick count starts 2.5 s before 2^32: the wrap comes inside the automatic lock's 3 s.
    const auto start = pty_program::clock::now();
    pty_program program{{DOORLOCK_NEAR_WRAP_BINARY, "--states"}};
    started(program);
    std::string shown;
    for (char digit : std::string("1234")) {
        program.type(std::string(1, digit));
        shown += std::string(1, digit) + " ";
        ASSERT_TRUE(program.wait_for_text(2, 40, shown));
    }
    ASSERT_TRUE(program.wait_for_text(1, 40, "1 2 3 4 "));
    const auto closed_at = pty_program::clock::now();
    program.type("d");
    ASSERT_TRUE(program.wait_for_text(10, 10, "LOCK  ", 6s));
    const auto took = pty_program::clock::now() - closed_at;
    ASSERT_LT(closed_at - start, 2400ms) << "the door closed after the wrap: nothing tested";
    EXPECT_GE(took, 2900ms);
    EXPECT_LE(took, 4000ms);
    EXPECT_EQ(program.text(19, 1, 41), "lock  1 locked     timer  300   locked 1 ")
        << "locked in the 301st cycle after the door closed";

    const auto from = pty_program::clock::now();
    const double cpu_from = cpu_ms(program.program_pid());
    program.pause(1s);
    const double cpu_percent =
        (cpu_ms(program.program_pid()) - cpu_from) /
        std::chrono::duration<double, std::milli>(pty_program::clock::now() - from).count() * 100;
    EXPECT_LT(cpu_percent, 5.0) << "the loop still waits between cycles after the wrap";
    program.type("q");
    EXPECT_EQ(program.wait_exit(), 0);
}

TEST(Hardening, StreamsSignalsLinksAndTerminals) {
    for (const hardening_case& c : cases) {
        check(c);
    }
}

} // namespace
