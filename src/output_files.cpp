#include "output_files.h"

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <system_error>

#ifdef _WIN32
#include <windows.h>
#endif

namespace fs = std::filesystem;

bool same_file(const char* a, const char* b) {
    std::error_code error;
    if (fs::equivalent(a, b, error)) {
        return true;
    }
    if (!error && fs::exists(a, error) && fs::exists(b, error)) {
        return false; // two files that exist
    }
    std::error_code error_a;
    std::error_code error_b;
    const fs::path place_a = fs::weakly_canonical(fs::absolute(a, error_a), error_a);
    const fs::path place_b = fs::weakly_canonical(fs::absolute(b, error_b), error_b);
    return !error_a && !error_b && place_a == place_b;
}

namespace {

void cannot_write(const output_file& f) {
    std::fprintf(stderr, "doorlock: cannot write the %s %s: %s\n", f.what, f.path,
                 std::strerror(errno));
}

// Opens the file for writing without changing it yet: one that exists is opened for update, one
// that does not is created. False, with the reason on stderr, when it cannot be written.
bool open_unchanged(output_file& f, bool& created) {
    std::error_code error;
    created = !fs::exists(f.path, error);
    f.file = std::fopen(f.path, created ? "w" : "r+");
    if (f.file == nullptr) {
        cannot_write(f);
        return false;
    }
    return true;
}

} // namespace

bool open_output_files(output_file* files, std::size_t count) {
    bool created[4] = {};
    bool good = count <= 4;
    for (std::size_t i = 0; good && i < count; ++i) {
        good = files[i].path == nullptr || open_unchanged(files[i], created[i]);
    }
    for (std::size_t i = 0; good && i < count; ++i) {
        output_file& f = files[i];
        if (f.file != nullptr && !created[i]) { // now it is emptied
            std::fclose(f.file);
            f.file = std::fopen(f.path, "w");
            if (f.file == nullptr) {
                cannot_write(f);
                good = false;
            }
        }
    }
    for (std::size_t i = 0; !good && i < count; ++i) {
        if (files[i].file != nullptr) {
            std::fclose(files[i].file);
            files[i].file = nullptr;
            if (created[i]) {
                std::remove(files[i].path);
            }
        }
    }
    return good;
}

bool replace_file(const char* from, const char* to) {
#ifdef _WIN32
    // rename does not replace a file there; this does, in one step, so the old file stays when
    // it fails.
    if (MoveFileExA(from, to, MOVEFILE_REPLACE_EXISTING) != 0) {
        return true;
    }
    errno = GetLastError() == ERROR_ACCESS_DENIED ? EACCES : EIO;
    return false;
#else
    return std::rename(from, to) == 0;
#endif
}

bool open_whole_file(whole_file& f, const char* path, const char* what) {
    f = {path, what, std::string(path) + ".partial", nullptr};
    f.file = std::fopen(f.partial.c_str(), "w");
    if (f.file == nullptr) {
        std::fprintf(stderr, "doorlock: cannot write the %s %s (beside it first): %s\n", what, path,
                     std::strerror(errno));
        return false;
    }
    return true;
}

bool close_whole_file(whole_file& f) {
    const bool written = std::ferror(f.file) == 0;
    const bool closed = std::fclose(f.file) == 0;
    f.file = nullptr;
    if (!written || !closed) {
        std::fprintf(stderr, "doorlock: the %s %s could not be written completely\n", f.what,
                     f.path);
    } else if (!replace_file(f.partial.c_str(), f.path)) {
        std::fprintf(stderr, "doorlock: cannot write the %s %s: %s\n", f.what, f.path,
                     std::strerror(errno));
    } else {
        return true;
    }
    std::remove(f.partial.c_str());
    return false;
}
