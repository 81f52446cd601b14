#include "platform_memory.h"

#include "platform.h"

#include <algorithm>

namespace {

// The console the in-memory operations act on.
memory_console* current = nullptr;

void log(console_op op) {
    if (current->logging) {
        current->ops.push_back(op);
    }
}

bool memory_open(int below_row) {
    current->open = true;
    current->below_row = below_row;
    return true;
}

bool memory_close() {
    current->open = false;
    return true;
}

bool memory_key_waiting() {
    return !current->keys.empty() && ticks_until(current->keys.front().tick, current->now) <= 0;
}

int memory_read_key() {
    const int code = current->keys.front().code;
    current->keys.pop_front();
    return code;
}

std::uint32_t memory_clock_ticks() {
    return current->now;
}

// The clock jumps to the next key or to the due tick, whichever comes first; the difference is
// taken as unsigned, like every comparison of ticks, so that the count may wrap.
void memory_wait_for_key_until(std::uint32_t due_tick) {
    if (memory_key_waiting()) {
        return;
    }
    std::int32_t wait = ticks_until(due_tick, current->now);
    if (!current->keys.empty()) {
        wait = std::min(wait, ticks_until(current->keys.front().tick, current->now));
    }
    if (wait > 0) {
        current->now += static_cast<std::uint32_t>(wait) + current->stall_ticks;
        current->stall_ticks = 0;
        current->sleeps += 1;
    }
}

void memory_write(const char* text, std::size_t length) {
    log(console_op::write);
    if (current->logging) {
        current->text.append(text, length);
    }
    screen_write(current->screen, text, length);
}

void memory_move(int column, int row) {
    log(console_op::move);
    screen_move(current->screen, column, row);
}

void memory_attribute(std::uint16_t attribute) {
    log(console_op::attribute);
    screen_set_attribute(current->screen, attribute);
}

void memory_cursor(bool visible, unsigned size) {
    log(console_op::cursor);
    screen_set_cursor(current->screen, visible, size);
}

void memory_clear() {
    log(console_op::clear);
    screen_clear(current->screen);
}

void memory_colour_bright_white() {
    log(console_op::colour);
    screen_recolour(current->screen, 15);
}

void memory_flush() {
    log(console_op::flush);
    if (current->logging) {
        current->flush_ticks.push_back(current->now);
    }
    if (current->on_flush) {
        current->on_flush();
    }
}

const screen_model& memory_screen() {
    return current->screen;
}

constexpr platform_backend memory_platform = {
    memory_open,     memory_close,       memory_key_waiting,
    memory_read_key, memory_clock_ticks, memory_wait_for_key_until,
    memory_write,    memory_move,        memory_attribute,
    memory_cursor,   memory_clear,       memory_colour_bright_white,
    memory_flush,    memory_screen,
};

} // namespace

void use_memory_console(memory_console& console) {
    console = memory_console{};
    screen_reset(console.screen);
    current = &console;
    use_platform(memory_platform);
}
