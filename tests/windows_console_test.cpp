// doorlock.exe on a real Windows console: this program starts it on its own console, types keys
// as console input records and reads the screen back from the console's cells.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

namespace {

std::wstring doorlock_path() {
    wchar_t own[MAX_PATH];
    const DWORD n = GetModuleFileNameW(nullptr, own, MAX_PATH);
    std::wstring path(own, n);
    path.erase(path.find_last_of(L"\\/")); // tests
    path.erase(path.find_last_of(L"\\/") + 1);
    return path + L"doorlock.exe";
}

class console_child {
  public:
    console_child() {
        // The console's own handles, inheritable: the program's standard handles are these even
        // when this test's output goes to a file.
        const DWORD share = FILE_SHARE_READ | FILE_SHARE_WRITE;
        SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
        in_ = CreateFileA("CONIN$", GENERIC_READ | GENERIC_WRITE, share, &inherit, OPEN_EXISTING, 0,
                          nullptr);
        out_ = CreateFileA("CONOUT$", GENERIC_READ | GENERIC_WRITE, share, &inherit, OPEN_EXISTING,
                           0, nullptr);
        clear_screen(); // nothing of an earlier run may pass for this one's screen
        std::wstring command = L"\"" + doorlock_path() + L"\"";
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

    // One key press and release, as the keyboard gives it to the console.
    void key(wchar_t character, WORD virtual_key, DWORD control = 0) {
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
        WriteConsoleInputW(in_, records, 2, &written);
    }
    void type(const std::wstring& characters) {
        for (wchar_t c : characters) {
            key(c, static_cast<WORD>(towupper(c)));
        }
    }
    std::wstring text(int column, int row, int length) const {
        std::wstring cells(static_cast<std::size_t>(length), L' ');
        DWORD read = 0;
        ReadConsoleOutputCharacterW(out_, cells.data(), static_cast<DWORD>(length),
                                    COORD{static_cast<SHORT>(column), static_cast<SHORT>(row)},
                                    &read);
        cells.resize(read);
        return cells;
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

TEST(WindowsConsole, WholeSessionOnTheConsole) {
    console_child lock;
    ASSERT_TRUE(lock.started());
    ASSERT_TRUE(lock.wait_for_text(10, 10, L"UNLOCK")) << "no first frame";

    // Start screen. Hangul is compared by content and where it starts: wine gives a syllable
    // one cell where Windows gives it two.
    EXPECT_EQ(lock.text(20, 1, 4), L"비밀번호");
    EXPECT_EQ(lock.text(18, 2, 4), L"입력중인");
    EXPECT_EQ(lock.text(1, 11, 4), L"커버상태");
    EXPECT_EQ(lock.text(40, 1, 7), L" None  ");
    EXPECT_EQ(lock.text(1, 1, 8), L"1  2  3 ");
    EXPECT_EQ(lock.attribute(1, 1), 159);
    EXPECT_EQ(lock.attribute(4, 4), 159);
    EXPECT_EQ(lock.attribute(10, 10), 15);

    // Arrows and paging keys are one key each: PgDn's scan code would read as Q, the left arrow's
    // as K, Delete's as S.
    lock.key(0, VK_NEXT, ENHANCED_KEY);
    lock.key(0, VK_LEFT, ENHANCED_KEY);
    lock.key(0, VK_DELETE, ENHANCED_KEY);
    lock.key(0, VK_F1);
    lock.type(L"7");
    ASSERT_TRUE(lock.wait_for_text(40, 10, L"숫자 7")) << "the digit after them was read";
    ASSERT_TRUE(lock.wait_for_text(40, 2, L"7 "));
    EXPECT_EQ(lock.attribute(1, 3), 158) << "7 highlighted on the backlit pad";

    // Register 7 4 1 (with the 7 above), lock, unlock with the code.
    for (const wchar_t* step : {L"4", L"1", L"0"}) {
        lock.type(step);
        Sleep(40);
    }
    ASSERT_TRUE(lock.wait_for_text(40, 1, L"7 4 1 0 "));
    lock.type(L"l");
    ASSERT_TRUE(lock.wait_for_text(10, 10, L"LOCK  "));
    Sleep(50);
    for (const wchar_t* step : {L"7", L"4", L"1", L"0"}) {
        lock.type(step);
        Sleep(40);
    }
    ASSERT_TRUE(lock.wait_for_text(1, 14, L"Sound 1"));
    EXPECT_EQ(lock.text(10, 10, 6), L"UNLOCK");

    lock.type(L"q");
    EXPECT_EQ(lock.exit_code(), 0);
}

TEST(WindowsConsole, WaitingKeepsTenMillisecondCycles) {
    console_child lock;
    ASSERT_TRUE(lock.started());
    ASSERT_TRUE(lock.wait_for_text(10, 10, L"UNLOCK"));
    for (const wchar_t* step : {L"1", L"2", L"3", L"4"}) {
        lock.type(step);
        Sleep(40);
    }
    ASSERT_TRUE(lock.wait_for_text(40, 1, L"1 2 3 4 "));
    // The bolt locks in the 301st cycle after the door closed: about 3 s at 10 ms a cycle,
    // where a 15.6 ms timer would make it 4.7 s.
    lock.type(L"d");
    const ULONGLONG closed_at = GetTickCount64();
    ASSERT_TRUE(lock.wait_for_text(10, 10, L"LOCK  ", 10000));
    const ULONGLONG took = GetTickCount64() - closed_at;
    EXPECT_GE(took, 2900u);
    EXPECT_LE(took, 3500u);
    std::printf("automatic lock after %llu ms\n", took);
    lock.type(L"q");
    EXPECT_EQ(lock.exit_code(), 0);
}

} // namespace
