// Scenario files: a file with an error is rejected whole before anything runs; an expectation that
// does not hold stops the run and says where; a recorded session replays to the same screen.
#include "pty_screen.h"
#include "temporary_folder.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
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

} // namespace
