// The real program against closed streams, a vanished reader, stray signals, a stalled terminal,
// slow links and terminals that cannot place the cursor; after each, the terminal's modes are the
// ones it had before the program started.
#include "pty_screen.h"
#include "temporary_folder.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <map>
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
     shell("d=$(mktemp -d) && \"$0\" --trace \"$d/t.vcd\" >&-; s=$?; ls \"$d\"; rm -rf \"$d\"; "
           "exit $s"),
     {},
     nullptr,
     1,
     "doorlock: standard output is closed"},
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

// The files in a folder and what each holds.
std::map<std::string, std::string> folder_content(const temporary_folder& folder) {
    std::map<std::string, std::string> content;
    for (const auto& entry : std::filesystem::directory_iterator(folder.path())) {
        const std::string name = entry.path().filename().string();
        content[name] = entry.is_symlink() ? "-> " + std::filesystem::read_symlink(entry).string()
                        : entry.is_directory() ? "(folder)"
                                               : read_file(entry.path().string());
    }
    return content;
}

TEST(Hardening, CollisionsAndRefusedStartsLeaveEveryFileAsItWas) {
    const temporary_folder folder;
    const auto in = [&](const char* name) { return folder / name; };
    write_file(in("mine.scn"), "type 1\nexpect entered \"1       \"\n");
    write_file(in("bad.scn"), "type 1\nbogus\n");
    write_file(in("empty.scn"), "# nothing but a comment\n");
    write_file(in("kept.vcd"), "a trace to keep\n");
    write_file(in("kept.scn"), "a recording to keep\n");
    std::filesystem::create_symlink(in("mine.scn"), in("link"));
    std::filesystem::create_directory(in("sub"));
    const auto before = folder_content(folder);
    const std::string d = DOORLOCK_BINARY;
    const struct {
        std::vector<std::string> args;
        std::vector<std::string> env;
        int status;
        const char* says;
    } starts[] = {
        {{d, "--scenario", in("mine.scn"), "--trace", in("mine.scn")},
         {},
         2,
         "--trace names the same file as --scenario"},
        {{d, "--scenario", in("mine.scn"), "--trace", in("link")},
         {},
         2,
         "--trace names the same file as --scenario"},
        {{d, "--record", in("kept.scn"), "--trace", in("sub/../kept.scn")},
         {},
         2,
         "--trace names the same file as --record"},
        {{d, "--record", in("new.out"), "--trace", in("./new.out")},
         {},
         2,
         "--trace names the same file as --record"},
        {{d, "--trace", in("a.vcd"), "--trace", in("b.vcd")}, {}, 2, "--trace is given twice"},
        {{d, "--explore", "--max-states", "1000", "--properties", in("kept.vcd"), "--trace",
          in("kept.vcd")},
         {},
         2,
         "--trace names the same file as --properties"},
        {{d, "--explore", "--max-states", "1000", "--counterexample", in("kept.scn"), "--trace",
          in("./kept.scn")},
         {},
         2,
         "--trace names the same file as --counterexample"},
        {{d, "--scenario", in("bad.scn"), "--trace", in("kept.vcd")}, {}, 2, "bad.scn:2: unknown"},
        {{d, "--scenario", in("none.scn"), "--trace", in("kept.vcd")}, {}, 2, "cannot read"},
        {{d, "--scenario", in("empty.scn"), "--trace", in("new.vcd")}, {}, 2, "no step at all"},
        {{d, "--scenario", in("sub"), "--trace", in("new.vcd")}, {}, 2, "is a folder"},
        {{d, "--trace", in("kept.vcd"), "--record", in("none/x.scn")},
         {},
         1,
         "cannot write the recording"},
        {{d, "--trace", in("new.vcd"), "--record", in("sub")}, {}, 1, "cannot write the recording"},
        {{d, "--record", in("kept.scn"), "--trace", in("new.vcd")},
         {"TERM=dumb"},
         1,
         "cannot place the cursor"},
    };
    for (const auto& c : starts) {
        std::string command;
        for (const std::string& a : c.args) {
            command += a.substr(a.find_last_of('/') + 1) + " ";
        }
        SCOPED_TRACE(command);
        pty_program program{c.args, c.env};
        const int status = program.wait_exit();
        ASSERT_TRUE(WIFEXITED(status)) << status << program.output();
        EXPECT_EQ(WEXITSTATUS(status), c.status) << program.output();
        EXPECT_NE(program.output().find(c.says), std::string::npos) << program.output();
        EXPECT_EQ(folder_content(folder), before) << "a file was made, changed or removed";
    }
}

