// The keypad panel and the status panel against the in-memory screen.
#include "UI.h"
#include "determine_signal.h"
#include "platform.h"
#include "test_platform.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

class Panels : public ::testing::Test {
  protected:
    void SetUp() override {
        reset_console_under_test();
        num_pad_forget();
    }
    memory_console& con = console_under_test();
    lock_status status{0, 0};
    pw_buffer buffer{{0, 0, 0, 0}, nullptr, 0};

    // Every cell of the pad that shows a digit, with the attribute expected there.
    void expect_pad(std::uint16_t base, int highlighted = -1, std::uint16_t highlight = 0) {
        for (int d = 0; d <= 9; ++d) {
            const int column = d == 0 ? 4 : (d - 1) % 3 * 3 + 1;
            const int row = d == 0 ? 4 : (d - 1) / 3 + 1;
            EXPECT_EQ(screen_text(column, row, 1), std::string(1, static_cast<char>('0' + d)));
            EXPECT_EQ(screen_attribute(column, row), d == highlighted ? highlight : base)
                << "digit " << d;
        }
    }
};

TEST_F(Panels, StartScreenCellByCell) {
    console_clear();
    console_colour_bright_white();
    draw_labels();
    num_pad_ui(empty_value, open_unchanged, 1);
    showState(&status, 0, &buffer, open_unchanged, open_unchanged);

    const auto blanks = [](int n) { return std::string(static_cast<std::size_t>(n), ' '); };
    const struct {
        int row, width;
        std::string text;
    } expected[] = {
        {1, 48, " 1  2  3 " + blanks(11) + "비밀번호 상태 :" + blanks(5) + " None  " + blanks(1)},
        {2, 48, " 4  5  6 " + blanks(9) + "입력중인 비밀번호 :" + blanks(3) + blanks(8)},
        {3, 10, " 7  8  9  "},
        {4, 10, "    0     "},
        // The lock state covers the label's colon.
        {10, 30, " 잠금상태 UNLOCK" + blanks(14)},
        {11, 18, " 커버상태 :  열림 "},
        {12, 18, " 문 상태 :   열림 "},
        {14, 10, blanks(10)},
    };
    for (const auto& e : expected) {
        EXPECT_EQ(screen_text(0, e.row, e.width), e.text) << "row " << e.row;
    }
    // The pad's blanks take its attribute too; everything else is plain.
    EXPECT_EQ(screen_attribute(2, 1), 159);
    EXPECT_EQ(screen_attribute(8, 3), 159);
    EXPECT_EQ(screen_attribute(0, 1), 15);
    EXPECT_EQ(screen_attribute(9, 1), 15);
    EXPECT_EQ(screen_attribute(10, 10), 15);
    EXPECT_EQ(screen_attribute(40, 1), 15);
    expect_pad(159);
    EXPECT_EQ(con.screen.attribute, 15);
}

TEST_F(Panels, PadAttributesFollowCoverAndBacklight) {
    const struct {
        sensor_input cover;
        std::uint8_t backlight;
        int digit;
        std::uint16_t base;
        std::uint16_t highlight;
    } cases[] = {
        {open_unchanged, 0, 0, 15, 14},        {open_unchanged, 1, 5, 159, 158},
        {closed_unchanged, 0, 9, 0, 14},       {closed_unchanged, 1, 1, 144, 158},
        {became_closed, 0, empty_value, 0, 0},
    };
    for (const auto& c : cases) {
        SetUp();
        num_pad_ui(empty_value, closed_unchanged, 1); // a drawing unlike the case's
        num_pad_ui(c.digit, c.cover, c.backlight);
        expect_pad(c.base, c.digit, c.highlight);
        EXPECT_EQ(con.screen.attribute, 15);
    }
}

TEST_F(Panels, RedrawsOnlyForADigitOrAChange) {
    num_pad_ui(5, open_unchanged, 1);
    const auto redraw_ops = con.ops.size();
    EXPECT_GT(redraw_ops, 10u);

    con.ops.clear();
    num_pad_ui(empty_value, open_unchanged, 1);
    EXPECT_EQ(con.ops, std::vector<console_op>{console_op::attribute});
    EXPECT_EQ(screen_attribute(4, 2), 158) << "the highlight stays until the next redraw";

    for (int digit : {5, 5}) {
        con.ops.clear();
        num_pad_ui(digit, open_unchanged, 1);
        EXPECT_EQ(con.ops.size(), redraw_ops) << "the same digit twice redraws twice";
    }
    con.ops.clear();
    num_pad_ui(empty_value, open_unchanged, 0);
    EXPECT_GT(con.ops.size(), 1u) << "the backlight went off";
    expect_pad(15);
    con.ops.clear();
    num_pad_ui(empty_value, became_closed, 0);
    expect_pad(0);
}

TEST_F(Panels, StatusFieldsKeepTheirWidths) {
    pw_code code{{9, 0, 1, 7}};
    const struct {
        std::int32_t count;
        const char* entered;
    } cases[] = {{0, "        "}, {2, "3 1     "}, {4, "3 1 4 1 "}, {-1, "        "}};
    buffer.digits[0] = 3;
    buffer.digits[1] = 1;
    buffer.digits[2] = 4;
    buffer.digits[3] = 1;
    buffer.registered = &code;
    for (const auto& c : cases) {
        for (int column = 40; column < 50; ++column) {
            con.screen.cells[2][column].character = U'#';
        }
        buffer.count = c.count;
        showState(&status, 0, &buffer, closed_unchanged, became_closed);
        EXPECT_EQ(screen_text(40, 2, 9), std::string(c.entered) + "#") << c.count;
    }
    EXPECT_EQ(screen_text(40, 1, 8), "9 0 1 7 ");
    EXPECT_EQ(screen_text(12, 11, 5), " 닫힘");
    EXPECT_EQ(screen_text(12, 12, 5), " 닫힘");
}

TEST_F(Panels, LockStateAndItsLastAction) {
    const struct {
        lock_status status;
        const char* state;
        const char* action;
    } cases[] = {
        {{0, 0}, "UNLOCK", "       "},
        {{1, 1}, "LOCK  ", "잠갔음!"},
        {{1, 0}, "UNLOCK", "열었음!"},
        {{0, 2}, "      ", "       "}, // no other value writes anything
    };
    for (const auto& c : cases) {
        SetUp();
        showState(&c.status, 0, &buffer, open_unchanged, open_unchanged);
        EXPECT_EQ(screen_text(10, 10, 6), c.state);
        EXPECT_EQ(screen_text(20, 10, 7), c.action);
    }
}

TEST_F(Panels, EachSoundRingsItsBellsOnce) {
    for (int code : {1, 2, 3, 0, 4}) {
        SetUp();
        EXPECT_EQ(sound_display(static_cast<std::uint8_t>(code)), 0);
        const bool sounds = code >= 1 && code <= 3;
        EXPECT_EQ(con.screen.bells, sounds ? code : 0);
        EXPECT_EQ(screen_text(1, 14, 7), sounds ? "Sound " + std::to_string(code) : "       ");
    }
}

} // namespace
