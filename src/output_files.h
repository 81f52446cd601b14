// The files a run writes (the recording, the trace): never the same file as another one the
// command line names, and created or emptied only once the run starts, all or none.
#pragma once

#include <cstddef>
#include <cstdio>

// Whether `a` and `b` name one file: the same file where both exist (through links too),
// otherwise the same place once the folders on the way are resolved.
bool same_file(const char* a, const char* b);

struct output_file {
    const char* path; // nullptr: not asked for
    const char* what; // how messages name it: "trace", "recording"
    std::FILE* file;  // open and empty once open_output_files succeeded
};

// Puts the file `from` in the place of `to` at once (where the system can: Windows does not
// rename onto an existing file, so there the old one goes first).
bool replace_file(const char* from, const char* to);

// Opens every file asked for, emptied, for writing. When one of them cannot be written, says why
// on stderr, leaves every file as it was (removing the ones it created) and returns false.
bool open_output_files(output_file* files, std::size_t count);
