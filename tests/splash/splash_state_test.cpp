#include "splash/splash_wnd.hpp"
#include "tests/support/system_probe.hpp"

#include <gtest/gtest.h>

#include <limits>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace {

// The update engine's threads write while the painter copies; the copy is always one of the
// texts written, never a torn mix (ThreadSanitizer watches the hand-over in the tsan build).
TEST(SplashState, WritersAndThePainterShareTheStateSafely) {
    CSplashWnd splash;
    const std::wstring texts[] = {L"Checking files", L"Downloading updates (42%)", L"Unpacking files"};
    std::vector<std::thread> writers;
    for (int w = 0; w < 2; ++w) {
        writers.emplace_back([&, w] {
            for (std::uint32_t i = 0; i < 2000; ++i) {
                splash.progress_total = 550;
                splash.progress_value = i % 551;
                splash.set_status_text(texts[(i + static_cast<std::uint32_t>(w)) % 3]);
            }
        });
    }
    for (int i = 0; i < 2000; ++i) {
        const auto copy = splash.take_snapshot();
        EXPECT_TRUE(copy.status_text.empty() || copy.status_text == texts[0] ||
                    copy.status_text == texts[1] || copy.status_text == texts[2]);
        EXPECT_LE(copy.progress_value, 550u);
    }
    for (auto& writer : writers)
        writer.join();
    EXPECT_FALSE(splash.closed);
}

// The figures reach the painter with the rest of the state, and go when they are cleared or
// when the bar changes hands.
TEST(SplashState, TransferFiguresLastAsLongAsTheDownloadsBar) {
    CSplashWnd splash;
    splash.set_progress(10, 550);
    splash.set_transfer_figures(2048, 30);
    EXPECT_EQ(splash.take_snapshot().bytes_per_second, 2048);
    EXPECT_EQ(splash.take_snapshot().seconds_left, 30);
    splash.set_progress(20, 550);
    splash.set_status_text(L"Downloading updates (4%)");
    EXPECT_EQ(splash.take_snapshot().bytes_per_second, 2048) << "the same bar keeps them";
    splash.set_transfer_figures(0, 30);
    EXPECT_EQ(splash.take_snapshot().bytes_per_second, 0);
    EXPECT_EQ(splash.take_snapshot().seconds_left, 0);
    splash.set_transfer_figures(std::numeric_limits<double>::quiet_NaN(), 1);
    EXPECT_EQ(splash.take_snapshot().bytes_per_second, 0);
    splash.set_transfer_figures(4096, 5);
    splash.set_progress(0, 0); // the unpack stage takes the line
    EXPECT_EQ(splash.take_snapshot().bytes_per_second, 0);
}

TEST(SplashState, StartsAndStopsWithoutATerminal) {
    // Under ctest standard error is no terminal; captured, it is certainly none.
    testing::internal::CaptureStderr();
    auto splash = std::make_unique<CSplashWnd>();
    splash->start();
    splash->set_status_text(L"Starting...");
    splash->progress_total = 10;
    splash->progress_value = 4;
    const CSplashWnd::snapshot shown = splash->take_snapshot();
    EXPECT_FALSE(splash->is_closed());
    splash.reset(); // joins the display thread, which shows the last status before it ends
    const std::string printed = testing::internal::GetCapturedStderr();
    EXPECT_EQ(shown.status_text, L"Starting...");
    EXPECT_EQ(shown.progress_value, 4u);
    EXPECT_EQ(shown.progress_total, 10u);
    if (qz4::test::posix_only_skip_reason().empty()) {
        EXPECT_EQ(printed, "Starting...\n") << "the terminal splash prints each status once";
    }
}

} // namespace
