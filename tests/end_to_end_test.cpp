// The real binary in a pseudo-terminal, its screen read through libvterm, with real time.
#include "pty_screen.h"
#include "temporary_folder.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <iconv.h>
#include <sys/wait.h>

namespace {

using namespace std::chrono_literals;

// ANSI colour indices of the console colours the screen uses.
constexpr int black = 0;
constexpr int yellow = 11;
constexpr int light_blue = 12;
constexpr int bright_white = 15;

class Doorlock : public ::testing::Test {
  protected:
    pty_program program{{DOORLOCK_BINARY}};

    void SetUp() override {
        ASSERT_TRUE(program.wait_for_text(10, 10, "UNLOCK")) << "no first frame";
    }
    // Types one key and waits until `row`, `column` shows `text`.
    void press(const std::string& key, int row, int column, const std::string& text) {
        program.type(key);
        ASSERT_TRUE(program.wait_for_text(row, column, text)) << "after " << key;
    }
    void enter_code(const std::string& digits) {
        std::string shown;
        for (char d : digits) {
            shown += d;
            shown += ' ';
            press(std::string(1, d), 2, 40, shown);
        }
    }
    void expect_clean_exit() {
        const int status = program.wait_exit();
        ASSERT_TRUE(WIFEXITED(status)) << status;
        EXPECT_EQ(WEXITSTATUS(status), 0);
        EXPECT_TRUE(same_terminal_modes(program.modes(), program.modes_at_start()));
        EXPECT_TRUE(program.cursor_visible());
        EXPECT_EQ(program.pen().fg, -1);
        EXPECT_EQ(program.pen().bg, -1);
        EXPECT_EQ(program.cursor_row(), 17); // below the key legend
        EXPECT_EQ(program.cursor_column(), 0);
    }
};

TEST_F(Doorlock, StartScreen) {
    EXPECT_EQ(program.text(1, 20, 15), "비밀번호 상태 :");
    EXPECT_EQ(program.text(2, 18, 19), "입력중인 비밀번호 :");
    EXPECT_EQ(program.text(10, 1, 15), "잠금상태 UNLOCK");
    EXPECT_EQ(program.text(11, 1, 16), "커버상태 :  열림");
    EXPECT_EQ(program.text(12, 1, 16), "문 상태 :   열림");
    EXPECT_EQ(program.text(1, 40, 8), " None   ");
    EXPECT_EQ(program.text(1, 1, 8), "1  2  3 ");
    EXPECT_EQ(program.text(4, 4, 1), "0");
    EXPECT_FALSE(program.cursor_visible());
    for (int column = 1; column <= 8; ++column) {
        EXPECT_EQ(program.colours(2, column).fg, bright_white);
        EXPECT_EQ(program.colours(2, column).bg, light_blue) << "backlight on";
    }
    EXPECT_EQ(program.colours(10, 10).fg, bright_white);
    EXPECT_EQ(program.colours(10, 10).bg, black);
    EXPECT_EQ(program.colours(20, 70).bg, black) << "the whole console is black";
    program.type("q");
    expect_clean_exit();
}

TEST_F(Doorlock, DigitEchoAndHighlight) {
    press("5", 10, 40, "숫자 5 입력");
    ASSERT_TRUE(program.wait_for([&] { return program.colours(2, 4).fg == yellow; }));
    EXPECT_EQ(program.colours(2, 4).bg, light_blue);
    EXPECT_EQ(program.colours(2, 1).fg, bright_white);
    program.type("Q");
    expect_clean_exit();
}

TEST_F(Doorlock, ArrowAndPagingKeysDoNothing) {
    program.type("\x1b"); // a lone ESC, with nothing after it for a while
    program.pause(100ms);
    // Left arrow ends in D, PgDn's Windows scan code is Q, Alt+q is ESC q.
    program.type("\x1b[D\x1b[6~\x1bOD\x1bq\x1b[1;5D\xed\x95\x9c\x1b[3~c");
    ASSERT_TRUE(program.wait_for_text(11, 12, " 닫힘")) << "the C after them counts";
    EXPECT_TRUE(program.running());
    EXPECT_EQ(program.text(12, 12, 5), " 열림");
    EXPECT_EQ(program.text(10, 40, 20), "cover sensor 입력   ");
    program.type("Q");
    expect_clean_exit();
}

TEST_F(Doorlock, RegisterLockUnlockAndAWrongCode) {
    enter_code("1357");
    ASSERT_TRUE(program.wait_for_text(1, 40, "1 3 5 7 "));
    ASSERT_TRUE(program.wait_for_text(2, 40, "        "));
    press("L", 10, 10, "LOCK  ");
    EXPECT_EQ(program.text(10, 20, 7), "잠갔음!");

    enter_code("1357");
    ASSERT_TRUE(program.wait_for_text(14, 1, "Sound 1"));
    EXPECT_EQ(program.text(10, 10, 6), "UNLOCK");
    EXPECT_EQ(program.text(10, 20, 7), "열었음!");
    EXPECT_EQ(program.bells(), 1);

    press("l", 10, 10, "LOCK  ");
    program.pause(50ms); // digits in the two cycles after a comparison are lost
    enter_code("1358");
    ASSERT_TRUE(program.wait_for_text(14, 1, "Sound 2"));
    EXPECT_EQ(program.text(10, 10, 6), "LOCK  ");
    EXPECT_EQ(program.bells(), 3);
    program.type("q");
    expect_clean_exit();
}

TEST_F(Doorlock, ClosedCoverHidesThePad) {
    press("c", 11, 12, " 닫힘");
    ASSERT_TRUE(program.wait_for([&] { return program.colours(1, 1).fg == black; }));
    EXPECT_EQ(program.colours(1, 1).bg, black) << "cover closed, backlight off";
    press("C", 11, 12, " 열림");
    ASSERT_TRUE(program.wait_for([&] { return program.colours(1, 1).bg == light_blue; }));
    EXPECT_EQ(program.colours(1, 1).fg, bright_white);
    program.type("q");
    expect_clean_exit();
}

TEST_F(Doorlock, LocksAboutThreeSecondsAfterTheDoorCloses) {
    enter_code("2222");
    ASSERT_TRUE(program.wait_for_text(1, 40, "2 2 2 2 "));
    const auto closed_at = pty_program::clock::now();
    press("D", 12, 12, " 닫힘");
    ASSERT_TRUE(program.wait_for_text(10, 10, "LOCK  ", 6s));
    const auto took = pty_program::clock::now() - closed_at;
    EXPECT_GE(took, 2900ms);
    EXPECT_LE(took, 4000ms);
    program.type("K");
    ASSERT_TRUE(program.wait_for_text(10, 10, "UNLOCK"));
    program.type("q");
    expect_clean_exit();
}

TEST_F(Doorlock, InterruptGivesTheTerminalBack) {
    program.send_signal(SIGINT);
    const int status = program.wait_exit();
    ASSERT_TRUE(WIFSIGNALED(status));
    EXPECT_EQ(WTERMSIG(status), SIGINT);
    EXPECT_TRUE(same_terminal_modes(program.modes(), program.modes_at_start()));
    EXPECT_TRUE(program.cursor_visible());
    EXPECT_EQ(program.cursor_row(), 17); // below the key legend
}

TEST(DoorlockLiveView, LeavesTheLocksScreenAsItIs) {
    std::vector<std::vector<std::string>> texts;
    std::vector<std::vector<int>> colours;
    for (bool with_states : {false, true}) {
        std::vector<std::string> args = {DOORLOCK_BINARY};
        if (with_states) {
            args.push_back("--states");
        }
        pty_program program{args};
        ASSERT_TRUE(program.wait_for_text(10, 10, "UNLOCK"));
        program.type("4");
        ASSERT_TRUE(program.wait_for_text(2, 40, "4 "));
        program.type("c");
        ASSERT_TRUE(program.wait_for_text(11, 12, " 닫힘"));
        program.pause(30ms);
        std::vector<std::string> rows;
        std::vector<int> cells;
        for (int row = 0; row <= 16; ++row) {
            rows.push_back(program.text(row, 0, 80));
            for (int column = 0; column < 80; ++column) {
                cells.push_back(program.colours(row, column).fg * 100 +
                                program.colours(row, column).bg);
            }
        }
        texts.push_back(rows);
        colours.push_back(cells);
        EXPECT_EQ(program.text(16, 1, 17), "0-9 숫자 입력   L");
        EXPECT_EQ(program.text(18, 1, 16) == "pw    0 idle    ", with_states);
        program.type("q");
        ASSERT_EQ(program.wait_exit(), 0);
        EXPECT_EQ(program.cursor_row(), with_states ? 23 : 17) << "below everything drawn";
    }
    EXPECT_EQ(texts[0], texts[1]);
    EXPECT_EQ(colours[0], colours[1]);
}

// The EUC-KR bytes of a UTF-8 text.
std::string to_euc_kr(const std::string& utf8) {
    iconv_t cd = iconv_open("EUC-KR", "UTF-8");
    std::string out(utf8.size(), '\0');
    char* in = const_cast<char*>(utf8.data());
    std::size_t in_left = utf8.size();
    char* to = out.data();
    std::size_t to_left = out.size();
    iconv(cd, &in, &in_left, &to, &to_left);
    iconv_close(cd);
    out.resize(out.size() - to_left);
    return out;
}

TEST(DoorlockEncoding, KoreanTextsInEucKrWhereTheLocaleSaysSo) {
    const temporary_folder folder;
    const char* dir = folder.path().c_str();
    const std::string make_locale =
        std::string("localedef -i ko_KR -f EUC-KR ") + dir + "/ko_KR.EUC-KR >/dev/null 2>&1";
    if (std::system(make_locale.c_str()) != 0) {
#ifdef DOORLOCK_REQUIRE_TESTS
        FAIL() << "no ko_KR locale source to build an EUC-KR locale from (package locales)";
#else
        GTEST_SKIP() << "no ko_KR locale source to build an EUC-KR locale from (package locales)";
#endif
    }
    pty_program program{{DOORLOCK_BINARY}, {std::string("LOCPATH=") + dir, "LANG=ko_KR.EUC-KR"}};
    ASSERT_TRUE(
        program.wait_for([&] { return program.output().find("UNLOCK") != std::string::npos; }));
    program.type("5");
    ASSERT_TRUE(program.wait_for(
        [&] { return program.output().find(to_euc_kr("숫자 5 입력")) != std::string::npos; }));
    for (const char* text : {"비밀번호 상태 :", "잠금상태", "열림"}) {
        EXPECT_NE(program.output().find(to_euc_kr(text)), std::string::npos) << text;
        EXPECT_EQ(program.output().find(text), std::string::npos) << text << " in UTF-8";
    }
    program.type("q");
    EXPECT_EQ(program.wait_exit(), 0);
}

TEST(DoorlockCommandLine, HelpVersionAndBadArguments) {
    const temporary_folder folder;
    const std::string properties = folder / "reachable.txt";
    std::FILE* file = std::fopen(properties.c_str(), "w");
    ASSERT_NE(file, nullptr);
    std::fputs("reachable sound=3\n", file); // 1,001 cycles away
    std::fclose(file);
    const struct {
        std::vector<std::string> args;
        int status;
        const char* says;
    } cases[] = {
        {{DOORLOCK_BINARY, "--help"}, 0, "Usage: doorlock"},
        {{DOORLOCK_BINARY, "--help"}, 0, "--states"},
        {{DOORLOCK_BINARY, "--version"}, 0, "doorlock 1."},
        {{DOORLOCK_BINARY, "--frobnicate"},
         2,
         "doorlock: unknown argument '--frobnicate'\r\n"
         "Try 'doorlock --help' for more information.\r\n"},
        {{DOORLOCK_BINARY, "--trace", "a.vcd", "--trace", "b.vcd"}, 2, "--trace is given twice"},
        {{DOORLOCK_BINARY, "--explore", "--max-states"}, 2, "--max-states needs a value\r\n"},
        {{DOORLOCK_BINARY, "--explore", "--max-states", "0"},
         2,
         "wants a number of states\r\nTry 'doorlock --help'"},
        {{DOORLOCK_BINARY, "--explore", "--digits", "00"}, 2, "distinct digits"},
        {{DOORLOCK_BINARY, "--explore", "--max-memory", "x"}, 2, "such as 1500M or 4G"},
        // A limit that stops the search first leaves a reachable unknown, not unreachable.
        {{DOORLOCK_BINARY, "--explore", "--single-keys", "--digits", "0", "--max-states", "1000",
          "--properties", properties},
         3,
         "not reached in 1,000 states so far: "},
    };
    for (const auto& c : cases) {
        pty_program program{c.args};
        const int status = program.wait_exit();
        ASSERT_TRUE(WIFEXITED(status));
        EXPECT_EQ(WEXITSTATUS(status), c.status) << c.args[1];
        EXPECT_NE(program.output().find(c.says), std::string::npos) << program.output();
        if (c.status == 2) {
            EXPECT_EQ(program.output().find("Usage"), std::string::npos)
                << "one line, not the help";
            EXPECT_NE(program.output().find("Try 'doorlock --help'"), std::string::npos)
                << program.output();
        }
    }
}

} // namespace
