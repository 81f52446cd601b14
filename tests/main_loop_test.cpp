// The whole cycle: keys, decoding, the four controllers and the panels together, on the in-memory
// platform with a virtual clock.
#include "UI.h"
#include "determine_signal.h"
#include "platform.h"
#include "pw_control2.h"
#include "test_platform.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

namespace {

// Drives the loop's state one polling window and one cycle at a time.
class Simulation : public ::testing::Test {
  protected:
    void SetUp() override {
        reset_console_under_test();
        num_pad_forget();
    }
    void TearDown() override { release_signals(loop.signals); }

    void cycle(std::initializer_list<int> keys = {}) {
        start_window(loop);
        for (int key : keys) {
            handle_key(loop, key);
        }
        tick += 10;
        run_cycle(loop, tick);
        ++cycles;
    }
    void idle(int count) {
        for (int i = 0; i < count; ++i) {
            cycle();
        }
    }
    void type(const char* digits) {
        for (const char* d = digits; *d != '\0'; ++d) {
            cycle({*d});
        }
    }
    void register_code(const char* digits) {
        type(digits);
        idle(3);
        ASSERT_NE(buffer()->registered, nullptr);
    }
    pw_buffer* buffer() const { return loop.signals->control->buffer; }
    std::string lock_text() const { return screen_text(10, 10, 6); }
    std::string sound_text() const { return screen_text(1, 14, 7); }

