// doorlock.exe on a real Windows console: this program starts it on its own console, types keys
// as console input records and reads the screen back from the console's cells.
#include <windows.h>

#include "windows_console_child.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

namespace {

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
