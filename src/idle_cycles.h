// Sleeping through the cycles in which nothing can change. After a cycle the loop looks ahead, by
// stepping a copy of the lock with empty windows, for the first cycle that can change the screen or
// ring a bell; it sleeps until then, or until a key or a signal comes, and on waking runs the
// cycles slept through exactly as it would have run them awake. Cycles that change nothing are
// counted rather than run, so that catching up after a long sleep costs no more than after a short
// one.
#pragma once

#include "determine_signal.h"

#include <cstdint>

// What is ahead of the lock when no key comes.
struct idle_outlook {
    // Cycles from the latest one to the first that can change the screen or ring a bell: one that
    // changes more than the controllers' counters, or plays a sound. 0 when none will before a key.
    std::uint32_t cycles;
    bool still; // the next cycle changes nothing at all, not even a counter
};

// Looks ahead from the latest cycle by stepping a copy of the lock, with the real step, at most the
// longest limit of the controllers' counters (a change due to a counter comes within it); stops
// early once the copy's cycles differ only in counters that are past their limits, since those
// cycles repeat for ever.
idle_outlook look_ahead(const loop_state& loop);

// Runs `count` cycles with empty windows, each starting `cycle_ticks` after the one before, as the
// loop runs them awake: drawn, and told to the observer. Once a cycle changes nothing at all, or
// only counters past their limits that nobody records value by value, the cycles that would repeat
// it are counted instead; the last cycle always runs, so that the screen shows its counts.
void run_idle_cycles(loop_state& loop, std::uint64_t count);

// Sleeps in one wait until the start of the next cycle that can change the screen or ring a bell,
// or until a key, a signal or a resize comes, at most an hour (a second while a trace records a
// counter), then runs the cycles whose start ticks passed meanwhile. A wake far past the planned
// one (the process was stopped) runs only the cycles up to the planned one; the cycle after them
// then starts at the clock of the wake, as awake. Call only between cycles, with an empty window.
void sleep_until_change(loop_state& loop);