    loop_state loop;
    std::uint32_t tick = 0;
    int cycles = 0;
};

TEST_F(Simulation, RegisterLockAndUnlockWithTheRightCode) {
    register_code("2468");
    EXPECT_EQ(screen_text(40, 1, 8), "2 4 6 8 ");
    EXPECT_EQ(console_under_test().screen.bells, 0) << "registering plays nothing";

    cycle({'L'});
    EXPECT_EQ(loop.status.locked, 1);
    EXPECT_EQ(lock_text(), "LOCK  ");
    EXPECT_EQ(screen_text(20, 10, 7), "잠갔음!");

    type("2468");
    EXPECT_EQ(loop.status.locked, 1) << "the fourth digit is compared one cycle later";
    EXPECT_EQ(screen_text(40, 2, 8), "2 4 6 8 ");
    cycle();
    // Only a correct code unlocks without button or key, and it sounds in the same cycle.
    EXPECT_EQ(loop.status.locked, 0);
    EXPECT_EQ(loop.sound_code, 1);
    EXPECT_EQ(lock_text(), "UNLOCK");
    EXPECT_EQ(screen_text(20, 10, 7), "열었음!");
    EXPECT_EQ(sound_text(), "Sound 1");
    EXPECT_EQ(console_under_test().screen.bells, 1);
    EXPECT_EQ(loop.signals->control->locked, loop.status.locked);
    cycle();
    EXPECT_EQ(loop.sound_code, 0);
    EXPECT_EQ(console_under_test().screen.bells, 1)
        << "the bell rings only in the cycle of the sound";
    EXPECT_EQ(sound_text(), "Sound 1") << "the sound line stays";
}

TEST_F(Simulation, WrongCodeSoundsTwiceAndKeepsTheBoltLocked) {
    register_code("1234");
    cycle({'l'});
    type("1235");
    cycle();
    EXPECT_EQ(loop.sound_code, 2);
    EXPECT_EQ(loop.status.locked, 1);
    EXPECT_EQ(sound_text(), "Sound 2");
    EXPECT_EQ(console_under_test().screen.bells, 2);
}

TEST_F(Simulation, DigitsRightAfterAComparisonAreLost) {
    register_code("1234");
    cycle({'L'});
    type("1235");
    type("9"); // comparison cycle
    type("8");
    type("7");
    EXPECT_EQ(buffer()->count, 0);
    type("6");
    EXPECT_EQ(buffer()->count, 1) << "the third cycle after the comparison takes a digit";
}

TEST_F(Simulation, TheKeyUnlocksAndTheDoorIsHeldWhileLocked) {
    register_code("1234");
    cycle({'L'});
    cycle({'D'});
    EXPECT_EQ(loop.door_input, open_unchanged) << "a locked bolt holds the door";
    EXPECT_EQ(screen_text(12, 12, 5), " 열림");
    cycle({'K'});
    EXPECT_EQ(loop.status.locked, 0);
    cycle({'D'});
    EXPECT_EQ(screen_text(12, 12, 5), " 닫힘");
}

TEST_F(Simulation, LocksByItselfIn301stCycleAfterTheDoorClosed) {
    register_code("1234");
    cycle({'D'});
    idle(300);
    EXPECT_EQ(loop.status.locked, 0) << "cycle 300 after the door closed";
    cycle();
    EXPECT_EQ(loop.status.locked, 1) << "cycle 301";
    EXPECT_EQ(lock_text(), "LOCK  ");
    EXPECT_EQ(console_under_test().screen.bells, 0);
}

TEST_F(Simulation, OpeningTheDoorBeforeTheAutomaticLockCancelsIt) {
    register_code("1234");
    cycle({'D'});
    idle(200);
    cycle({'D'});
    idle(1000);
    EXPECT_EQ(loop.status.locked, 0);
}

TEST_F(Simulation, LockButtonAndDoorInOneWindowLockWithTheDoorOpen) {
    register_code("1234");
    cycle({'D'});
    idle(5);
    cycle({'L', 'D'}); // only the button is raised; the door level still changes
    EXPECT_EQ(loop.status.locked, 1);
    EXPECT_EQ(screen_text(12, 12, 5), " 열림");
}

TEST_F(Simulation, AbandonedEntryTimesOutWithSound3) {
    register_code("1234");
    cycle({'L'});
    type("5");
    idle(999);
    EXPECT_EQ(buffer()->count, 1);
    EXPECT_EQ(console_under_test().screen.bells, 0);
    cycle();
    EXPECT_EQ(buffer()->count, 0);
    EXPECT_EQ(loop.sound_code, 3);
    EXPECT_EQ(sound_text(), "Sound 3");
    EXPECT_EQ(console_under_test().screen.bells, 3);
}

TEST_F(Simulation, CoverClosedDropsDigitsAndSwitchesTheLightOff) {
    register_code("1234");
    cycle({'L'});
    type("12");
    cycle({'C'});
    EXPECT_EQ(buffer()->count, 0);
    EXPECT_EQ(loop.backlight, 0);
    type("34");
    EXPECT_EQ(loop.digit, empty_value);
    EXPECT_EQ(loop.key_clicked, 0);
    idle(1000);
    EXPECT_EQ(console_under_test().screen.bells, 0) << "an entry ended by the cover is silent";
}

TEST_F(Simulation, BacklightTimesOutOnceACodeIsRegistered) {
    register_code("1234"); // seven cycles of the run
    cycle({'L'});
    idle(1000 - cycles - 1);
    EXPECT_EQ(loop.backlight, 1);
    cycle();
    EXPECT_EQ(loop.backlight, 0) << "the light's count runs from the first cycle of the run";
    type("1");
    EXPECT_EQ(loop.backlight, 1) << "a taken digit switches it back on";
}

TEST_F(Simulation, UnlockedWithACodeDigitsAreEchoedButNotTaken) {
    register_code("1234");
    cycle({'3'});
    EXPECT_EQ(screen_text(40, 10, 6), "숫자 3");
    EXPECT_EQ(screen_attribute(7, 1), 158) << "highlighted on the pad";
    EXPECT_EQ(buffer()->count, 0);
    EXPECT_EQ(loop.key_clicked, 0);
    idle(1000);
    EXPECT_EQ(console_under_test().screen.bells, 0);
}

TEST_F(Simulation, ControlMirrorsTheBoltAfterEveryCycle) {
    register_code("1234");
    const char* script = "LDKDLKDD1234L5678";
    for (const char* k = script; *k != '\0'; ++k) {
        cycle({*k});
        idle(k[0] == 'D' ? 320 : 2);
        ASSERT_EQ(loop.signals->control->locked, loop.status.locked) << "after " << *k;
        ASSERT_LE(buffer()->count, 4);
    }
}

TEST_F(Simulation, LiveViewShowsTheControllersAsTheyAre) {
    loop.show_states = true;
    const auto row = [](int r) { return screen_text(1, r, 79); };
    type("12");
    EXPECT_EQ(row(states_row).substr(0, 69),
              "pw    1 entering   timer    0   count 2  pw_result 255  key_clicked 1")
        << "this cycle's click";
    EXPECT_EQ(row(states_row + 2).substr(0, 30), "sound 4 waiting    timer    0 ");
    idle(37);
    EXPECT_EQ(row(states_row).substr(0, 30), "pw    1 entering   timer   37 ");
    EXPECT_NE(row(states_row).find("key_clicked 0"), std::string::npos);
    type("34");
    idle(3);
    EXPECT_EQ(row(states_row + 4).substr(0, 9), "cycle 44 ");

    cycle({'D'});
    idle(120);
    EXPECT_EQ(row(states_row + 1).substr(0, 41), "lock  2 closing    timer  120   locked 0 ");
    // The light's count runs from the first cycle: no digit was taken since the registration.
    EXPECT_EQ(row(states_row + 3).substr(0, 44), "light 1 on         timer  165   backlight 1 ");
    idle(181);
    EXPECT_EQ(row(states_row + 1).substr(0, 41), "lock  1 locked     timer  300   locked 1 ");
}

TEST_F(Simulation, LiveViewIsNotDrawnUnlessAskedFor) {
    type("12");
    cycle({'D'});
    EXPECT_EQ(loop.cycle_number, 3u) << "counted all the same";
    for (int r = states_row; r < below_states; ++r) {
        EXPECT_EQ(screen_text(0, r, 80), std::string(80, ' '));
    }
}

// mainmodule itself, with keys arriving at given ticks of the virtual clock. `starts` gets the
// start tick of every cycle, those the sleeping loop counted instead of running included.
class MainLoop : public ::testing::Test {
  protected:
    void SetUp() override {
        reset_console_under_test();
        num_pad_forget();
    }
    int run() { return mainmodule(false, &observer); }

