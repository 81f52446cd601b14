// The four controllers on their own, as scenarios over cycles.
#include "Light_Controller.h"
#include "Lock_Controller.h"
#include "Sound_Controller.h"
#include "determine_signal.h"
#include "pw_control2.h"
#include "test_platform.h"

#include <gtest/gtest.h>

#include <limits>
#include <vector>

namespace {

constexpr int no_digit = -1;

// The password controller with the records it works on, one call per cycle.
struct password_rig {
    key_input keypad{0, 0};
    pw_buffer buffer{{0, 0, 0, 0}, nullptr, 0};
    pw_control control{0, &buffer};
    std::uint32_t state = pw_idle;
    std::int32_t timer = 0;
    std::uint8_t key_clicked = 0;
    std::uint8_t pw_result = empty_value;

    ~password_rig() { delete buffer.registered; }

    int cycle(int digit = no_digit, bool cover_closed = false) {
        if (digit != no_digit) {
            keypad = {digit, 1};
        }
        key_clicked = 0;
        pw_result = empty_value;
        const int result = pw_controller(state, &control, &keypad, cover_closed ? 1 : 0,
                                         key_clicked, pw_result, timer);
        keypad = {0, 0};
        return result;
    }
    void enter(std::initializer_list<int> digits) {
        for (int d : digits) {
            cycle(d);
        }
    }
    void register_code(std::initializer_list<int> digits) {
        enter(digits);
        cycle();
        cycle();
        cycle();
        ASSERT_EQ(state, pw_idle);
        ASSERT_NE(buffer.registered, nullptr);
    }
};

TEST(PasswordController, FirstFourDigitsRegisterTheCodeOneCycleLater) {
    password_rig pw;
    const int digits[] = {1, 9, 0, 4};
    for (int i = 0; i < 4; ++i) {
        pw.cycle(digits[i]);
        EXPECT_EQ(pw.buffer.count, i + 1);
        EXPECT_EQ(pw.key_clicked, 1);
        EXPECT_EQ(pw.keypad.pressed, 0);
    }
    EXPECT_EQ(pw.buffer.registered, nullptr) << "not before the cycle after the fourth digit";
    pw.cycle(7); // arrives in the registering cycle: lost
    EXPECT_EQ(pw.state, pw_registered);
    EXPECT_EQ(pw.pw_result, empty_value);
    EXPECT_EQ(pw.key_clicked, 0);
    ASSERT_NE(pw.buffer.registered, nullptr);
    EXPECT_EQ(std::vector<int>(pw.buffer.registered->digits, pw.buffer.registered->digits + 4),
              std::vector<int>({1, 9, 0, 4}));
    pw.cycle(7);
    EXPECT_EQ(pw.buffer.count, 0);
    EXPECT_EQ(pw.state, pw_resetting);
    pw.control.locked = 1; // so that an entry may begin again
    pw.cycle(7);
    EXPECT_EQ(pw.state, pw_idle);
    EXPECT_EQ(pw.key_clicked, 0) << "digits in the two cycles after a registration are lost";
    pw.cycle(7);
    EXPECT_EQ(pw.buffer.count, 1) << "the third cycle after it takes a digit again";
}

TEST(PasswordController, ComparesWhileLockedAndReportsForOneCycle) {
    password_rig pw;
    pw.register_code({2, 5, 8, 0});
    pw.control.locked = 1;
    pw.enter({2, 5, 8, 0});
    pw.cycle(6); // a fifth digit in the cycle of the comparison
    EXPECT_EQ(pw.pw_result, 1);
    EXPECT_EQ(pw.key_clicked, 0);
    EXPECT_EQ(pw.state, pw_compared);
    pw.cycle();
    EXPECT_EQ(pw.pw_result, empty_value);
    pw.cycle();
    pw.enter({2, 5, 8, 1});
    pw.cycle();
    EXPECT_EQ(pw.pw_result, 0);
}

TEST(PasswordController, NoEntryBeginsWhileUnlockedWithACode) {
    password_rig pw;
    pw.register_code({1, 1, 1, 1});
    for (int d : {1, 2, 3}) {
        pw.cycle(d);
        EXPECT_EQ(pw.key_clicked, 0);
        EXPECT_EQ(pw.state, pw_idle);
        EXPECT_EQ(pw.buffer.count, 0);
    }
}

TEST(PasswordController, EntryUnderWayWhenUnlockedTakesConsecutiveDigitsThenStops) {
    password_rig pw;
    pw.register_code({1, 2, 3, 4});
    pw.control.locked = 1;
    pw.enter({1, 2});
    pw.control.locked = 0; // the key unlocked meanwhile
    pw.cycle(3);
    EXPECT_EQ(pw.buffer.count, 3);
    pw.cycle(4);
    EXPECT_EQ(pw.buffer.count, 4);
    pw.cycle();
    EXPECT_EQ(pw.buffer.count, 0);
    EXPECT_EQ(pw.state, pw_resetting);
    EXPECT_EQ(pw.pw_result, empty_value);
}

TEST(PasswordController, ClosingTheCoverAbandonsTheEntry) {
    password_rig pw;
    pw.enter({1, 2, 3, 4});
    pw.cycle(no_digit, true);
    EXPECT_EQ(pw.buffer.count, 0);
    EXPECT_EQ(pw.buffer.registered, nullptr);
    pw.cycle();
    pw.register_code({5, 6, 7, 8});
    EXPECT_EQ(pw.buffer.registered->digits[0], 5);

    pw.control.locked = 1;
    pw.enter({5, 6, 7, 8});
    pw.cycle(no_digit, true);
    EXPECT_EQ(pw.pw_result, empty_value) << "no comparison once the cover closed";
    EXPECT_EQ(pw.state, pw_resetting);
}

TEST(PasswordController, InactivityAbandonsInThe1000thCycleAfterTheLastDigit) {
    password_rig pw;
    pw.enter({3, 3});
    for (int i = 1; i < pw_entry_limit; ++i) {
        pw.cycle();
        ASSERT_EQ(pw.buffer.count, 2) << "cycle " << i;
    }
    pw.cycle();
    EXPECT_EQ(pw.buffer.count, 0);
    EXPECT_EQ(pw.state, pw_resetting);
    EXPECT_EQ(pw.buffer.digits[0], 3) << "digits stay; only the count is reset";
}

TEST(PasswordController, StateOutOfRangeIsReportedEveryCycle) {
    reset_console_under_test();
    password_rig pw;
    pw.state = 7;
    EXPECT_EQ(pw.cycle(1), -1);
    EXPECT_EQ(pw.cycle(), -1);
    EXPECT_EQ(pw.state, 7u);
    EXPECT_EQ(console_under_test().text, "pw_state errorpw_state error");
    EXPECT_EQ(pw.buffer.count, 0);
}

// The lock controller with its records; each cycle checks the mirror into pw_control.
struct lock_rig {
    pw_code code{{1, 2, 3, 4}};
    pw_buffer buffer{{0, 0, 0, 0}, &code, 0};
    pw_control control{0, &buffer};
    sensor_events events{};
    lock_status status{0, 0};
    std::uint32_t state = lock_unlocked;
    std::int32_t timer = 0;

