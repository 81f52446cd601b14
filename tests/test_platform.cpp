#include "test_platform.h"

namespace {

memory_console the_console;

} // namespace

memory_console& console_under_test() {
    return the_console;
}

void reset_console_under_test() {
    use_memory_console(the_console);
    the_console.logging = true;
}

std::string screen_text(int column, int row, int width) {
    return screen_text(the_console.screen, column, row, width);
}

std::uint16_t screen_attribute(int column, int row) {
    return the_console.screen.cells[row][column].attribute;
}
