// The screen model's rules for text: wide characters, writing over them, edges and controls; and
// the runs of cells that a painter finds to send.
#include "screen_damage.h"
#include "screen_model.h"

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(ScreenModel, WritesLandAsOnATerminal) {
    const struct {
        const char* what;
        int column; // where the second text starts on row 1 (the first starts at column 0)
        const char* first;
        const char* second;
        const char* row_shows; // columns 0 to 9 of row 1 afterwards
        const char* parts;     // n narrow, l / r the left and right half of a wide character
    } cases[] = {
        {"plain text", 3, "abcdefghij", "XY", "abcXYfghij", "nnnnnnnnnn"},
        {"Hangul takes two cells", 0, "", "열림", "열림      ", "lrlrnnnnnn"},
        {"over a left half", 0, "열림", "x", "x 림      ", "nnlrnnnnnn"},
        {"over a right half", 1, "열림", "x", " x림      ", "nnlrnnnnnn"},
        {"wide over two halves", 1, "열림", "문", " 문       ", "nlrnnnnnnn"},
        {"wide over narrow", 2, "abcdef", "문", "ab문ef    ", "nnlrnnnnnn"},
        {"line break and return", 0, "abc", "x\ny\rz", "xbc       ", "nnnnnnnnnn"},
        {"bell and controls move nothing", 0, "abc", "\a\x01x", "xbc       ", "nnnnnnnnnn"},
        {"broken UTF-8 shows one mark a byte", 0, "", "\xed\x95x",
         "\xef\xbf\xbd\xef\xbf\xbdx       ", "nnnnnnnnnn"},
    };
    for (const auto& c : cases) {
        screen_model screen{};
        screen_reset(screen);
        screen_move(screen, 0, 1);
        screen_write(screen, c.first, std::char_traits<char>::length(c.first));
        screen_move(screen, c.column, 1);
        screen_set_attribute(screen, 31);
        screen_write(screen, c.second, std::char_traits<char>::length(c.second));
        std::string parts;
        for (int column = 0; column < 10; ++column) {
            const cell_part part = screen.cells[1][column].part;
            parts += part == cell_part::narrow ? 'n' : part == cell_part::wide_left ? 'l' : 'r';
        }
        EXPECT_EQ(screen_text(screen, 0, 1, 10), c.row_shows) << c.what;
        EXPECT_EQ(parts, c.parts) << c.what;
    }
}

TEST(ScreenModel, EdgesBellsClearAndRecolour) {
    screen_model screen{};
    screen_reset(screen);
    EXPECT_EQ(screen.cells[5][5].attribute, 7);
    screen_move(screen, 78, 0);
    screen_write(screen, "ab문", 5);
    EXPECT_EQ(screen_text(screen, 76, 0, 4), "  ab") << "a wide character that does not fit";
    EXPECT_EQ(screen_text(screen, 0, 1, 3), "   ") << "nothing wraps to the next row";
    screen_move(screen, 0, screen_rows - 1);
    screen_write(screen, "x\ny\a\a", 5);
    EXPECT_EQ(screen.row, screen_rows);
    EXPECT_EQ(screen.bells, 2u);
    EXPECT_EQ(screen_text(screen, 0, screen_rows - 1, 1), "x");

    screen_set_attribute(screen, 159);
    screen_clear(screen);
    EXPECT_EQ(screen_text(screen, 76, 0, 4), "    ");
    EXPECT_EQ(screen.cells[3][3].attribute, 159);
    EXPECT_EQ(screen.column, 0);
    screen_recolour(screen, 15);
    EXPECT_EQ(screen.cells[23][79].attribute, 15);
    EXPECT_EQ(screen.attribute, 15);
}

TEST(ScreenDamage, RunsOfWholeCharactersThatDiffer) {
    const struct {
        const char* what;
        const char* shown; // row 0 as the console shows it (written on a fresh model)
        const char* model; // row 0 as the program wrote it
        const char* runs;  // the runs found, "first-end" each
    } cases[] = {
        {"nothing changed", "abc 열림", "abc 열림", ""},
        {"one cell", "abcdef", "abXdef", "2-3 "},
        {"two runs", "abcdef", "Xbcdeg", "0-1 5-6 "},
        {"a wide character counts whole", "열림", "열문", "2-4 "},
        {"narrow over the right half shown", "a열b", "a xb", "1-3 "},
        {"narrow over the left half shown", "a열b", "ax b", "1-3 "},
        {"wide over two halves shown", "열림", " 문 ", "0-4 "},
    };
    for (const auto& c : cases) {
        screen_model console{};
        screen_reset(console);
        screen_write(console, c.shown, std::char_traits<char>::length(c.shown));
        shown_screen shown{};
        forget_shown(shown);
        for (int row = 0; row < screen_rows; ++row) {
            mark_shown(console, shown, row, {0, screen_columns});
        }
        screen_model model{};
        screen_reset(model);
        screen_write(model, c.model, std::char_traits<char>::length(c.model));
        std::string found;
        cell_run run{};
        for (int from = 0; next_damage(model, shown, 0, from, run); from = run.end) {
            found += std::to_string(run.first) + "-" + std::to_string(run.end) + " ";
        }
        EXPECT_EQ(found, c.runs) << c.what;
        EXPECT_FALSE(next_damage(model, shown, 1, 0, run)) << c.what << ": row 1 is the same";
    }
}

} // namespace