    void cycle(std::uint8_t button = 0, std::uint8_t pw_result = empty_value, int event = -1) {
        if (event >= 0) {
            events.raised[event] = 1;
        }
        lock_controller(state, timer, &control, &events, button, pw_result, &status);
        events = {};
        EXPECT_EQ(control.locked, status.locked);
    }
    void idle(int cycles) {
        for (int i = 0; i < cycles; ++i) {
            cycle();
        }
    }
};

TEST(LockController, NeverLocksWithoutACode) {
    lock_rig lock;
    lock.buffer.registered = nullptr;
    lock.cycle(1);
    lock.cycle(0, empty_value, door_closed);
    lock.idle(400);
    lock.cycle(1);
    EXPECT_EQ(lock.state, lock_unlocked);
    EXPECT_EQ(lock.status.locked, 0);
    EXPECT_EQ(lock.status.changed, 0);
}

TEST(LockController, LocksInThe301stCycleAfterTheDoorClosed) {
    lock_rig lock;
    lock.cycle(0, empty_value, door_closed);
    EXPECT_EQ(lock.state, lock_closing);
    // The key, digits' outcomes and the cover do not disturb the countdown.
    lock.cycle(0, 1, key_sensor);
    lock.cycle(0, 0, cover_closed);
    lock.idle(auto_lock_limit - 2);
    EXPECT_EQ(lock.status.locked, 0) << "cycle 300";
    lock.cycle();
    EXPECT_EQ(lock.status.locked, 1) << "cycle 301";
    EXPECT_EQ(lock.status.changed, 1);
    EXPECT_EQ(lock.state, lock_locked);
}

TEST(LockController, OpeningTheDoorStopsTheCountdownAndAFreshCloseRestartsIt) {
    lock_rig lock;
    lock.cycle(0, empty_value, door_closed);
    lock.idle(100);
    lock.cycle(0, empty_value, door_opened);
    EXPECT_EQ(lock.state, lock_unlocked);
    lock.idle(400);
    EXPECT_EQ(lock.status.locked, 0);
    lock.cycle(0, empty_value, door_closed);
    lock.idle(300);
    EXPECT_EQ(lock.status.locked, 0);
    lock.cycle();
    EXPECT_EQ(lock.status.locked, 1);
}

TEST(LockController, UnlocksOnButtonKeyOrRightCodeOnly) {
    struct unlock_case {
        const char* what;
        std::uint8_t button;
        std::uint8_t pw_result;
        int event;
        bool unlocks;
    };
    const unlock_case cases[] = {
        {"lock button", 1, empty_value, -1, true},
        {"key", 0, empty_value, key_sensor, true},
        {"right code", 0, 1, -1, true},
        {"wrong code", 0, 0, -1, false},
        {"door closing", 0, empty_value, door_closed, false},
    };
    for (const unlock_case& c : cases) {
        lock_rig lock;
        lock.cycle(1);
        ASSERT_EQ(lock.status.locked, 1) << c.what;
        lock.cycle(c.button, c.pw_result, c.event);
        EXPECT_EQ(lock.status.locked, c.unlocks ? 0 : 1) << c.what;
        EXPECT_EQ(lock.status.changed, 1) << c.what << ": never cleared";
    }
}

TEST(LockController, UnlockedWithTheDoorClosedStaysUnlocked) {
    lock_rig lock;
    lock.cycle(0, empty_value, door_closed);
    lock.idle(301);
    ASSERT_EQ(lock.status.locked, 1);
    lock.cycle(0, empty_value, key_sensor);
    lock.idle(2000);
    EXPECT_EQ(lock.status.locked, 0);
    EXPECT_EQ(lock.state, lock_unlocked);
}

TEST(LockController, DoorClosedBeforeTheCodeWasRegisteredNeverCountsDown) {
    lock_rig lock;
    lock.buffer.registered = nullptr;
    lock.cycle(0, empty_value, door_closed);
    lock.buffer.registered = &lock.code;
    lock.idle(1000);
    EXPECT_EQ(lock.status.locked, 0);
    lock.cycle(1);
    EXPECT_EQ(lock.status.locked, 1);
}

TEST(LockController, ButtonDuringTheCountdownLocksAtOnce) {
    lock_rig lock;
    lock.cycle(0, empty_value, door_closed);
    lock.idle(10);
    lock.cycle(1);
    EXPECT_EQ(lock.status.locked, 1);
    EXPECT_EQ(lock.state, lock_locked);
}

struct sound_rig {
    std::uint32_t state = sound_idle;
    std::int32_t timer = 0;
    int cycle(std::uint8_t clicked, std::uint8_t result, std::int32_t count) {
        return sound_controller(state, timer, clicked, result, count);
    }
};

TEST(SoundController, OutcomesGiveTheirSoundForOneCycle) {
    for (std::uint8_t result : {std::uint8_t{1}, std::uint8_t{0}}) {
        sound_rig sound;
        for (int count = 1; count <= 4; ++count) {
            EXPECT_EQ(sound.cycle(1, empty_value, count), 0);
        }
        EXPECT_EQ(sound.cycle(0, result, 4), result == 1 ? 1 : 2);
        EXPECT_EQ(sound.cycle(0, empty_value, 0), 0);
        EXPECT_EQ(sound.state, sound_idle);
    }
}

TEST(SoundController, TimeoutSoundsInThe1000thCycleAfterTheLastDigit) {
    sound_rig sound;
    sound.cycle(1, empty_value, 1);
    sound.cycle(1, empty_value, 2); // restarts the wait
    for (int i = 1; i < sound_wait_limit; ++i) {
        ASSERT_EQ(sound.cycle(0, empty_value, 2), 0) << "cycle " << i;
    }
    // The password controller drops the count in this same cycle; the timeout wins.
    EXPECT_EQ(sound.cycle(0, empty_value, 0), 3);
    EXPECT_EQ(sound.cycle(0, empty_value, 0), 0);
}

TEST(SoundController, EntriesEndingWithoutOutcomeAreSilent) {
    sound_rig sound;
    for (int count = 1; count <= 4; ++count) {
        sound.cycle(1, empty_value, count);
    }
    EXPECT_EQ(sound.cycle(0, empty_value, 4), 0); // registering cycle
    EXPECT_EQ(sound.cycle(0, empty_value, 0), 0);
    EXPECT_EQ(sound.state, sound_idle);
    EXPECT_EQ(sound.cycle(0, empty_value, 0), 0);
}

struct light_rig {
    pw_code code{{1, 2, 3, 4}};
    pw_buffer buffer{{0, 0, 0, 0}, nullptr, 0};
    std::uint32_t state = light_on;
    std::int32_t timer = 0;
    std::uint8_t backlight = 1;
    std::uint8_t cycle(std::uint8_t opened = 0, std::uint8_t closed = 0, std::uint8_t clicked = 0) {
        backlight = light_controller(state, timer, opened, closed, clicked, &buffer, backlight);
        return backlight;
    }
};

TEST(LightController, FollowsTheCoverAndTheDigits) {
    light_rig light;
    EXPECT_EQ(light.cycle(), 1);
    EXPECT_EQ(light.cycle(0, 1), 0);
    EXPECT_EQ(light.cycle(), 0);
    EXPECT_EQ(light.cycle(1, 0), 1);
    EXPECT_EQ(light.cycle(0, 1), 0);
    EXPECT_EQ(light.cycle(0, 0, 1), 1) << "a taken digit switches it on";
}

TEST(LightController, NeverTimesOutBeforeACodeIsRegistered) {
    light_rig light;
    for (int i = 0; i < 5000; ++i) {
        ASSERT_EQ(light.cycle(), 1);
    }
}

TEST(LightController, WithACodeGoesOffInThe1000thCycleWithoutADigit) {
    light_rig light;
    light.buffer.registered = &light.code;
    for (int i = 1; i < light_limit; ++i) {
        ASSERT_EQ(light.cycle(0, 0, i == 500 ? 1 : 0), 1) << "cycle " << i;
    }
    // 500 cycles after the digit at cycle 500 it would still be on; count again from there.
    for (int i = 0; i < 500; ++i) {
        ASSERT_EQ(light.cycle(), 1) << "cycle " << (1000 + i);
    }
    EXPECT_EQ(light.cycle(), 0);
}

TEST(LightController, DigitInTheTimeoutCycleComesTooLate) {
    light_rig light;
    light.buffer.registered = &light.code;
    for (int i = 1; i < light_limit; ++i) {
        light.cycle();
    }
    EXPECT_EQ(light.cycle(0, 0, 1), 0);
    EXPECT_EQ(light.cycle(0, 0, 1), 1);
}

TEST(LightController, CountWithoutACodeStopsAtItsLargestValue) {
    light_rig light;
    light.timer = std::numeric_limits<std::int32_t>::max() - 1;
    light.cycle();
    light.cycle();
    EXPECT_EQ(light.timer, std::numeric_limits<std::int32_t>::max());
    light.buffer.registered = &light.code;
    EXPECT_EQ(light.cycle(), 0) << "a code registered after a long run: off at once";
}

TEST(LightController, OtherStatesKeepThePreviousOutput) {
    EXPECT_EQ(BackLight(0, 1), 0);
    EXPECT_EQ(BackLight(1, 0), 1);
    EXPECT_EQ(BackLight(5, 1), 1);
    light_rig light;
    light.state = 9;
    light.backlight = 0;
    EXPECT_EQ(light.cycle(1, 1, 1), 0);
}

} // namespace
