#include "idle_cycles.h"

#include "Light_Controller.h"
#include "Lock_Controller.h"
#include "Sound_Controller.h"
#include "platform.h"
#include "pw_control2.h"

#include <algorithm>
#include <iterator>
#include <limits>

namespace {

// The controllers' counters, each with the limit from which on every value acts alike: each
// controller compares its counter with its limit, never with another value, so a counter past
// its limit changes nothing but itself. This is the one claim the counting of cycles rests on.
struct counter {
    std::int32_t loop_state::*field;
    std::int32_t limit;
};

constexpr counter counters[] = {
    {&loop_state::pw_timer, pw_entry_limit},
    {&loop_state::lock_timer, auto_lock_limit},
    {&loop_state::sound_timer, sound_wait_limit},
    {&loop_state::light_timer, light_limit},
};
constexpr int counter_count = sizeof counters / sizeof counters[0];

// How far ahead a change due to a counter can lie: every counter that will reach its limit counts
// one a cycle from 0 at least.
constexpr std::uint32_t longest_limit =
    std::max({pw_entry_limit, auto_lock_limit, sound_wait_limit, light_limit});

constexpr std::uint32_t cycles_per_second = 1000 / cycle_ticks;
// The longest sleep when nothing is due: one wake-up an hour.
constexpr std::uint32_t longest_sleep_cycles = 3600 * cycles_per_second;

// Everything a cycle hands to the next, as plain values: the controllers' states and counters, the
// lock record, the levels, the entered and registered digits, the one-cycle values and the window's
// inputs. Not the cycle count or the start tick, which every cycle changes.
struct carried_state {
    std::int64_t counters[counter_count];
    std::int64_t values[34];
    bool operator==(const carried_state&) const = default;
};

carried_state carried(const loop_state& loop) {
    carried_state s{};
    for (int i = 0; i < counter_count; ++i) {
        s.counters[i] = loop.*counters[i].field;
    }
    const signal_set* signals = loop.signals;
    const pw_buffer* buffer = signals->control->buffer;
    const pw_code* code = buffer->registered;
    const std::int64_t values[] = {loop.pw_state,
                                   loop.lock_state,
                                   loop.sound_state,
                                   loop.light_state,
                                   loop.backlight,
                                   loop.status.changed,
                                   loop.status.locked,
                                   loop.pw_result,
                                   loop.key_clicked,
                                   loop.door_input,
                                   loop.cover_input,
                                   loop.button_toggle,
                                   loop.key_toggle,
                                   loop.digit,
                                   loop.sound_code,
                                   signals->keypad->value,
                                   signals->keypad->pressed,
                                   signals->lock_button,
                                   signals->control->locked,
                                   buffer->count,
                                   buffer->digits[0],
                                   buffer->digits[1],
                                   buffer->digits[2],
                                   buffer->digits[3],
                                   code != nullptr,
                                   code ? code->digits[0] : 0,
                                   code ? code->digits[1] : 0,
                                   code ? code->digits[2] : 0,
                                   code ? code->digits[3] : 0,
                                   signals->events->raised[0],
                                   signals->events->raised[1],
                                   signals->events->raised[2],
                                   signals->events->raised[3],
                                   signals->events->raised[4]};
    static_assert(sizeof values == sizeof s.values);
    std::copy(std::begin(values), std::end(values), s.values);
    return s;
}

// The same state with every counter past its limit at its limit: states alike in this are alike
// in every cycle to come but for those counters.
carried_state past_limits_alike(carried_state s) {
    for (int i = 0; i < counter_count; ++i) {
        s.counters[i] = std::min<std::int64_t>(s.counters[i], counters[i].limit);
    }
    return s;
}

bool alike_but_counters(carried_state a, carried_state b) {
    std::fill(std::begin(a.counters), std::end(a.counters), 0);
    std::fill(std::begin(b.counters), std::end(b.counters), 0);
    return a == b;
}

// A copy of the lock to step ahead on, with a signal set of its own in plain storage.
struct lock_copy {
    loop_state loop;
    signal_set signals;
    key_input keypad;
    pw_control control;
    pw_buffer buffer;
    sensor_events events;
    pw_code code;
};

void copy_lock(const loop_state& from, lock_copy& to) {
    to.loop = from;
    to.loop.observer = nullptr;
    const signal_set& signals = *from.signals;
    to.keypad = *signals.keypad;
    to.events = *signals.events;
    to.control = *signals.control;
    to.buffer = *signals.control->buffer;
    if (to.buffer.registered != nullptr) {
        to.code = *to.buffer.registered;
        to.buffer.registered = &to.code;
    }
    to.control.buffer = &to.buffer;
    to.signals = signals;
    to.signals.keypad = &to.keypad;
    to.signals.control = &to.control;
    to.signals.events = &to.events;
    to.loop.signals = &to.signals;
}

// A code registered on the copy was made on the heap: its digits go to the copy's own storage.
void keep_code_in_copy(lock_copy& copy) {
    pw_code* code = copy.buffer.registered;
    if (code != nullptr && code != &copy.code) {
        copy.code = *code;
        copy.buffer.registered = &copy.code;
        delete code;
    }
}

// Whether the cycles ahead may be counted instead of run: nobody watches, or whoever does can be
// told of counted cycles, and does not need every value of a counter that moves.
bool may_count(const loop_state& loop, bool counters_move) {
    const loop_observer* observer = loop.observer;
    return observer == nullptr ||
           (observer->counted != nullptr && !(counters_move && observer->sees_every_value));
}

// Counts `cycles` cycles that repeat the latest one, whose state went from `before` to `after`:
// counters that moved past their limits move on as far, each cycle by the same step, up to the
// largest value they hold.
void count_cycles(loop_state& loop, const carried_state& before, const carried_state& after,
                  std::uint64_t cycles) {
    for (int i = 0; i < counter_count; ++i) {
        const std::int64_t step = after.counters[i] - before.counters[i];
        if (step == 0) {
            continue;
        }
        constexpr std::int64_t top = std::numeric_limits<std::int32_t>::max();
        constexpr std::int64_t bottom = std::numeric_limits<std::int32_t>::min();
        const std::int64_t room = step > 0 ? top - after.counters[i] : after.counters[i] - bottom;
        const std::uint64_t steps = static_cast<std::uint64_t>(room / (step > 0 ? step : -step));
        const std::int64_t moved = static_cast<std::int64_t>(std::min(cycles, steps)) * step;
        loop.*counters[i].field = static_cast<std::int32_t>(after.counters[i] + moved);
    }
    loop.cycle_number += cycles;
    loop.last_tick += static_cast<std::uint32_t>(cycles * cycle_ticks);
    if (loop.observer != nullptr) {
        loop.observer->counted(loop.observer->context, loop, cycles);
    }
}

// A cycle run without a key, and what the loop carried before it.
struct quiet_cycle {
    carried_state before;
    std::uint32_t start_tick;
};

// Draws the cycle only where the screen can change: a cycle that moves nothing but counters
// would draw every text as it stands, for nothing, so it is told to the observer alone; catching
// up then costs the step alone. The live view shows the counters: with it every cycle is drawn.
void draw_where_it_changes(void* context, const loop_state& loop) {
    const auto* cycle = static_cast<const quiet_cycle*>(context);
    if (loop.show_states || loop.sound_code != 0 ||
        !alike_but_counters(cycle->before, carried(loop))) {
        draw_panels(loop);
    }
    if (loop.observer != nullptr && loop.observer->cycle != nullptr) {
        loop.observer->cycle(loop.observer->context, loop, cycle->start_tick);
    }
}

// Runs one cycle with an empty window, as run_cycle does but drawn only where the screen can
// change.
void run_quiet_cycle(loop_state& loop) {
    const std::uint32_t start_tick = loop.last_tick + cycle_ticks;
    if (loop.signals == nullptr) {
        run_cycle(loop, start_tick); // the first cycle makes the signal set and draws it all
        return;
    }
    quiet_cycle cycle{carried(loop), start_tick};
    const cycle_watcher watcher{&cycle, draw_where_it_changes};
    loop.step(loop, &watcher);
    loop.last_tick = start_tick;
    console_flush();
}

} // namespace

