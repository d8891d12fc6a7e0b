// The system dialogs themselves, answered the way a player answers them (Windows).
#include "app/message_box.hpp"

#include "tests/support/system_probe.hpp"

#include <gtest/gtest.h>

#include <future>

namespace qz4 {
namespace {

TEST(MessageBox, SystemBoxesShowTheirTextsAndButtonsWindows) {
    if (const auto reason = test::windows_only_skip_reason(); !reason.empty())
        GTEST_SKIP() << reason;
    struct row {
        int press;
        bool expected_answer;
    };
    for (const row r : {row{test::button_yes, true}, row{test::button_no, false}}) {
        SCOPED_TRACE(testing::Message() << "pressing button " << r.press);
        auto answer =
            std::async(std::launch::async, [] { return system_yes_no_box(L"Question", L"Close them?"); });
        const auto box = test::answer_message_box(0, r.press, std::chrono::seconds(30));
        ASSERT_TRUE(box.has_value())
            << "no message box appeared (the tests need a display: run them in Xvfb)";
        EXPECT_EQ(box->caption, L"Question");
        EXPECT_EQ(box->text, L"Close them?");
        EXPECT_EQ(box->buttons, (std::vector<int>{test::button_yes, test::button_no}));
        EXPECT_TRUE(box->topmost) << "a system-modal box stays in front";
        EXPECT_EQ(answer.get(), r.expected_answer);
    }

    auto shown = std::async(std::launch::async, [] { system_error_box(L"Tarnwood", L"Something failed."); });
    const auto box = test::answer_message_box(0, test::button_ok, std::chrono::seconds(30));
    ASSERT_TRUE(box.has_value());
    EXPECT_EQ(box->caption, L"Tarnwood");
    EXPECT_EQ(box->text, L"Something failed.");
    EXPECT_EQ(box->buttons, std::vector<int>{test::button_ok});
    shown.get();
}

} // namespace
} // namespace qz4
