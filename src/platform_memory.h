// The platform in memory: keys given in advance, each with the tick from which it can be read, a
// virtual clock that moves only while the loop waits, and a screen model as the console. The
// scenario runner and the tests run the main loop on it, thousands of cycles in milliseconds.
#pragma once

#include "screen_model.h"

#include <cstdint>
#include <deque>
#include <functional>
#include <string>
#include <vector>

struct memory_key {
    std::uint32_t tick; // readable from this tick on
    int code;
};

enum class console_op { write, move, attribute, cursor, clear, colour, flush };

struct memory_console {
    screen_model screen;
    std::uint32_t now = 0;       // the virtual clock
    std::deque<memory_key> keys; // not yet read, in the order of their ticks
    bool open = false;
    int below_row = -1;
    bool logging = false;                   // keep `ops`, `text` and `flush_ticks`
    std::vector<console_op> ops;            // every console operation, in order
    std::string text;                       // everything written
    std::vector<std::uint32_t> flush_ticks; // the clock at every flush
    std::function<void()> on_flush;         // called at every flush (the end of each cycle)
    std::uint64_t sleeps = 0;               // waits that let the clock move: the wake-ups
    std::uint32_t stall_ticks = 0; // the next wait that lets the clock move ends this much late,
                                   // as when the process is stopped meanwhile; then back to 0
};

// Resets `console` to a fresh console and makes it the platform in use.
void use_memory_console(memory_console& console);
