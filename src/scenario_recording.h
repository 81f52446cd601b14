// An interactive session recorded as a scenario that reproduces it: every key in the window in
// which the program took it, and the final screen as expectations.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

struct session_recording {
    std::FILE* file;
    std::string typed;          // keys of consecutive one-key windows, not yet written
    std::string first_key;      // this window's first key, by name
    std::string window;         // the latest key, by name
    int window_keys;            // how many keys this window has had
    std::uint64_t idle_windows; // windows without a key, not yet written
    std::uint64_t cycles;       // cycles run
};

// Writes the recording's first line to `file` (open for writing and empty), which the recording
// then owns.
void recording_open(session_recording& recording, std::FILE* file);
void recording_key(session_recording& recording, int key);
void recording_cycle(session_recording& recording);
// `cycles` cycles in a row with no key, as many calls of recording_cycle would record them.
void recording_idle_cycles(session_recording& recording, std::uint64_t cycles);
// Writes the last window (the one with the quit) and an expectation for every field of the final
// screen, the cycles run and the bells rung, then closes the file; false when it could not be
// written.
bool recording_close(session_recording& recording);
