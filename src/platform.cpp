#include "platform.h"

namespace {

// The platform in use; chosen once at start, before the first operation.
const platform_backend* active = nullptr;

} // namespace

void use_platform(const platform_backend& backend) {
    active = &backend;
}

bool console_open(int below_row) {
    return active->open(below_row);
}

bool console_close() {
    return active->close();
}

bool key_waiting() {
    return active->key_waiting();
}

int read_key() {
    return active->read_key();
}

std::uint32_t clock_ticks() {
    return active->clock_ticks();
}

void wait_for_key_until(std::uint32_t due_tick) {
    active->wait_for_key_until(due_tick);
}

void console_write(const char* text, std::size_t length) {
    active->write(text, length);
}

void console_move(int column, int row) {
    active->move(column, row);
}

void console_attribute(std::uint16_t attribute) {
    active->attribute(attribute);
}

void console_cursor(bool visible, unsigned size) {
    active->cursor(visible, size);
}

void console_clear() {
    active->clear();
}

void console_colour_bright_white() {
    active->colour_bright_white();
}

void console_flush() {
    active->flush();
}

const screen_model& console_screen() {
    return active->screen();
}
