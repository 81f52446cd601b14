// Scenario files: a file with an error is rejected whole before anything runs; an expectation that
// does not hold stops the run and says where; a recorded session replays to the same screen.
#include "pty_screen.h"
#include "temporary_folder.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <regex>
#include <sstream>
#include <sys/wait.h>

namespace {

using namespace std::chrono_literals;
using namespace std::string_literals;

struct outcome {
    int status;
    std::string output;
};

outcome run_scenario(const std::string& content, const std::vector<std::string>& options = {}) {
    const temporary_folder folder;
    const std::string path = folder / "test.scn";
    write_file(path, content);
    std::vector<std::string> args = {DOORLOCK_BINARY, "--scenario", path};
    args.insert(args.end(), options.begin(), options.end());
    pty_program program{args};
    const int status = program.wait_exit();
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, program.output()};
}

TEST(Scenario, AFileWithAnErrorIsRejectedWholeAndNothingRuns) {
    // Every file begins with an expectation that fails at once if anything runs at all.
    const std::string runs_first = "expect lock \"LOCK  \"\ntype 12\n";
    const struct {
        std::string step;
        const char* says;
        int line = 3;
    } cases[] = {
        {"tpye 1", "unknown step 'tpye'"},
        {"expect lok \"x\"", "unknown field 'lok'"},
        {"expect pw_state=1 pwstate=1", "unknown name 'pwstate'"},
        {"expect lock \"LOCK  ", "the text has no closing quote"},
        {"expect lock LOCK", "the text must be in double quotes"},
        {"expect lock \"LOCK\"", "the text is 4 columns wide, the field lock 6"},
        {"wait x1", "bad number 'x1'"},
        {"wait 15ms", "15ms is not a whole number of 10 ms cycles"},
        {"expect attr 80 1 15", "bad column '80'"},
        {"expect bells", "expect bells needs a number"},
        {"expect echo \"\"", "the text is empty"},
        {"type 1<f13>", "unknown key <f13>"},
        {"press", "press needs the keys"},
        {"type 1q2", "keys after the quit are never read"},
        {"type q\nexpect count=0\nwait 1", "the run ends with the quit on line 3", 5},
        // Hostile input: never echoed raw, never taken for what it is not.
        {"tpye\x1b]0;PWNED\x07\x1b[2J", "unknown step 'tpye\\x1B]0;PWNED\\x07\\x1B[2J'"},
        {"expect " + std::string(5000, 'x'), "the line is longer than 4096 bytes"},
        {"wait " + std::string(300, '9'),
         "bad number '9999999999999999999999999999999999999999...'"},
        {"type 13\r57", "a carriage return inside the keys"},
        {"press 1\0"s, "a NUL byte inside the keys"},
        {"expect echo \"\xc2\x9b"
         "2J\"",
         "the text holds a control character"},
    };
    for (const auto& c : cases) {
        const outcome o = run_scenario(runs_first + c.step + "\n# the end\n");
        EXPECT_EQ(o.status, 2) << c.step.substr(0, 80) << "\n" << o.output;
        const std::string where = "test.scn:" + std::to_string(c.line) + ": " + c.says;
        EXPECT_NE(o.output.find(where), std::string::npos) << c.step.substr(0, 80) << "\n"
                                                           << o.output;
        EXPECT_EQ(o.output.find('\x1b'), std::string::npos) << "nothing raw: " << o.output;
        EXPECT_EQ(o.output.find(" over "), std::string::npos) << "nothing ran";
    }
    EXPECT_EQ(run_scenario("type 1\n").status, 0);
    EXPECT_EQ(run_scenario("type 13\r\nexpect entered \"1 3     \"\r\n").status, 0)
        << "CR LF line endings";
    EXPECT_EQ(run_scenario("# nothing but a comment\n").status, 2) << "no step at all";
}

TEST(Scenario, AnExpectationThatFailsStopsTheRunAndSaysWhere) {
    const outcome o = run_scenario("type 1234\nwait 3\ntype L\n"
                                   "expect lock \"LOCK  \" # holds\n"
                                   "expect lock_state=1 lock_timer=0\n"
                                   "type K\nexpect lock \"LOCK  \"\nexpect bells 9\n");
    EXPECT_EQ(o.status, 1);
    EXPECT_NE(o.output.find("test.scn:7: cycle 9: expected lock \"LOCK  \", screen shows "
                            "\"UNLOCK\""),
              std::string::npos)
        << o.output;
    EXPECT_EQ(o.output.find("bells"), std::string::npos) << "the run stopped at the failure";
}

