// A program of the build started on this test's console: keys typed as console input records,
// the screen read back from the console's cells.
#pragma once

#include <windows.h>

#include <string>

// A program of the build beside the tests folder: doorlock.exe or a reference build.
inline std::wstring program_path(const wchar_t* program) {
    wchar_t own[MAX_PATH];
    const DWORD n = GetModuleFileNameW(nullptr, own, MAX_PATH);
    std::wstring path(own, n);
    path.erase(path.find_last_of(L"\\/")); // tests
    path.erase(path.find_last_of(L"\\/") + 1);
    return path + program;
}

// One key press and release written to a console's input, as the keyboard gives it.
inline void write_key_press(HANDLE input, wchar_t character, WORD virtual_key, DWORD control = 0) {
    INPUT_RECORD records[2]{};
    for (int i = 0; i < 2; ++i) {
        KEY_EVENT_RECORD& k = records[i].Event.KeyEvent;
        records[i].EventType = KEY_EVENT;
        k.bKeyDown = i == 0;
        k.wRepeatCount = 1;
        k.wVirtualKeyCode = virtual_key;
        k.wVirtualScanCode = static_cast<WORD>(MapVirtualKeyW(virtual_key, MAPVK_VK_TO_VSC));
        k.uChar.UnicodeChar = character;
        k.dwControlKeyState = control;
    }
    DWORD written = 0;
    WriteConsoleInputW(input, records, 2, &written);
}

class console_child {
  public:
    explicit console_child(const wchar_t* program = L"doorlock.exe") {
        // The console's own handles, inheritable: the program's standard handles are these even
        // when this test's output goes to a file.
        const DWORD share = FILE_SHARE_READ | FILE_SHARE_WRITE;
        SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
        in_ = CreateFileA("CONIN$", GENERIC_READ | GENERIC_WRITE, share, &inherit, OPEN_EXISTING, 0,
                          nullptr);
        out_ = CreateFileA("CONOUT$", GENERIC_READ | GENERIC_WRITE, share, &inherit, OPEN_EXISTING,
                           0, nullptr);
        clear_screen();               // nothing of an earlier run may pass for this one's screen
        FlushConsoleInputBuffer(in_); // nor may its keys reach this one
        std::wstring command = L"\"" + program_path(program) + L"\"";
        STARTUPINFOW startup{};
        startup.cb = sizeof startup;
        startup.dwFlags = STARTF_USESTDHANDLES;
        startup.hStdInput = in_;
        startup.hStdOutput = out_;
        startup.hStdError = out_;
        started_ = CreateProcessW(nullptr, command.data(), nullptr, nullptr, TRUE, 0, nullptr,
                                  nullptr, &startup, &process_) != 0;
    }
    ~console_child() {
        if (started_ && WaitForSingleObject(process_.hProcess, 0) == WAIT_TIMEOUT) {
            TerminateProcess(process_.hProcess, 1);
        }
        CloseHandle(process_.hProcess);
        CloseHandle(process_.hThread);
        CloseHandle(in_);
        CloseHandle(out_);
    }
    bool started() const { return started_; }
    HANDLE process() const { return process_.hProcess; }

    // One key press and release, as the keyboard gives it to the console.
    void key(wchar_t character, WORD virtual_key, DWORD control = 0) {
        write_key_press(in_, character, virtual_key, control);
    }
    void type(const std::wstring& characters) {
        for (wchar_t c : characters) {
            key(c, static_cast<WORD>(towupper(c)));
        }
    }
    // `length` characters from (column, row); a wide character's two cells give it once.
    std::wstring text(int column, int row, int length) const {
        CHAR_INFO cells[160]{};
        const int width = length * 2 < 160 ? length * 2 : 160;
        SMALL_RECT region{static_cast<SHORT>(column), static_cast<SHORT>(row),
                          static_cast<SHORT>(column + width - 1), static_cast<SHORT>(row)};
        std::wstring out;
        if (!ReadConsoleOutputW(out_, cells, COORD{static_cast<SHORT>(width), 1}, COORD{0, 0},
                                &region)) {
            return out;
        }
        const int read = region.Right - region.Left + 1;
        for (int c = 0; c < read && static_cast<int>(out.size()) < length; ++c) {
            if ((cells[c].Attributes & COMMON_LVB_TRAILING_BYTE) == 0) {
                out += cells[c].Char.UnicodeChar;
            }
        }
        return out;
    }
    WORD attribute(int column, int row) const {
        WORD value = 0;
        DWORD read = 0;
        ReadConsoleOutputAttribute(
            out_, &value, 1, COORD{static_cast<SHORT>(column), static_cast<SHORT>(row)}, &read);
        return value;
    }
    bool wait_for_text(int column, int row, const std::wstring& expected,
                       DWORD timeout_ms = 20000) {
        const ULONGLONG deadline = GetTickCount64() + timeout_ms;
        while (GetTickCount64() < deadline) {
            if (text(column, row, static_cast<int>(expected.size())) == expected) {
                return true;
            }
            Sleep(10);
        }
        return false;
    }
    // Waits for the program to end; its exit code, or -1 when it did not end.
    long exit_code(DWORD timeout_ms = 10000) const {
        if (WaitForSingleObject(process_.hProcess, timeout_ms) != WAIT_OBJECT_0) {
            return -1;
        }
        DWORD code = 0;
        GetExitCodeProcess(process_.hProcess, &code);
        return static_cast<long>(code);
    }

  private:
    void clear_screen() {
        CONSOLE_SCREEN_BUFFER_INFO info{};
        GetConsoleScreenBufferInfo(out_, &info);
        const DWORD cells = static_cast<DWORD>(info.dwSize.X) * static_cast<DWORD>(info.dwSize.Y);
        DWORD done = 0;
        FillConsoleOutputCharacterW(out_, L' ', cells, COORD{0, 0}, &done);
    }

    HANDLE in_ = INVALID_HANDLE_VALUE;
    HANDLE out_ = INVALID_HANDLE_VALUE;
    PROCESS_INFORMATION process_{};
    bool started_ = false;
};
