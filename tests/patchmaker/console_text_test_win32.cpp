// The patch maker's console on Windows: UTF-8 output while a run lasts, paths as they are.
#include "patchmaker/console_text.hpp"

#include <gtest/gtest.h>

#include <windows.h>

namespace qz4 {
namespace {

TEST(PatchMakerConsoleWindows, OutputIsUtf8WhileTheRunLasts) {
    EXPECT_EQ(shown_path(L"C:\\game\\input\\Bin\\Game.EXE"), L"C:\\game\\input\\Bin\\Game.EXE");
    if (::GetConsoleOutputCP() == 0)
        ::AllocConsole();
    if (::GetConsoleOutputCP() == 0 || ::SetConsoleOutputCP(437) == FALSE)
        GTEST_SKIP() << "no console to switch";
    {
        const utf8_console_output utf8;
        EXPECT_EQ(::GetConsoleOutputCP(), static_cast<UINT>(CP_UTF8));
    }
    EXPECT_EQ(::GetConsoleOutputCP(), 437u);
}

} // namespace
} // namespace qz4
