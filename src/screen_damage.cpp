#include "screen_damage.h"

namespace {

// Whether the character of the model at `column` (both cells, when it is wide) differs from what
// the console shows there; the right half of a wide character counts with its left half.
bool character_differs(const screen_cell* want, const screen_cell* shown, int column) {
    if (want[column].part == cell_part::wide_right) {
        return false;
    }
    const bool wide = want[column].part == cell_part::wide_left && column + 1 < screen_columns;
    return !(want[column] == shown[column]) || (wide && !(want[column + 1] == shown[column + 1]));
}

int cells_of(const screen_cell* want, int column) {
    return want[column].part == cell_part::wide_left && column + 1 < screen_columns ? 2 : 1;
}

} // namespace

void forget_shown(shown_screen& shown) {
    for (auto& line : shown.cells) {
        for (screen_cell& cell : line) {
            cell = unknown_cell;
        }
    }
    shown.unknown_rows = ~0u;
}

std::uint32_t take_damaged_rows(screen_model& model, shown_screen& shown) {
    const std::uint32_t rows = model.changed_rows | shown.unknown_rows;
    model.changed_rows = 0;
    shown.unknown_rows = 0;
    return rows;
}

bool next_damage(const screen_model& model, const shown_screen& shown, int row, int from,
                 cell_run& run) {
    const screen_cell* want = model.cells[row];
    const screen_cell* seen = shown.cells[row];
    int c = from;
    while (c < screen_columns && !character_differs(want, seen, c)) {
        c += cells_of(want, c);
    }
    if (c >= screen_columns) {
        return false;
    }
    run.first = c;
    while (c < screen_columns && character_differs(want, seen, c)) {
        c += cells_of(want, c);
    }
    run.end = c;
    return true;
}

void mark_shown(const screen_model& model, shown_screen& shown, int row, const cell_run& run) {
    for (int c = run.first; c < run.end; ++c) {
        shown.cells[row][c] = model.cells[row][c];
    }
}
