// The sleeping loop against the loop that wakes every cycle, on the in-memory platform: the same
// cycles with the same start ticks, screens, bells, trace and recording; a stall in a sleep; waits
// of millions of cycles counted against the same cycles run one by one.
#include "UI.h"
#include "determine_signal.h"
#include "idle_cycles.h"
#include "scenario_recording.h"
#include "temporary_folder.h"
#include "test_platform.h"
#include "vcd_trace.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <limits>
#include <string>
#include <vector>

namespace {

// The carried state in words, so that a difference says where it lies.
std::string describe(const loop_state& l) {
    const pw_buffer* b = l.signals->control->buffer;
    char text[320];
    std::snprintf(text, sizeof text,
                  "cycle %llu tick %u | pw %u timer %d count %d registered %d | lock %u timer %d "
                  "locked %u changed %u | sound %u timer %d code %u | light %u timer %d "
                  "backlight %u | door %u cover %u",
                  static_cast<unsigned long long>(l.cycle_number), l.last_tick, l.pw_state,
                  l.pw_timer, b->count, b->registered != nullptr, l.lock_state, l.lock_timer,
                  l.status.locked, l.status.changed, l.sound_state, l.sound_timer, l.sound_code,
                  l.light_state, l.light_timer, l.backlight, l.door_input, l.cover_input);
    return text;
}

// What a run leaves: its trace and recording, and the screen (with the bells rung) each time it
// changed, with the cycle and start tick that changed it.
struct watched_run {
    vcd_trace trace{};
    session_recording recording{};
    std::string screens;
    std::string last_screen;
    std::vector<std::uint32_t> starts; // every cycle's start tick, counted cycles included
    std::uint32_t stall_after_closing = 0;
};

void see_key(void* context, const loop_state&, int key) {
    recording_key(static_cast<watched_run*>(context)->recording, key);
}

void see_cycle(void* context, const loop_state& loop, std::uint32_t start_tick) {
    auto* run = static_cast<watched_run*>(context);
    trace_cycle(run->trace, loop, start_tick);
    recording_cycle(run->recording);
    run->starts.push_back(start_tick);
    std::string screen = "bells " + std::to_string(console_under_test().screen.bells) + "\n";
    for (int row = 0; row < below_screen; ++row) {
        screen += screen_text(0, row, 80) + "\n";
    }
    if (screen != run->last_screen) {
        run->screens += "cycle " + std::to_string(loop.cycle_number) + " at " +
                        std::to_string(start_tick) + ", " + screen;
        run->last_screen = screen;
    }
    if (run->stall_after_closing != 0 && loop.lock_state == 2) { // the countdown has begun
        console_under_test().stall_ticks = run->stall_after_closing;
        run->stall_after_closing = 0;
    }
}

void see_counted(void* context, const loop_state& loop, std::uint64_t cycles) {
    auto* run = static_cast<watched_run*>(context);
    trace_unchanged_cycles(run->trace, cycles, loop.last_tick);
    recording_idle_cycles(run->recording, cycles);
    for (std::uint64_t n = cycles; n > 0; --n) {
        run->starts.push_back(loop.last_tick - static_cast<std::uint32_t>((n - 1) * cycle_ticks));
    }
}

struct run_result {
    std::string trace, recording, screens, state;
    std::vector<std::uint32_t> starts;
    std::uint64_t sleeps;
};

// Runs mainmodule's loop over `keys`, awake in every cycle or sleeping while nothing can change.
// The trace is told that it sees every value unless a stall is asked for (the sleep then lasts
// until the change, not a second).
run_result run_loop(const std::vector<memory_key>& keys, bool awake,
                    std::uint32_t stall_after_closing = 0) {
    reset_console_under_test();
    num_pad_forget();
    memory_console& con = console_under_test();
    con.keys.assign(keys.begin(), keys.end());
    draw_start_screen();
    const temporary_folder folder;
    watched_run run;
    run.stall_after_closing = stall_after_closing;
    trace_open(run.trace, std::fopen((folder / "run.vcd").c_str(), "w"));
    recording_open(run.recording, std::fopen((folder / "run.scn").c_str(), "w"));
    const loop_observer observer{&run,        see_key, see_cycle,
                                 see_counted, nullptr, stall_after_closing == 0};
    loop_state loop;
    loop.observer = &observer;
    loop.wakes_every_cycle = awake;
    std::uint32_t start_tick = 0;
    while (poll_window(loop, start_tick)) {
        run_cycle(loop, start_tick);
    }
    run_result result{{}, {}, run.screens, describe(loop), run.starts, con.sleeps};
    release_signals(loop.signals);
    EXPECT_TRUE(trace_close(run.trace));
    EXPECT_TRUE(recording_close(run.recording));
    result.trace = read_file(folder / "run.vcd");
    result.recording = read_file(folder / "run.scn");
    return result;
}

// Register 1357, close the door (locked 301 cycles later), wait until the light goes out, type a
// digit an hour into the sleep that follows (the entry times out with sound 3 after 1000 cycles,
// and the light after it), quit long after.
const std::vector<memory_key> long_idle_stretch = {{15, '1'},  {25, '3'},    {35, '5'},   {45, '7'},
                                                   {200, 'D'}, {12005, '2'}, {30000, 'Q'}};

TEST(SleepingLoop, RunsTheCyclesOfALongIdleStretchAsTheAwakeLoopDoes) {
    const run_result awake = run_loop(long_idle_stretch, true);
    const run_result sleeping = run_loop(long_idle_stretch, false);
    EXPECT_EQ(sleeping.state, awake.state);
    EXPECT_EQ(sleeping.starts, awake.starts);
    EXPECT_EQ(sleeping.screens, awake.screens);
    EXPECT_EQ(sleeping.trace, awake.trace);
    EXPECT_EQ(sleeping.recording, awake.recording);
    EXPECT_NE(awake.screens.find("cycle 1201 at 12010, bells 0"), std::string::npos)
        << "the digit typed at 12005 is taken in the cycle of 12010:\n"
        << awake.screens;
    EXPECT_GT(awake.sleeps, 2900u);
    // A wake-up for each key and each change, and one a second while a counter runs on the trace.
    EXPECT_LT(sleeping.sleeps, 60u);
}

TEST(SleepingLoop, AStallInASleepCostsTheCyclesSleptThroughAndOneMore) {
    constexpr std::uint32_t hour = 3600 * 1000;
    const run_result run = run_loop(
        {{15, '1'}, {25, '3'}, {35, '5'}, {45, '7'}, {200, 'D'}, {2 * hour, 'Q'}}, false, hour);
    // The door closed in the cycle of 200 (the key at 200 came as that cycle was due); the sleep
    // was to end at the lock, in the 301st cycle after it.
    const auto closing = std::find(run.starts.begin(), run.starts.end(), 200u);
    ASSERT_NE(closing, run.starts.end());
    ASSERT_GT(run.starts.end() - closing, 302);
    EXPECT_EQ(closing[300], 3200u) << "the last cycle slept through";
    EXPECT_EQ(closing[301], 3210u + hour) << "one cycle at the clock of the wake";
    EXPECT_EQ(closing[302], 3220u + hour);
    EXPECT_NE(run.screens.find("cycle 321 at 3603210, bells 0"), std::string::npos)
        << "the bolt locks in that cycle:\n"
        << run.screens;
}

// Drives whole cycles with keys, one window each.
void cycles_with_keys(loop_state& loop, const char* keys) {
    for (const char* key = keys; *key != '\0'; ++key) {
        start_window(loop);
        if (*key != '.') {
            handle_key(loop, *key);
        }
        run_cycle(loop, loop.last_tick + cycle_ticks);
    }
}

void trace_step(void* context, const loop_state& loop) {
    trace_cycle(*static_cast<vcd_trace*>(context), loop, loop.last_tick + cycle_ticks);
}

void trace_seen(void* context, const loop_state& loop, std::uint32_t start_tick) {
    trace_cycle(*static_cast<vcd_trace*>(context), loop, start_tick);
}

void trace_counted(void* context, const loop_state& loop, std::uint64_t cycles) {
    trace_unchanged_cycles(*static_cast<vcd_trace*>(context), cycles, loop.last_tick);
}

TEST(IdleCycles, AWaitOfMillionsOfCyclesCountedEndsAsRunningEachOne) {
    constexpr std::int32_t largest = std::numeric_limits<std::int32_t>::max();
    const struct {
        const char* name;
        const char* keys;        // before the wait, one window each ('.' none)
        std::int32_t light_from; // the light's count set to this before the wait (0: as it is)
        std::uint64_t cycles;
        bool traced;
    } cases[] = {
        {"from the start: the light counts on without a code", "", 0, 2000000, false},
        {"registered, locked, cover closed", "1357...LC", 0, 2000000, true},
        {"the light's count near its largest value", ".", largest - 500, 2000, false},
    };
    for (const auto& c : cases) {
        std::string state[2];
        std::string trace[2];
        for (int counted = 0; counted < 2; ++counted) {
            reset_console_under_test();
            num_pad_forget();
            const temporary_folder folder;
            vcd_trace vcd{};
            trace_open(vcd, std::fopen((folder / "wait.vcd").c_str(), "w"));
            const loop_observer observer{&vcd, nullptr, trace_seen, trace_counted, nullptr, true};
            loop_state loop;
            loop.observer = c.traced ? &observer : nullptr;
            cycles_with_keys(loop, c.keys);
            if (c.light_from != 0) {
                loop.light_timer = c.light_from;
            }
            if (counted == 1) {
                run_idle_cycles(loop, c.cycles);
            } else {
                const cycle_watcher watcher{&vcd, trace_step};
                for (std::uint64_t n = 0; n < c.cycles; ++n) {
                    start_window(loop);
                    step_cycle(loop, c.traced ? &watcher : nullptr);
                    loop.last_tick += cycle_ticks;
                }
            }
            state[counted] = describe(loop);
            release_signals(loop.signals);
            trace_close(vcd);
            trace[counted] = read_file(folder / "wait.vcd");
        }
        EXPECT_EQ(state[1], state[0]) << c.name;
        EXPECT_EQ(trace[1], trace[0]) << c.name;
    }
}

} // namespace