// A recording and a trace after a run that a signal ended: the recording ends with the final
// expectations and replays, the trace holds the digit typed. Says what went wrong, and what
// the files held.
void expect_completed(const temporary_folder& folder, const std::string& binary) {
    const std::string recording = read_file(folder / "r.scn");
    const std::string trace = read_file(folder / "t.vcd");
    EXPECT_NE(recording.find("\nexpect cycle="), std::string::npos)
        << binary << ": the recording is not complete; it holds:\n"
        << recording;
    EXPECT_TRUE(trace.find("$enddefinitions") != std::string::npos &&
                trace.find("\nb1 2\n") != std::string::npos && trace.back() == '\n')
        << binary << ": the trace has not the digit typed; its last 300 bytes:\n"
        << trace.substr(trace.size() > 300 ? trace.size() - 300 : 0);
    pty_program replay{{DOORLOCK_BINARY, "--scenario", folder / "r.scn"}};
    const int status = replay.wait_exit();
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0)
        << binary << ": the recording does not replay: " << replay.output() << "\nit holds:\n"
        << recording;
}

TEST(Hardening, AnEndingSignalCompletesTheRecordingAndTheTrace) {
    // The second program takes 150 ms for each write of the screen, and with --states it writes
    // in every cycle: the signal comes inside a write nearly always, as it does now and then on a
    // loaded machine. Either way, both files must be complete.
    for (const char* binary : {DOORLOCK_BINARY, DOORLOCK_SLOW_WRITES_BINARY}) {
        for (int signal_number : {SIGINT, SIGTERM}) {
            SCOPED_TRACE(std::string(binary) + " " + strsignal(signal_number));
            const temporary_folder folder;
            pty_program program{
                {binary, "--states", "--record", folder / "r.scn", "--trace", folder / "t.vcd"}};
            started(program);
            program.type("1");
            ASSERT_TRUE(program.wait_for_text(2, 40, "1 ")) << program.output();
            program.send_signal(signal_number);
            const int status = program.wait_exit();
            ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == signal_number) << status;
            EXPECT_TRUE(same_terminal_modes(program.modes(), program.modes_at_start()));
            expect_completed(folder, binary);
        }
    }
}

TEST(Hardening, AKillWithoutWarningLosesOnlyTheLastMoment) {
    const temporary_folder folder;
    pty_program program{
        {DOORLOCK_BINARY, "--record", folder / "r.scn", "--trace", folder / "t.vcd"}};
    started(program);
    std::string shown;
    for (const char* digit : {"2", "5", "8"}) {
        program.type(digit);
        shown += std::string(digit) + " ";
        ASSERT_TRUE(program.wait_for_text(2, 40, shown)) << program.output();
    }
    program.pause(1200ms); // the trace goes out once a second of the run
    program.send_signal(SIGKILL);
    program.wait_exit();
    const std::string recording = read_file(folder / "r.scn");
    pty_program replay{{DOORLOCK_BINARY, "--scenario", folder / "r.scn", "--screen"}};
    const int status = replay.wait_exit();
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << replay.output() << recording;
    EXPECT_NE(replay.output().find("2 5 8"), std::string::npos)
        << "the replay has not the keys typed; it shows:\n"
        << replay.output() << "\nthe recording holds:\n"
        << recording;
    EXPECT_NE(read_file(folder / "t.vcd").find("b1000 2"), std::string::npos)
        << "the trace has not the last digit, 8";
}

} // namespace
