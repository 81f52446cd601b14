// Splitting keyboard bytes into key presses, and console colours as terminal sequences.
#include "platform.h"
#include "platform_posix.h"

#include <gtest/gtest.h>

#include <string>
#include <unistd.h>
#include <vector>

namespace {

std::size_t length_of(const std::string& bytes, bool more_may_come) {
    return key_press_length(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size(),
                            more_may_come);
}

TEST(KeyPressLength, SequencesAreOneKeyPress) {
    const struct {
        const char* what;
        std::string bytes;
        std::size_t length;
    } cases[] = {
        {"plain letter", "Dx", 1},
        {"left arrow", "\x1b[D", 3},
        {"up arrow then a key", "\x1b[AQ", 3},
        {"application cursor key", "\x1bOD", 3},
        {"F1", "\x1bOP", 3},
        {"F5", "\x1b[15~", 5},
        {"Ctrl+F12", "\x1b[24;5~q", 7},
        {"Shift+Delete", "\x1b[3;2~", 6},
        {"Page Down", "\x1b[6~", 4},
        {"Home (linux console)", "\x1b[1~", 4},
        {"Alt+q", "\x1bq", 2},
        {"ESC ESC", "\x1b\x1b", 1},
        {"SGR mouse report", "\x1b[<0;12;5M", 10},
        {"X10 mouse report", "\x1b[M qQ", 6},
        {"bracketed paste start", "\x1b[200~12", 6},
        {"Hangul syllable", "\xed\x95\x9c", 3},
        {"two-byte character", "\xc3\xa9Q", 2},
        {"four-byte character", "\xf0\x9f\x94\x91", 4},
        {"broken character", "\xed\x51", 1},
        {"stray continuation byte", "\x80Q", 1},
        {"invalid lead byte", "\xffQ", 1},
        {"sequence cut by a control", "\x1b[12\x03", 4},
        {"overlong sequence", "\x1b[" + std::string(60, '1') + "~", 31},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(length_of(c.bytes, true), c.length) << c.what;
    }
}

TEST(KeyPressLength, IncompleteSequenceWaitsUnlessNothingMoreComes) {
    for (const std::string prefix : {"\x1b", "\x1b[", "\x1b[1;5", "\x1bO", "\xed\x95", "\x1b[M "}) {
        EXPECT_EQ(length_of(prefix, true), 0u) << prefix.size();
        EXPECT_EQ(length_of(prefix, false), prefix.size()) << prefix.size();
    }
}

// Standard input replaced by a pipe holding `bytes`, for the length of one test.
class piped_input {
  public:
    explicit piped_input(const std::string& bytes) {
        int ends[2];
        EXPECT_EQ(pipe(ends), 0);
        EXPECT_EQ(write(ends[1], bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
        close(ends[1]);
        saved_ = dup(0);
        dup2(ends[0], 0);
        close(ends[0]);
    }
    ~piped_input() {
        dup2(saved_, 0);
        close(saved_);
    }

  private:
    int saved_ = -1;
};

TEST(KeyReader, ReadsOneKeyPressAtATimeAndQuitsAtTheEndOfInput) {
    piped_input input("1\x1b[D\x1bOPl\xed\x95\x9c\x1b\x1b[6~\xff"
                      "c\x1b");
    use_platform(terminal_platform);
    std::vector<int> keys;
    while (key_waiting()) {
        keys.push_back(read_key());
        if (keys.back() == 'Q' || keys.size() > 20) {
            break;
        }
    }
    const std::vector<int> expected = {'1',  key_no_command, key_no_command, 'l', key_no_command,
                                       0x1b, key_no_command, 0xff,           'c', 0x1b,
                                       'Q'};
    EXPECT_EQ(keys, expected);
}

TEST(SgrSequence, ConsoleColoursMapToAnsiColours) {
    // Console colour n and the ANSI colour index it must show as: blue and red trade places.
    const int ansi_of_console[16] = {0, 4, 2, 6, 1, 5, 3, 7, 8, 12, 10, 14, 9, 13, 11, 15};
    for (int fg = 0; fg < 16; ++fg) {
        for (int bg = 0; bg < 16; ++bg) {
            char out[16];
            const std::size_t n = sgr_sequence(static_cast<std::uint16_t>(bg * 16 + fg), out);
            const int a = ansi_of_console[fg];
            const int b = ansi_of_console[bg];
            const std::string expected = "\x1b[" + std::to_string(a < 8 ? 30 + a : 90 + a - 8) +
                                         ";" + std::to_string(b < 8 ? 40 + b : 100 + b - 8) + "m";
            EXPECT_EQ(std::string(out, n), expected) << bg * 16 + fg;
        }
    }
    char out[16];
    EXPECT_EQ(std::string(out, sgr_sequence(159, out)), "\x1b[97;104m");
    EXPECT_EQ(std::string(out, sgr_sequence(14, out)), "\x1b[93;40m");
    EXPECT_EQ(std::string(out, sgr_sequence(144, out)), "\x1b[30;104m");
}

} // namespace
