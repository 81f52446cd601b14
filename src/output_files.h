// The files a run writes. The recording and the trace, written as the run goes: never the same
// file as another one the command line names, and created or emptied only once the run starts,
// all or none. Reports, counterexamples and diagrams, written at the end: whole or not at all.
#pragma once

#include <cstddef>
#include <cstdio>
#include <string>

// Whether `a` and `b` name one file: the same file where both exist (through links too),
// otherwise the same place once the folders on the way are resolved.
bool same_file(const char* a, const char* b);

struct output_file {
    const char* path; // nullptr: not asked for
    const char* what; // how messages name it: "trace", "recording"
    std::FILE* file;  // open and empty once open_output_files succeeded
};

// Puts the file `from` in the place of `to` at once; false, with errno set, when it cannot (the old
// file `to` then stays).
bool replace_file(const char* from, const char* to);

// A file written whole or not at all (a report, a counterexample, a diagram): written beside its
// place as PATH.partial and put there once complete, so that a run killed, a disk full or a write
// that fails on the way leaves the old file as it was, never one cut short. Put in place, the new
// file replaces a link rather than writing through it.
struct whole_file {
    const char* path = nullptr;
    const char* what = nullptr; // how messages name it: "JUnit file", "counterexample"
    std::string partial;
    std::FILE* file = nullptr;
};

// Opens the partial file for writing; false, with the reason on stderr, when it cannot be made.
bool open_whole_file(whole_file& f, const char* path, const char* what);
// Closes the partial file and puts it in place; false, with the reason on stderr, when a write,
// the close or the move failed (the partial file is then removed and the old file stays).
bool close_whole_file(whole_file& f);

// Opens every file asked for, emptied, for writing. When one of them cannot be written, says why
// on stderr, leaves every file as it was (removing the ones it created) and returns false.
bool open_output_files(output_file* files, std::size_t count);