TEST(Scenario, ARecordedSessionReplaysToTheSameScreen) {
    const temporary_folder folder;
    const std::string path = folder / "recorded.scn";
    std::vector<std::string> shown;
    {
        pty_program program{{DOORLOCK_BINARY, "--record", path}};
        ASSERT_TRUE(program.wait_for_text(10, 10, "UNLOCK"));
        // A code, the lock, a wrong and a right code, keys that share a window, other keys.
        for (const char* keys : {"2", "4", "6", "8", "L", "2", "4", "6", "9"}) {
            program.type(keys);
            program.pause(30ms);
        }
        ASSERT_TRUE(program.wait_for_text(14, 1, "Sound 2"));
        program.pause(40ms);
        program.type("2468");
        program.pause(40ms);
        program.type("\x1b[D#<c");
        program.pause(40ms);
        program.type("\""); // a key that begins a word, where it would begin a text
        program.pause(40ms);
        program.pause(700ms); // a lone ESC counts after 500 ms
        program.type("\x1b");
        program.pause(600ms);
        program.type("q");
        ASSERT_EQ(program.wait_exit(), 0);
        for (int row = 0; row < 17; ++row) {
            std::string line = program.text(row, 0, 80);
            line.erase(line.find_last_not_of(' ') + 1);
            shown.push_back(line);
        }
    }
    std::stringstream recorded;
    recorded << std::ifstream(path).rdbuf();
    pty_program replay{{DOORLOCK_BINARY, "--scenario", path, "--screen"}};
    ASSERT_EQ(replay.wait_exit(), 0) << recorded.str() << replay.output();
    std::string replayed = replay.output();
    const std::size_t screen = replayed.find('\n') + 1; // after the outcome line
    std::string expected;
    for (const std::string& line : shown) {
        expected += line + "\r\n";
    }
    EXPECT_EQ(replayed.substr(screen), expected) << recorded.str();
    EXPECT_NE(recorded.str().find("press "), std::string::npos) << "keys in one window";
}

TEST(Scenario, ATraceSpansTheWholeRunAndNoMore) {
    const temporary_folder folder;
    write_file(folder / "idle.scn", "type C\nwait 100s\n");
    pty_program program{
        {DOORLOCK_BINARY, "--scenario", folder / "idle.scn", "--trace", folder / "t.vcd"}};
    ASSERT_EQ(program.wait_exit(), 0) << program.output();
    const std::string trace = read_file(folder / "t.vcd");
    const std::string last_line = trace.substr(trace.rfind('\n', trace.size() - 2) + 1);
    EXPECT_EQ(last_line, "#100010\n") << "the time of the last of 10001 cycles, 10 ms apart";
}

// A run through pipes (no terminal): its exit status and what it wrote to stdout and stderr.
struct piped {
    int status;
    std::string out;
    std::string err;
};

piped run_piped(const std::string& command) {
    const temporary_folder folder;
    const std::string err_path = folder / "stderr.txt";
    std::FILE* pipe = popen((command + " 2>" + err_path).c_str(), "r");
    std::string out;
    char buffer[4096];
    for (std::size_t n; pipe != nullptr && (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;) {
        out.append(buffer, n);
    }
    const int status = pipe != nullptr ? pclose(pipe) : -1;
    std::stringstream err;
    err << std::ifstream(err_path).rdbuf();
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, out, err.str()};
}