    static void cycle_seen(void* context, const loop_state&, std::uint32_t start_tick) {
        static_cast<MainLoop*>(context)->starts.push_back(start_tick);
    }
    static void cycles_counted(void* context, const loop_state& loop, std::uint64_t cycles) {
        for (std::uint64_t n = cycles; n > 0; --n) {
            static_cast<MainLoop*>(context)->starts.push_back(
                loop.last_tick - static_cast<std::uint32_t>((n - 1) * cycle_ticks));
        }
    }
    memory_console& con = console_under_test();
    std::vector<std::uint32_t> starts;
    const loop_observer observer{this, nullptr, cycle_seen, cycles_counted, nullptr, false};
};

TEST_F(MainLoop, RunsACycleEvery10TicksAndNotSooner) {
    con.keys = {{25, '1'}, {26, '2'}, {41, 'C'}, {1000, 'Q'}};
    EXPECT_EQ(run(), 0);
    ASSERT_EQ(starts.size(), 99u);
    for (std::size_t i = 0; i < starts.size(); ++i) {
        EXPECT_EQ(starts[i], 10 * (i + 1));
    }
    EXPECT_EQ(screen_text(40, 10, 17), "cover sensor 입력");
}

TEST_F(MainLoop, KeysInOneWindowReachTheSameCycle) {
    // Two digits in one window: the last wins; it is taken in the cycle that follows.
    con.keys = {{12, '4'}, {15, '7'}, {100, 'Q'}};
    con.on_flush = [&] {
        if (con.now == 20) {
            EXPECT_EQ(screen_text(40, 2, 8), "7       ");
        }
    };
    mainmodule();
}

TEST_F(MainLoop, QuitBeforeTheFirstCycleRunsNoCycle) {
    con.keys = {{0, 'q'}};
    EXPECT_EQ(mainmodule(), 0);
    EXPECT_TRUE(con.flush_ticks.empty());
}

TEST_F(MainLoop, TenThousandCyclesRunInMilliseconds) {
    for (std::uint32_t t = 5; t < 100000; t += 997) {
        con.keys.push_back({t, static_cast<int>("1234L5678DKC"[t % 12])});
    }
    con.keys.push_back({100000, 'Q'});
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(run(), 0);
    const auto took = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(starts.size(), 9999u);
    EXPECT_LT(took, std::chrono::seconds(2));
}

} // namespace

// The clock's ticks from a platform's 64-bit counter (the Windows performance counter, the POSIX
// steady clock in milliseconds): right past 36 minutes (where a 32-bit product of milliseconds
// overflows), past 24.8 days (where the C runtime's clock() gives up) and across the wrap.
TEST(Ticks, FromA64BitCounterAcrossEveryLimit) {
    constexpr std::uint64_t day_ms = 24ull * 3600 * 1000;
    const struct {
        std::uint64_t count;
        std::uint64_t per_second;
        std::uint32_t ticks;
    } cases[] = {
        {0, 10000000, 0},
        {21474840000ull, 10000000, 2147484},          // 35.8 minutes at 10 MHz
        {25 * day_ms * 10000, 10000000, 2160000000u}, // 25 days
        {4294967296ull * 10000, 10000000, 0},         // 2^32 ms: the count wraps
        {(4294967296ull + 7) * 10000, 10000000, 7},
        {200 * day_ms * 3000000, 3000000000ull, 100130816u}, // 200 days at 3 GHz
        {1999, 2000, 999},                                   // rounds down
    };
    for (const auto& c : cases) {
        EXPECT_EQ(ticks_since(counter_milliseconds(c.count, c.per_second), 0), c.ticks)
            << c.count << " at " << c.per_second;
    }
    EXPECT_EQ(ticks_since(4294967296ull + 5, 0, 0xFFFFFFF0u), 0xFFFFFFF5u);
    EXPECT_EQ(ticks_until(5, 0xFFFFFFFBu), 10) << "due after the wrap";
    EXPECT_EQ(ticks_until(0xFFFFFFFBu, 5), -10) << "past, seen after the wrap";
}

TEST_F(MainLoop, RunsEvery10TicksAcrossTheWrapOfTheClock) {
    con.now = 0xFFFFFF00u; // 256 ticks before the wrap
    con.keys = {{0xFFFFFF05u, '1'}, {300, 'Q'}};
    EXPECT_EQ(run(), 0);
    ASSERT_GT(starts.size(), 50u);
    for (std::size_t i = 1; i < starts.size(); ++i) {
        EXPECT_EQ(starts[i] - starts[i - 1], 10u) << i;
    }
}
