// The Windows painter on a real console: this program runs the simulator's own loop on its own
// console, types a session into that console's input as it goes, then compares the console's
// cells with the screen model cell for cell. In the cycles of the session that change nothing,
// painting must make no console call.
#include "UI.h"
#include "determine_signal.h"
#include "platform.h"
#include "platform_windows.h"
#include "screen_model.h"
#include "windows_console_child.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

namespace {

struct timed_key {
    std::uint32_t cycle; // typed when this cycle runs, read in the window after it
    wchar_t character;
};

struct session {
    HANDLE input;
    std::vector<timed_key> keys;
    std::size_t typed;
    std::uint32_t idle_from; // no key, no timeout: nothing on the screen changes from here
    std::uint32_t idle_to;
    std::uint64_t calls_at_idle_start;
    std::uint64_t calls_while_idle;
};

void on_cycle(void* context, const loop_state& loop, std::uint32_t /*start_tick*/) {
    auto& s = *static_cast<session*>(context);
    if (loop.cycle_number == s.idle_from) {
        s.calls_at_idle_start = paint_console_calls();
    } else if (loop.cycle_number == s.idle_to) {
        s.calls_while_idle = paint_console_calls() - s.calls_at_idle_start;
    }
    for (; s.typed < s.keys.size() && s.keys[s.typed].cycle <= loop.cycle_number; ++s.typed) {
        write_key_press(s.input, s.keys[s.typed].character,
                        static_cast<WORD>(towupper(s.keys[s.typed].character)));
    }
}

HANDLE open_console(const char* name) {
    return CreateFileA(name, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                       nullptr, OPEN_EXISTING, 0, nullptr);
}

// Whether the console's cell shows the model's cell: the same character, attribute and half.
bool same_cell(const CHAR_INFO& console, const screen_cell& model) {
    const WORD halves = COMMON_LVB_LEADING_BYTE | COMMON_LVB_TRAILING_BYTE;
    const WORD part = model.part == cell_part::wide_left    ? COMMON_LVB_LEADING_BYTE
                      : model.part == cell_part::wide_right ? COMMON_LVB_TRAILING_BYTE
                                                            : 0;
    return console.Char.UnicodeChar == model.character &&
           (console.Attributes & 0xFF) == model.attribute && (console.Attributes & halves) == part;
}

TEST(WindowsPainter, PaintsTheModelCellForCellAndNothingWhileIdle) {
    const HANDLE input = open_console("CONIN$");
    const HANDLE output = open_console("CONOUT$");
    ASSERT_NE(input, INVALID_HANDLE_VALUE);
    ASSERT_NE(output, INVALID_HANDLE_VALUE);
    // The program's own standard handles are the console, whatever runs this test reads.
    SetStdHandle(STD_INPUT_HANDLE, input);
    SetStdHandle(STD_OUTPUT_HANDLE, output);
    FlushConsoleInputBuffer(input);

    // Register 1234; close and open the cover; lock; a wrong code (sound 2, two bells); the right
    // one (sound 1, unlocked); the key; then 200 cycles without a key; then quit.
    session s{input, {}, 0, 320, 520, 0, 0};
    std::uint32_t cycle = 20;
    for (const wchar_t key : std::wstring(L"1234cCl5678") + L"1234k") {
        s.keys.push_back({cycle, key});
        cycle += 10;
    }
    s.keys.push_back({s.idle_to + 10, L'q'});

    use_platform(terminal_platform);
    ASSERT_TRUE(console_open(below_screen));
    const loop_observer observer{&s, nullptr, on_cycle, nullptr, nullptr, false};
    draw_start_screen();
    // The keys are typed from the cycles themselves, so the loop wakes for every cycle rather
    // than sleep while nothing can change.
    mainmodule(false, &observer, true);
    const std::uint64_t calls = paint_console_calls();
    const screen_model& model = console_screen();

    CHAR_INFO cells[screen_rows][screen_columns]{};
    SMALL_RECT region{0, 0, screen_columns - 1, screen_rows - 1};
    const bool read = ReadConsoleOutputW(output, &cells[0][0], COORD{screen_columns, screen_rows},
                                         COORD{0, 0}, &region) != 0;
    CONSOLE_CURSOR_INFO cursor{};
    GetConsoleCursorInfo(output, &cursor);
    console_close();
    ASSERT_TRUE(read);

    // The session reached the program: the model shows it.
    EXPECT_EQ(screen_text(model, 40, 1, 8), "1 2 3 4 ");
    EXPECT_EQ(screen_text(model, 10, 10, 6), "UNLOCK");
    EXPECT_EQ(screen_text(model, 1, 14, 7), "Sound 1");
    EXPECT_EQ(model.bells, 3u) << "two for the wrong code, one for the right one";

    int differing = 0;
    for (int row = 0; row < screen_rows; ++row) {
        for (int column = 0; column < screen_columns; ++column) {
            const CHAR_INFO& shown = cells[row][column];
            const screen_cell& wanted = model.cells[row][column];
            if (!same_cell(shown, wanted) && ++differing <= 10) {
                ADD_FAILURE() << "cell (" << column << ", " << row << ") shows U+" << std::hex
                              << static_cast<unsigned>(shown.Char.UnicodeChar) << " in "
                              << shown.Attributes << ", the model has U+"
                              << static_cast<unsigned>(wanted.character) << " in "
                              << wanted.attribute << std::dec;
            }
        }
    }
    EXPECT_EQ(differing, 0) << "cells that differ from the model";
    EXPECT_EQ(cursor.bVisible != 0, model.cursor_visible);
    EXPECT_EQ(s.calls_while_idle, 0u)
        << "console calls in " << s.idle_to - s.idle_from << " cycles that changed nothing";
    char line[160];
    std::snprintf(line, sizeof line,
                  "painting: %llu console calls in a session of %u cycles, %llu in its %u cycles "
                  "that changed nothing\n",
                  static_cast<unsigned long long>(calls), s.idle_to + 10,
                  static_cast<unsigned long long>(s.calls_while_idle), s.idle_to - s.idle_from);
    std::fputs(line, stdout);
    if (std::FILE* figures = std::fopen("windows_figures.txt", "a")) { // the stage's summary
        std::fputs(line, figures);
        std::fclose(figures);
    }
}

} // namespace
