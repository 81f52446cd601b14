// What a console shows, as far as its painter knows, and the runs of cells in which the screen
// model differs from it. Each console's painter keeps one of these beside the model, sends the
// runs in its own way and records what it sent, so that a cycle that changed nothing finds
// nothing to send.
#pragma once

#include "screen_model.h"

#include <cstdint>

// A cell whose content on the console is not known; no cell of the model holds it.
constexpr char32_t unknown_character = 0xFFFFFFFF;
constexpr screen_cell unknown_cell = {unknown_character, 0, cell_part::narrow};

struct shown_screen {
    screen_cell cells[screen_rows][screen_columns];
    std::uint32_t unknown_rows; // one bit a row with cells that became unknown since the last look
};

// Columns [first, end) of one row.
struct cell_run {
    int first;
    int end;
};

// Forgets what the console shows: every cell unknown, every row to be looked at again.
void forget_shown(shown_screen& shown);

// The rows to look at: those whose cells the model changed and those with cells that became
// unknown since the last call; both are cleared.
std::uint32_t take_damaged_rows(screen_model& model, shown_screen& shown);

// Finds the first run on `row`, at or after column `from`, of whole characters of the model whose
// cells differ from what the console shows. False when there is none. A run never cuts through a
// wide character of the console either: the model blanks the other half of one it writes over,
// so that half differs too, and an unknown cell is never wide.
bool next_damage(const screen_model& model, const shown_screen& shown, int row, int from,
                 cell_run& run);

// Records that the console now shows the model's cells of `run` on `row`.
void mark_shown(const screen_model& model, shown_screen& shown, int row, const cell_run& run);
