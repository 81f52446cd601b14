#include "scenario_recording.h"

#include "platform.h"
#include "scenario_format.h"
#include "screen_model.h"

namespace {

void append_key(std::string& out, int key) {
    if (const char* name = key_name(key)) {
        out += '<';
        out += name;
        out += '>';
        return;
    }
    if (key > 0x20 && key < 0x7F) {
        out += static_cast<char>(key);
        return;
    }
    char name[16];
    std::snprintf(name, sizeof name, "<0x%02x>", static_cast<unsigned>(key & 0xFF));
    out += name;
}

// Each line goes to the file as soon as it is complete, so that a crash or a kill -9 loses the
// last moment of the session at the most. Lines come with keys, not with idle cycles.
void line_complete(session_recording& r) {
    std::fflush(r.file);
}

void write_pending(session_recording& r) {
    if (r.idle_windows > 0) {
        std::fprintf(r.file, "wait %llu\n", static_cast<unsigned long long>(r.idle_windows));
        r.idle_windows = 0;
    }
    if (!r.typed.empty()) {
        std::fprintf(r.file, "type %s\n", r.typed.c_str());
        r.typed.clear();
    }
    line_complete(r);
}

// A type line grows by a key for each one-key window; past this it goes out and another begins.
constexpr std::size_t longest_type_line = 200;

// Ends the window: a window without keys counts as a wait, one key joins the keys typed one a
// window, several keys were written as they came, as a press of their own.
void end_window(session_recording& r) {
    if (r.window_keys == 0) {
        if (!r.typed.empty()) {
            write_pending(r);
        }
        r.idle_windows += 1;
    } else if (r.window_keys == 1) {
        if (r.idle_windows > 0 || r.typed.size() > longest_type_line) {
            write_pending(r);
        }
        r.typed += r.first_key;
    } else {
        std::fputc('\n', r.file);
        line_complete(r);
    }
    r.window.clear();
    r.window_keys = 0;
}

} // namespace

void recording_open(session_recording& recording, std::FILE* file) {
    recording = session_recording{};
    recording.file = file;
    recording.typed.reserve(longest_type_line + 64);
    recording.window.reserve(64);
    recording.first_key.reserve(64);
    std::fputs("# A doorlock session; run it with: doorlock --scenario FILE\n", recording.file);
    line_complete(recording);
}

void recording_key(session_recording& recording, int key) {
    recording.window.clear();
    append_key(recording.window, key);
    recording.window_keys += 1;
    if (recording.window_keys == 2) { // several keys in one window: a press line
        write_pending(recording);
        std::fprintf(recording.file, "press %s", recording.first_key.c_str());
    }
    if (recording.window_keys >= 2) {
        std::fputs(recording.window.c_str(), recording.file);
    } else {
        recording.first_key = recording.window;
    }
}

void recording_cycle(session_recording& recording) {
    end_window(recording);
    recording.cycles += 1;
}

void recording_idle_cycles(session_recording& recording, std::uint64_t cycles) {
    if (cycles == 0) {
        return;
    }
    end_window(recording); // the first of them ends the window before them
    recording.idle_windows += cycles - 1;
    recording.cycles += cycles;
}

bool recording_close(session_recording& recording) {
    if (recording.file == nullptr) {
        return true;
    }
    std::FILE* file = recording.file;
    if (recording.window_keys == 1) { // the last window, the one with the quit
        recording.typed += recording.first_key;
        write_pending(recording);
    } else {
        write_pending(recording);
        if (recording.window_keys > 1) {
            std::fputc('\n', file);
        }
    }
    const screen_model& screen = console_screen();
    std::fputs("# The screen at the quit\n", file);
    for (const screen_field& f : screen_fields) {
        std::string shown = screen_text(screen, f.column, f.row, f.width != 0 ? f.width : 40);
        if (f.width == 0) {
            shown.erase(shown.find_last_not_of(' ') + 1); // the echo, to the end of its text
            if (shown.empty()) {
                std::fprintf(file, "expect text %d %d %s\n", f.column, f.row,
                             quoted(std::string(19, ' ')).c_str());
                continue;
            }
        }
        std::fprintf(file, "expect %s %s\n", f.name, quoted(shown).c_str());
    }
    std::fprintf(file, "expect bells %u\nexpect cycle=%llu\n", screen.bells,
                 static_cast<unsigned long long>(recording.cycles));
    const bool written = std::ferror(file) == 0;
    const bool closed = std::fclose(file) == 0;
    recording.file = nullptr;
    if (!written || !closed) {
        std::fputs("doorlock: the recording could not be written completely\n", stderr);
        return false;
    }
    return true;
}