idle_outlook look_ahead(const loop_state& loop) {
    if (loop.signals == nullptr) {
        return {1, false}; // the first cycle makes the signal set
    }
    lock_copy copy;
    copy_lock(loop, copy);
    start_window(copy.loop);
    carried_state before = carried(copy.loop);
    idle_outlook outlook{0, false};
    for (std::uint32_t cycle = 1; cycle <= longest_limit + 2; ++cycle) {
        copy.loop.step(copy.loop, nullptr);
        keep_code_in_copy(copy);
        start_window(copy.loop);
        const carried_state after = carried(copy.loop);
        if (cycle == 1) {
            outlook.still = after == before;
        }
        if (!alike_but_counters(before, after) || copy.loop.sound_code != 0) {
            outlook.cycles = cycle;
            return outlook;
        }
        if (past_limits_alike(before) == past_limits_alike(after)) {
            return outlook; // repeats for ever
        }
        before = after;
    }
    return outlook;
}

void run_idle_cycles(loop_state& loop, std::uint64_t count) {
    while (count > 0) {
        start_window(loop);
        // Counting pays only with two cycles or more after this one: one to count, the last.
        const bool may_skip = count > 2 && loop.signals != nullptr;
        const carried_state before = may_skip ? carried(loop) : carried_state{};
        run_quiet_cycle(loop);
        count -= 1;
        if (!may_skip) {
            continue;
        }
        const carried_state after = carried(loop);
        const bool still = after == before;
        if ((still || past_limits_alike(before) == past_limits_alike(after)) &&
            may_count(loop, !still)) {
            count_cycles(loop, before, after, count - 1);
            count = 1;
        }
    }
}

void sleep_until_change(loop_state& loop) {
    const idle_outlook outlook = look_ahead(loop);
    std::uint32_t cycles = outlook.cycles != 0 ? outlook.cycles : longest_sleep_cycles;
    const loop_observer* observer = loop.observer;
    if (observer != nullptr && observer->sees_every_value && !outlook.still) {
        cycles = std::min(cycles, cycles_per_second); // its catch-up runs every cycle
    }
    if (observer != nullptr && observer->flush != nullptr && cycles > cycles_per_second) {
        observer->flush(observer->context); // nothing waits in a buffer while the program sleeps
    }
    const std::uint32_t due = loop.last_tick + cycles * cycle_ticks;
    wait_for_key_until(due);
    const std::uint32_t now = clock_ticks();
    const std::uint32_t end = ticks_until(due, now) < 0 ? due : now;
    const std::uint32_t passed = end - loop.last_tick;
    run_idle_cycles(loop, passed == 0 ? 0 : (passed - 1) / cycle_ticks);
}
