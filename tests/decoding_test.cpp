// Input decoding into the signal set, and the keyboard commands of a polling window.
#include "determine_signal.h"
#include "platform.h"
#include "test_platform.h"

#include <gtest/gtest.h>

#include <array>
#include <memory>

namespace {

struct signal_set_deleter {
    void operator()(signal_set* signals) const { release_signals(signals); }
};
using owned_signals = std::unique_ptr<signal_set, signal_set_deleter>;

// What one cycle's signal set carries: lock button, then the five events in index order, then
// the keypad.
struct raised_signals {
    int lock_button;
    std::array<int, 5> events;
    int pressed;
    int value;
};

raised_signals read_signals(const signal_set* s) {
    raised_signals r{s->lock_button, {}, s->keypad->pressed, s->keypad->value};
    for (int i = 0; i < 5; ++i) {
        r.events[static_cast<std::size_t>(i)] = s->events->raised[i];
    }
    return r;
}

struct decoding_case {
    const char* what;
    std::uint8_t button;
    sensor_input door;
    std::uint8_t key;
    sensor_input cover;
    unsigned digit;
    raised_signals expected;
};

constexpr std::array<int, 5> none{0, 0, 0, 0, 0};

const decoding_case decoding_cases[] = {
    {"nothing happened", 0, 2, 0, 2, 255, {0, none, 0, 0}},
    {"lock button", 1, 2, 0, 2, 255, {1, none, 0, 0}},
    {"button beats a door closing", 1, 1, 0, 2, 255, {1, none, 0, 0}},
    {"door opened", 0, 0, 0, 2, 255, {0, {0, 1, 0, 0, 0}, 0, 0}},
    {"door closed", 0, 1, 0, 3, 255, {0, {0, 0, 1, 0, 0}, 0, 0}},
    {"door opening beats the key", 0, 0, 1, 2, 255, {0, {0, 1, 0, 0, 0}, 0, 0}},
    {"key turned", 0, 3, 1, 2, 255, {0, {1, 0, 0, 0, 0}, 0, 0}},
    {"key beats a cover closing", 0, 2, 1, 1, 255, {0, {1, 0, 0, 0, 0}, 0, 0}},
    {"a toggle of 2 is no press", 2, 2, 2, 0, 255, {0, {0, 0, 0, 1, 0}, 0, 0}},
    {"cover closed", 0, 2, 0, 1, 255, {0, {0, 0, 0, 0, 1}, 0, 0}},
    {"cover opened drops the digit", 0, 2, 0, 0, 7, {0, {0, 0, 0, 1, 0}, 0, 0}},
    {"digit with the cover steady", 0, 2, 0, 2, 7, {0, none, 1, 7}},
    {"digit 0", 0, 3, 0, 3, 0, {0, none, 1, 0}},
    {"digit dropped under a button press", 1, 2, 0, 2, 4, {1, none, 0, 0}},
    {"no digit above 9", 0, 2, 0, 2, 10, {0, none, 0, 0}},
};

TEST(Determine, RaisesAtMostOneSignalInOrderOfPrecedence) {
    for (const decoding_case& c : decoding_cases) {
        owned_signals signals{determine(c.button, c.door, c.key, c.cover, c.digit, nullptr)};
        const raised_signals got = read_signals(signals.get());
        EXPECT_EQ(got.lock_button, c.expected.lock_button) << c.what;
        EXPECT_EQ(got.events, c.expected.events) << c.what;
        EXPECT_EQ(got.pressed, c.expected.pressed) << c.what;
        EXPECT_EQ(got.value, c.expected.value) << c.what;
    }
}

TEST(Determine, FirstCallCreatesAZeroedSetAndLaterCallsKeepIt) {
    signal_set* first = determine(0, 2, 0, 2, 255, nullptr);
    owned_signals signals{first};
    ASSERT_NE(first->control, nullptr);
    ASSERT_NE(first->control->buffer, nullptr);
    EXPECT_EQ(first->control->locked, 0);
    EXPECT_EQ(first->control->buffer->registered, nullptr);
    EXPECT_EQ(first->control->buffer->count, 0);
    for (std::int32_t d : first->control->buffer->digits) {
        EXPECT_EQ(d, 0);
    }
    EXPECT_EQ(determine(0, 2, 0, 2, 3, first), first);
    EXPECT_EQ(first->keypad->value, 3);
}

TEST(Determine, EndOfCycleClearLeavesOnlyLastingState) {
    owned_signals signals{determine(1, 2, 0, 2, 255, nullptr)};
    signals->control->locked = 1;
    signals->control->buffer->count = 2;
    determine(0, 0, 1, 1, 5, signals.get()); // adds door_opened
    signals->events->raised[key_sensor] = 1;
    signals->events->raised[cover_closed] = 1;
    signals->keypad->pressed = 1;
    signals->keypad->value = 255;
    init_bss(signals.get());
    const raised_signals got = read_signals(signals.get());
    EXPECT_EQ(got.lock_button, 0);
    EXPECT_EQ(got.events, none);
    EXPECT_EQ(got.pressed, 0);
    EXPECT_EQ(got.value, 0);
    EXPECT_EQ(signals->control->locked, 1);
    EXPECT_EQ(signals->control->buffer->count, 2);
}

class KeyHandling : public ::testing::Test {
  protected:
    void SetUp() override { reset_console_under_test(); }
    loop_state loop;
    // Echo at (40, 10) as it reads on the screen, 20 columns.
    std::string echo() const { return screen_text(40, 10, 20); }
};

TEST_F(KeyHandling, EveryCommandInEitherCase) {
    struct key_case {
        int key;
        const char* echo;
    };
    const key_case cases[] = {
        {'L', "Lock Button 입력    "}, {'l', "Lock Button 입력    "}, {'D', "door sensor 입력    "},
        {'d', "door sensor 입력    "}, {'K', "key sensor 입력     "}, {'k', "key sensor 입력     "},
        {'C', "cover sensor 입력   "}, {'c', "cover sensor 입력   "}, {'7', "숫자 7 입력         "},
    };
    for (const key_case& c : cases) {
        reset_console_under_test();
        loop = loop_state{};
        EXPECT_FALSE(handle_key(loop, c.key));
        EXPECT_EQ(echo(), c.echo) << static_cast<char>(c.key);
    }
    EXPECT_TRUE(handle_key(loop, 'Q'));
    EXPECT_TRUE(handle_key(loop, 'q'));
}

TEST_F(KeyHandling, CommandsChangeTheWindowsRawInputs) {
    handle_key(loop, 'l');
    handle_key(loop, 'k');
    handle_key(loop, 'd');
    handle_key(loop, 'C');
    handle_key(loop, '4');
    EXPECT_EQ(loop.button_toggle, 1);
    EXPECT_EQ(loop.key_toggle, 1);
    EXPECT_EQ(loop.door_input, became_closed);
    EXPECT_EQ(loop.cover_input, became_closed);
    EXPECT_EQ(loop.digit, 255) << "the cover was closed before the digit";
    // The line break after an echo leaves the cursor at the start of the next row.
    EXPECT_EQ(console_under_test().screen.row, 10);
}

TEST_F(KeyHandling, TwoPressesInOneWindowCancelAndTheLastDigitWins) {
    for (int key : {'L', 'L', 'K', 'k', 'D', 'd', 'C', 'c', '3', '8'}) {
        handle_key(loop, key);
    }
    EXPECT_EQ(loop.button_toggle, 0);
    EXPECT_EQ(loop.key_toggle, 0);
    EXPECT_EQ(loop.door_input, open_unchanged);
    EXPECT_EQ(loop.cover_input, open_unchanged);
    EXPECT_EQ(loop.digit, 8);
}

TEST_F(KeyHandling, DroppedKeysMoveTheCursorButEchoNothing) {
    loop.cover_input = closed_unchanged;
    loop.status.locked = 1;
    for (int key : {int{'5'}, int{'D'}, key_no_command, 0x1b, int{'x'}, 0xD1}) {
        console_under_test().screen.column = 0;
        console_under_test().screen.row = 0;
        handle_key(loop, key);
        EXPECT_EQ(console_under_test().screen.column, 40) << key;
        EXPECT_EQ(console_under_test().screen.row, 10) << key;
    }
    EXPECT_EQ(echo(), std::string(20, ' '));
    EXPECT_EQ(loop.digit, 255);
    EXPECT_EQ(loop.door_input, open_unchanged);
}

TEST_F(KeyHandling, OnlyTheLowByteOfAKeyCodeCounts) {
    EXPECT_TRUE(handle_key(loop, 0x151)); // low byte 'Q'
    EXPECT_FALSE(handle_key(loop, key_no_command));
    EXPECT_FALSE(handle_key(loop, 0x11)); // Ctrl-Q is no Q
    EXPECT_FALSE(handle_key(loop, 0xF1));
}

} // namespace