TEST(Scenario, SeveralFilesRunAllAndReportALineEachASummaryAndTheWorstStatus) {
    const temporary_folder folder;
    const std::string dir = folder.path();
    std::filesystem::create_directory(folder / "more");
    write_file(dir + "/a-pass.scn", "type 1234\nwait 1\nexpect registered \"1 2 3 4 \"\n");
    write_file(dir + "/b-fail.scn", "type 1\nexpect count=2\nexpect count=1\n");
    write_file(dir + "/more/c-pass.scn", "wait 5\n");
    write_file(dir + "/more/notes.txt", "not a scenario\n");
    write_file(dir + "/d-error.scn", "wait 1\nexpect lok \"x\"\n");
    const std::string files = dir + "/b-fail.scn " + dir + "/more " + dir + "/a-pass.scn";
    const std::string program = std::string(DOORLOCK_BINARY) + " --scenario ";

    piped p = run_piped(program + files);
    const std::string expected = "FAIL " + dir + "/b-fail.scn  " + dir +
                                 "/b-fail.scn:2: cycle 1: expected count=2, state has count=1\n"
                                 "PASS " +
                                 dir +
                                 "/more/c-pass.scn  0 expectations, 5 cycles, T s\n"
                                 "PASS " +
                                 dir +
                                 "/a-pass.scn  1 expectation, 5 cycles, T s\n"
                                 "3 scenarios: 2 passed, 1 failed, 0 with errors\n";
    EXPECT_EQ(std::regex_replace(p.out, std::regex("[0-9]+\\.[0-9]{3} s"), "T s"), expected);
    EXPECT_EQ(p.status, 1);
    EXPECT_EQ(p.err, "");

    p = run_piped(program + files + " " + dir + "/d-error.scn");
    EXPECT_NE(
        p.out.find("ERROR " + dir + "/d-error.scn  " + dir + "/d-error.scn:2: unknown field 'lok'"),
        std::string::npos)
        << p.out;
    EXPECT_NE(p.out.find("4 scenarios: 2 passed, 1 failed, 1 with errors"), std::string::npos);
    EXPECT_EQ(p.status, 2) << "an error outranks a failure";
    EXPECT_EQ(run_piped(program + dir + "/more " + dir + "/a-pass.scn").status, 0);

    // Under GitHub Actions each failure is also an annotation on its line.
    p = run_piped("GITHUB_ACTIONS=true " + program + dir + "/b-fail.scn " + dir + "/d-error.scn");
    EXPECT_NE(p.out.find("::error file=" + dir +
                         "/b-fail.scn,line=2::cycle 1: expected count=2, "
                         "state has count=1\n"),
              std::string::npos)
        << p.out;
    EXPECT_NE(p.out.find("::error file=" + dir + "/d-error.scn,line=2::unknown field 'lok'"),
              std::string::npos)
        << p.out;

    // The words in colour on a terminal unless NO_COLOR says otherwise; --color decides over both.
    const struct {
        bool terminal;
        const char* no_color;
        const char* option;
        bool colored;
    } cases[] = {
        {true, "", "", true},
        {true, "1", "", false},
        {false, "", "", false},
        {false, "1", "--color=always", true},
        {true, "", "--color=never", false},
    };
    for (const auto& c : cases) {
        const std::string args = files + " " + c.option;
        std::string out;
        if (c.terminal) {
            std::vector<std::string> argv = {DOORLOCK_BINARY, "--scenario"};
            std::istringstream words(args);
            for (std::string w; words >> w;) {
                argv.push_back(w);
            }
            pty_program program_in_terminal{argv, {std::string("NO_COLOR=") + c.no_color}};
            program_in_terminal.wait_exit();
            out = program_in_terminal.output();
        } else {
            out = run_piped(std::string("NO_COLOR=") + c.no_color + " " + program + args).out;
        }
        EXPECT_EQ(out.find("\x1b[31mFAIL\x1b[0m ") != std::string::npos, c.colored)
            << c.terminal << " NO_COLOR=" << c.no_color << " " << c.option << "\n"
            << out;
        EXPECT_EQ(out.find("\x1b[32mPASS\x1b[0m ") != std::string::npos, c.colored) << out;
    }
}

TEST(Scenario, TimedExpectationsHoldWithinOrForTheirCycles) {
    // The code is registered and the door closes in cycle 8; the bolt locks in cycle 309.
    const std::string door_closes = "type 1234\nwait 3\ntype d\n";
    const struct {
        const char* steps;
        int status;
        const char* says; // the failure, or the cycles run
    } cases[] = {
        {"expect within 5 lock \"UNLOCK\"\nexpect cycle=8", 0, "over 8 cycles"}, // holds at once
        {"expect within 301 lock \"LOCK  \"\nexpect cycle=309", 0, "over 309 cycles"},
        {"expect within 300 lock \"LOCK  \"", 1,
         "test.scn:4: cycle 308: lock \"LOCK  \" did not show within 300 cycles (screen shows "
         "\"UNLOCK\")"},
        {"expect for 300 lock_state=2\nexpect cycle=308", 0, "over 308 cycles"},
        {"expect for 400 locked=0", 1,
         "test.scn:4: cycle 309: locked=0 did not hold for 400 cycles: not after cycle 301 of them "
         "(state has locked=1)"},
        {"expect for 5 locked=1", 1,
         "test.scn:4: cycle 8: locked=1 did not hold for 5 cycles: not at the start"},
        // Bells count from the previous expect bells up to each cycle checked.
        {"type L\nwait 5\ntype 1\nexpect within 1000 bells 3\nexpect cycle=1015\n"
         "expect within 5 bells 0",
         0, "over 1015 cycles"},
        {"type L\ntype 1\nexpect within 999 bells 3", 1, "bells 3 did not ring within 999"},
    };
    for (const auto& c : cases) {
        const temporary_folder folder;
        const std::string path = folder / "test.scn";
        write_file(path, door_closes + c.steps + "\n");
        const piped p = run_piped(std::string(DOORLOCK_BINARY) + " --scenario " + path);
        EXPECT_EQ(p.status, c.status) << c.steps << "\n" << p.out << p.err;
        EXPECT_NE((p.out + p.err).find(c.says), std::string::npos) << c.steps << "\n"
                                                                   << p.out << p.err;
    }
}

} // namespace
