// The in-memory platform as the tests use it: one console, logging every operation.
#pragma once

#include "platform_memory.h"

#include <cstdint>
#include <string>

// The one console the platform operations act on; reset_console_under_test() starts afresh.
memory_console& console_under_test();
void reset_console_under_test();

// Text of `width` columns from (column, row), wide characters once.
std::string screen_text(int column, int row, int width);
std::uint16_t screen_attribute(int column, int row);
