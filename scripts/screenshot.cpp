// Runs doorlock in a pseudo-terminal, types a short scenario and writes what the screen shows as
// an SVG picture with its colours. Usage: doorlock_screenshot DOORLOCK OUTPUT.svg
#include "pty_screen.h"

#include <chrono>
#include <cstdio>
#include <fstream>
#include <string>
#include <thread>

namespace {

using namespace std::chrono_literals;

constexpr int rows = 24;
constexpr int columns = 80;
constexpr int cell_width = 10;
constexpr int cell_height = 20;

// xterm's colours for the 16 ANSI indices.
const char* const palette[16] = {"#000000", "#cd0000", "#00cd00", "#cdcd00", "#0000ee", "#cd00cd",
                                 "#00cdcd", "#e5e5e5", "#7f7f7f", "#ff0000", "#00ff00", "#ffff00",
                                 "#5c5cff", "#ff00ff", "#00ffff", "#ffffff"};

const char* colour(int index, const char* fallback) {
    return index >= 0 && index < 16 ? palette[index] : fallback;
}

std::string escaped(const std::string& text) {
    std::string out;
    for (char c : text) {
        switch (c) {
        case '&': out += "&amp;"; break;
        case '<': out += "&lt;"; break;
        case '>': out += "&gt;"; break;
        default: out += c;
        }
    }
    return out;
}

bool wide(const std::string& character) {
    // Hangul syllables are three bytes in UTF-8 starting with 0xEA to 0xED.
    const auto lead = static_cast<unsigned char>(character[0]);
    return character.size() == 3 && lead >= 0xEA && lead <= 0xED;
}

void write_svg(const pty_program& screen, const std::string& path) {
    std::ofstream svg(path);
    svg << "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" << columns * cell_width
        << "\" height=\"" << rows * cell_height
        << "\" font-family=\"monospace\" font-size=\"16\">\n"
        << "<rect width=\"100%\" height=\"100%\" fill=\"#000000\"/>\n";
    for (int row = 0; row < rows; ++row) {
        for (int column = 0; column < columns;) {
            const std::string character = screen.text(row, column, 1);
            const int span = wide(character) ? 2 : 1;
            const cell_colours c = screen.colours(row, column);
            const int x = column * cell_width;
            const int y = row * cell_height;
            if (c.bg > 0) {
                svg << "<rect x=\"" << x << "\" y=\"" << y << "\" width=\"" << span * cell_width
                    << "\" height=\"" << cell_height << "\" fill=\"" << colour(c.bg, "#000000")
                    << "\"/>\n";
            }
            if (character != " " && c.fg != c.bg) {
                svg << "<text x=\"" << x << "\" y=\"" << y + cell_height - 5 << "\" fill=\""
                    << colour(c.fg, "#e5e5e5") << "\">" << escaped(character) << "</text>\n";
            }
            column += span;
        }
    }
    svg << "</svg>\n";
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: doorlock_screenshot DOORLOCK OUTPUT.svg\n");
        return 2;
    }
    pty_program program{{argv[1], "--states"}, {}, rows, columns};
    if (!program.wait_for_text(10, 10, "UNLOCK")) {
        std::fprintf(stderr, "doorlock did not start\n");
        return 1;
    }
    // Register 1357, lock, then type 1 and 3 of the code: an entry in progress.
    const char* steps[] = {"1", "3", "5", "7", "", "", "L", "", "1", "3"};
    for (const char* keys : steps) {
        program.type(keys);
        program.pause(60ms);
    }
    if (!program.wait_for_text(2, 40, "1 3 ")) {
        std::fprintf(stderr, "the scenario did not go as planned\n");
        return 1;
    }
    program.pause(30ms);
    write_svg(program, argv[2]);
    program.type("q");
    program.wait_exit();
    return 0;
}
