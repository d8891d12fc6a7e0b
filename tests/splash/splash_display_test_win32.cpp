// The splash window as a player meets it: shown by this process, read back from the screen
// and worked with the pointer. The tests need a display (Xvfb under Wine) and run alone,
// since they move the one pointer and look at the one screen. Pixels are compared with the
// committed pictures, never with a stored screenshot, so fonts may differ between machines.
#include "common/encoding.hpp"
#include "common/format.hpp"
#include "common/unique_handle_win32.hpp"
#include "splash/splash_wnd.hpp"
#include "tests/support/temp_dir.hpp"
#include "tests/support/test_process.hpp"
#include "texts/player_texts.hpp"

// clang-format off
#include <windows.h>
#include <objidl.h>
#include <gdiplus.h>
// clang-format on

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <optional>
#include <thread>
#include <vector>

namespace qz4 {
namespace {

using namespace std::chrono_literals;

constexpr int picture_width = 550;
constexpr int picture_height = 313;
constexpr int close_size = 8;
constexpr int close_left = picture_width - close_size - 6;
constexpr int close_top = 6;
constexpr int text_top = picture_height - 33;
constexpr int bar_top = picture_height - 12;
const std::wstring site = L"\u00ABtarnwood-game.net\u00BB";

struct rgb {
    int r = 0, g = 0, b = 0;
};

std::ostream& operator<<(std::ostream& out, const rgb& c) {
    return out << "(" << c.r << "," << c.g << "," << c.b << ")";
}

int difference(const rgb& a, const rgb& b) {
    return std::max({std::abs(a.r - b.r), std::abs(a.g - b.g), std::abs(a.b - b.b)});
}

// Equal but for the rounding of blending.
bool same_colour(const rgb& a, const rgb& b) {
    return difference(a, b) <= 3;
}

// `colour` laid over `ground` with the given opacity (0 to 1).
rgb blended(const rgb& ground, const rgb& colour, double opacity) {
    const auto mix = [&](int g, int c) { return static_cast<int>(g + (c - g) * opacity + 0.5); };
    return {mix(ground.r, colour.r), mix(ground.g, colour.g), mix(ground.b, colour.b)};
}

const rgb text_colour{229, 236, 255};
const rgb bar_colour{109, 182, 238};
constexpr double bar_opacity = 208.0 / 255.0;

// One of the committed pictures, decoded by GDI+ from the source tree.
class picture {
public:
    explicit picture(const char* name) {
        Gdiplus::GdiplusStartupInput input;
        if (Gdiplus::GdiplusStartup(&token_, &input, nullptr) != Gdiplus::Ok)
            return;
        const std::wstring path = utf8_to_wide(std::string(QZ4_RESOURCES_DIR "/") + name);
        Gdiplus::GpBitmap* bitmap = nullptr;
        if (Gdiplus::DllExports::GdipCreateBitmapFromFile(path.c_str(), &bitmap) != Gdiplus::Ok)
            return;
        UINT width = 0, height = 0;
        Gdiplus::DllExports::GdipGetImageWidth(bitmap, &width);
        Gdiplus::DllExports::GdipGetImageHeight(bitmap, &height);
        width_ = static_cast<int>(width);
        pixels_.resize(static_cast<std::size_t>(width) * height);
        for (UINT y = 0; y < height; ++y)
            for (UINT x = 0; x < width; ++x)
                Gdiplus::DllExports::GdipBitmapGetPixel(bitmap, static_cast<INT>(x), static_cast<INT>(y),
                                                        &pixels_[y * width + x]);
        Gdiplus::DllExports::GdipDisposeImage(bitmap);
    }
    ~picture() {
        if (token_ != 0)
            Gdiplus::GdiplusShutdown(token_);
    }
    picture(const picture&) = delete;
    picture& operator=(const picture&) = delete;

    [[nodiscard]] bool loaded() const { return !pixels_.empty(); }
    [[nodiscard]] rgb colour(int x, int y) const {
        const Gdiplus::ARGB p = pixel(x, y);
        return {static_cast<int>((p >> 16) & 0xFF), static_cast<int>((p >> 8) & 0xFF),
                static_cast<int>(p & 0xFF)};
    }
    [[nodiscard]] double opacity(int x, int y) const {
        return static_cast<double>(pixel(x, y) >> 24) / 255.0;
    }

private:
    [[nodiscard]] Gdiplus::ARGB pixel(int x, int y) const {
        return pixels_[static_cast<std::size_t>(y) * static_cast<std::size_t>(width_) +
                       static_cast<std::size_t>(x)];
    }
    ULONG_PTR token_ = 0;
    int width_ = 0;
    std::vector<Gdiplus::ARGB> pixels_;
};

const picture& background() {
    static const picture loaded("splash.png");
    return loaded;
}
const picture& close_mark() {
    static const picture loaded("close.png");
    return loaded;
}

// The whole screen as it is now.
class screen_shot {
public:
    screen_shot() {
        left_ = ::GetSystemMetrics(SM_XVIRTUALSCREEN);
        top_ = ::GetSystemMetrics(SM_YVIRTUALSCREEN);
        width_ = ::GetSystemMetrics(SM_CXVIRTUALSCREEN);
        height_ = ::GetSystemMetrics(SM_CYVIRTUALSCREEN);
        const std::unique_ptr<std::remove_pointer_t<HDC>, screen_dc_release> screen(::GetDC(nullptr));
        const std::unique_ptr<std::remove_pointer_t<HDC>, decltype(&::DeleteDC)> memory(
            ::CreateCompatibleDC(screen.get()), &::DeleteDC);
        BITMAPINFO info{};
        info.bmiHeader.biSize = sizeof info.bmiHeader;
        info.bmiHeader.biWidth = width_;
        info.bmiHeader.biHeight = -height_; // top row first
        info.bmiHeader.biPlanes = 1;
        info.bmiHeader.biBitCount = 32;
        info.bmiHeader.biCompression = BI_RGB;
        void* bits = nullptr;
        const std::unique_ptr<std::remove_pointer_t<HBITMAP>, decltype(&::DeleteObject)> dib(
            ::CreateDIBSection(memory.get(), &info, DIB_RGB_COLORS, &bits, nullptr, 0), &::DeleteObject);
        if (!screen || !memory || !dib || bits == nullptr)
            return;
        const HGDIOBJ previous = ::SelectObject(memory.get(), dib.get());
        ::BitBlt(memory.get(), 0, 0, width_, height_, screen.get(), left_, top_, SRCCOPY | CAPTUREBLT);
        ::GdiFlush();
        pixels_.resize(static_cast<std::size_t>(width_) * static_cast<std::size_t>(height_));
        std::memcpy(pixels_.data(), bits, pixels_.size() * sizeof pixels_[0]);
        ::SelectObject(memory.get(), previous);
    }

    // At screen coordinates; outside the screen a colour no pixel has.
    [[nodiscard]] rgb at(int x, int y) const {
        x -= left_;
        y -= top_;
        if (pixels_.empty() || x < 0 || y < 0 || x >= width_ || y >= height_)
            return {-1000, -1000, -1000};
        const std::uint32_t p = pixels_[static_cast<std::size_t>(y) * static_cast<std::size_t>(width_) +
                                        static_cast<std::size_t>(x)];
        return {static_cast<int>((p >> 16) & 0xFF), static_cast<int>((p >> 8) & 0xFF),
                static_cast<int>(p & 0xFF)};
    }

private:
    struct screen_dc_release {
        void operator()(HDC dc) const { ::ReleaseDC(nullptr, dc); }
    };
    int left_ = 0, top_ = 0, width_ = 0, height_ = 0;
    std::vector<std::uint32_t> pixels_;
};

// The window takes a moment to reach the screen after each change.
// Generous bounds: they cost nothing when the condition comes, and a loaded machine may take
// seconds to repaint.
testing::AssertionResult eventually(const std::function<testing::AssertionResult(const screen_shot&)>& check,
                                    std::chrono::milliseconds timeout = 20s) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        testing::AssertionResult result = check(screen_shot());
        if (result || std::chrono::steady_clock::now() > deadline)
            return result;
        std::this_thread::sleep_for(50ms);
    }
}

bool eventually_true(const std::function<bool()>& condition, std::chrono::milliseconds timeout = 20s) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(20ms);
    }
    return true;
}

HWND find_splash_window(std::optional<DWORD> process_id) {
    HWND found = nullptr;
    while ((found = ::FindWindowExW(nullptr, found, L"VellmarkSplashWnd", nullptr)) != nullptr) {
        DWORD owner = 0;
        ::GetWindowThreadProcessId(found, &owner);
        if (!process_id || owner == *process_id)
            return found;
    }
    return nullptr;
}

void move_pointer(POINT to) {
    ::SetCursorPos(to.x, to.y);
}

void press_button(bool down) {
    INPUT input{};
    input.type = INPUT_MOUSE;
    input.mi.dwFlags = down ? MOUSEEVENTF_LEFTDOWN : MOUSEEVENTF_LEFTUP;
    ::SendInput(1, &input, sizeof input);
}

// Press at `from` and move to `to` while the window's thread is held, so that it meets the
// press only when the pointer has already moved on. (One move only: Wine may drop a move
// merged into one the window is reading.)
void press_and_move_at_once(HWND window, POINT from, POINT to) {
    const int width = ::GetSystemMetrics(SM_CXSCREEN);
    const int height = ::GetSystemMetrics(SM_CYSCREEN);
    // Absolute input is in 1/65536 of the primary screen; rounded up, it lands on the pixel.
    const auto at = [&](POINT p, DWORD flags) {
        INPUT input{};
        input.type = INPUT_MOUSE;
        input.mi.dx = static_cast<LONG>((static_cast<long long>(p.x) * 65536 + width - 1) / width);
        input.mi.dy = static_cast<LONG>((static_cast<long long>(p.y) * 65536 + height - 1) / height);
        input.mi.dwFlags = MOUSEEVENTF_MOVE | MOUSEEVENTF_ABSOLUTE | flags;
        return input;
    };
    INPUT inputs[] = {at(from, 0), at(from, MOUSEEVENTF_LEFTDOWN), at(to, 0)};
    const unique_handle thread(
        ::OpenThread(THREAD_SUSPEND_RESUME, FALSE, ::GetWindowThreadProcessId(window, nullptr)));
    ::SuspendThread(thread.get());
    ::SendInput(static_cast<UINT>(std::size(inputs)), inputs, sizeof inputs[0]);
    ::ResumeThread(thread.get());
}

// Where a window of the picture's size is centred on the whole monitor under `point`.
POINT centred_on_monitor_of(POINT point) {
    MONITORINFO monitor{};
    monitor.cbSize = sizeof monitor;
    ::GetMonitorInfoW(::MonitorFromPoint(point, MONITOR_DEFAULTTONEAREST), &monitor);
    const RECT& area = monitor.rcMonitor;
    return {(area.left + area.right - picture_width) / 2, (area.top + area.bottom - picture_height) / 2};
}

bool inside_close_hot_area(int x, int y) {
    return x >= close_left - 10 && x <= close_left + close_size + 10 && y <= close_top + close_size + 10;
}

class SplashWindowWindows : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(background().loaded() && close_mark().loaded()) << "pictures in " QZ4_RESOURCES_DIR;
        // Away from where the window will show, so that it starts without hover.
        move_pointer({0, 0});
    }

    // Shows the splash the way the launcher does.
    void show(const std::wstring& status, std::uint32_t value, std::uint32_t total,
              bool russian = use_russian()) {
        splash_ = std::make_unique<CSplashWnd>();
        splash_->site_label = site;
        splash_->russian = russian;
        splash_->set_status_text(status);
        splash_->progress_value = value;
        splash_->progress_total = total;
        splash_->start();
        window_ = find_splash_window(::GetCurrentProcessId());
        origin_ = centred_on_monitor_of({0, 0});
    }

    [[nodiscard]] POINT on_screen(int x, int y) const { return {origin_.x + x, origin_.y + y}; }
    [[nodiscard]] rgb seen(const screen_shot& shot, int x, int y) const {
        return shot.at(origin_.x + x, origin_.y + y);
    }

    // The picture at `origin_`, checked on a grid that stays clear of texts, bar and close mark.
    testing::AssertionResult shows_picture(const screen_shot& shot) const {
        for (int y = 3; y < text_top - 4; y += 17) {
            for (int x = 3; x < picture_width; x += 19) {
                if (inside_close_hot_area(x, y))
                    continue;
                if (!same_colour(seen(shot, x, y), background().colour(x, y)))
                    return testing::AssertionFailure()
                           << "at " << x << "," << y << " the screen shows " << seen(shot, x, y)
                           << ", the picture " << background().colour(x, y);
            }
        }
        return testing::AssertionSuccess();
    }

    // A bar of `width` pixels along the bottom edge (0: none), and the picture beside and above it.
    testing::AssertionResult shows_bar(const screen_shot& shot, int width) const {
        for (const int y : {bar_top - 1, bar_top, bar_top + 6, picture_height - 1}) {
            for (int x = 0; x < picture_width; ++x) {
                const rgb ground = background().colour(x, y);
                const bool on_bar = y >= bar_top && x < width;
                const rgb expected = on_bar ? blended(ground, bar_colour, bar_opacity) : ground;
                if (!same_colour(seen(shot, x, y), expected))
                    return testing::AssertionFailure()
                           << "at " << x << "," << y << " the screen shows " << seen(shot, x, y)
                           << ", expected " << expected << (on_bar ? " (bar)" : " (picture)");
            }
        }
        return testing::AssertionSuccess();
    }

    // The close mark over the picture at the given share of its own opacity.
    testing::AssertionResult shows_close_mark(const screen_shot& shot, double opacity) const {
        for (int y = 0; y < close_size; ++y) {
            for (int x = 0; x < close_size; ++x) {
                const rgb expected = blended(background().colour(close_left + x, close_top + y),
                                             close_mark().colour(x, y), close_mark().opacity(x, y) * opacity);
                const rgb shown = seen(shot, close_left + x, close_top + y);
                if (!same_colour(shown, expected))
                    return testing::AssertionFailure() << "mark pixel " << x << "," << y << " shows " << shown
                                                       << ", expected " << expected;
            }
        }
        return testing::AssertionSuccess();
    }

    // The columns of [from, to) in which text is drawn in the text line, as first and last; for
    // no text, first > last. `brightest` receives the ink closest to the text colour.
    struct ink {
        int first = picture_width, last = -1;
        rgb brightest{};
        int rows_above = 0; // inked pixels above the text line's top
    };
    [[nodiscard]] ink ink_between(const screen_shot& shot, int from, int to) const {
        ink found;
        int best = 1000;
        for (int y = text_top - 8; y < bar_top; ++y) {
            for (int x = from; x < to; ++x) {
                const rgb shown = seen(shot, x, y);
                if (difference(shown, background().colour(x, y)) <= 24)
                    continue;
                if (y < text_top) {
                    ++found.rows_above;
                    continue;
                }
                found.first = std::min(found.first, x);
                found.last = std::max(found.last, x);
                if (difference(shown, text_colour) < best) {
                    best = difference(shown, text_colour);
                    found.brightest = shown;
                }
            }
        }
        return found;
    }

    // Every pixel of the window as the screen shows it, row by row.
    [[nodiscard]] std::vector<rgb> window_pixels(const screen_shot& shot) const {
        std::vector<rgb> pixels;
        pixels.reserve(static_cast<std::size_t>(picture_width) * picture_height);
        for (int y = 0; y < picture_height; ++y)
            for (int x = 0; x < picture_width; ++x)
                pixels.push_back(seen(shot, x, y));
        return pixels;
    }

    std::unique_ptr<CSplashWnd> splash_;
    HWND window_ = nullptr;
    POINT origin_{};
};

BOOL CALLBACK count_window(HWND, LPARAM count) {
    ++*reinterpret_cast<int*>(count);
    return TRUE;
}

TEST_F(SplashWindowWindows, ShowsItsPictureCentredWithStatusSiteLabelAndBar) {
    show(L"Checking files", 1, 3);
    ASSERT_NE(window_, nullptr) << "no splash window (the tests need a display: run them in Xvfb)";
    RECT placed{};
    ::GetWindowRect(window_, &placed);
    EXPECT_EQ(placed.left, origin_.x);
    EXPECT_EQ(placed.top, origin_.y);
    EXPECT_EQ(placed.right - placed.left, picture_width);
    EXPECT_EQ(placed.bottom - placed.top, picture_height);
    EXPECT_TRUE(::IsWindowVisible(window_));
    EXPECT_EQ(static_cast<DWORD>(::GetWindowLongW(window_, GWL_STYLE)) & (WS_POPUP | WS_CAPTION), WS_POPUP);
    wchar_t title[64] = {};
    ::GetWindowTextW(window_, title, 64);
    EXPECT_EQ(std::wstring(title), game_title);

    EXPECT_TRUE(eventually([&](const screen_shot& shot) { return shows_picture(shot); }));
    EXPECT_TRUE(eventually([&](const screen_shot& shot) { return shows_bar(shot, 183); }));
    const screen_shot shot;
    EXPECT_TRUE(shows_close_mark(shot, 1.0));

    const ink status = ink_between(shot, 0, picture_width / 2);
    ASSERT_LE(status.first, status.last) << "no status text (are fonts installed in the Wine prefix?)";
    EXPECT_GE(status.first, 9) << "the status text starts at 9";
    EXPECT_LE(status.first, 9 + 5);
    EXPECT_LE(difference(status.brightest, text_colour), 20) << status.brightest;
    EXPECT_EQ(status.rows_above, 0) << "text above its line";
    const ink label = ink_between(shot, picture_width / 2, picture_width);
    ASSERT_LE(label.first, label.last) << "no site label";
    EXPECT_LT(label.last, picture_width - 9) << "the site label ends 9 from the right edge";
    EXPECT_GE(label.last, picture_width - 9 - 6);
    EXPECT_GT(label.last - label.first, 80) << "the whole label is drawn";
    EXPECT_EQ(label.rows_above, 0);

    // GDI+ hooks its notification window on a thread that pumps messages; the thread that
    // made the splash (and goes on to run the update) must not own a window nobody serves.
    int windows_of_this_thread = 0;
    ::EnumThreadWindows(::GetCurrentThreadId(), &count_window,
                        reinterpret_cast<LPARAM>(&windows_of_this_thread));
    EXPECT_EQ(windows_of_this_thread, 0);
}

TEST_F(SplashWindowWindows, BarFollowsTheProgressAndGoesWithTheSplash) {
    show(L"Downloading updates (0%)", 0, 0);
    ASSERT_NE(window_, nullptr);
    EXPECT_TRUE(eventually([&](const screen_shot& shot) { return shows_bar(shot, 0); })) << "total 0: no bar";
    struct row {
        std::uint32_t value, total;
        int width;
    };
    const row rows[] = {
        {1, 3, 183},  // a third of 550, truncated
        {2, 3, 366},  //
        {1, 1000, 5}, // a sliver still shows 5 pixels
        {0, 7, 5},    //
        {5, 3, 550},  // beyond the total: the full width
        {7, 0, 0},    // no total: no bar
        {1000, 1000, 550},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(testing::Message() << r.value << "/" << r.total);
        splash_->progress_total = r.total;
        splash_->progress_value = r.value;
        splash_->repaint();
        EXPECT_TRUE(eventually([&](const screen_shot& shot) { return shows_bar(shot, r.width); }));
    }

    // Destroying the splash closes the window and ends its thread.
    const DWORD thread_id = ::GetWindowThreadProcessId(window_, nullptr);
    const unique_handle thread(::OpenThread(SYNCHRONIZE, FALSE, thread_id));
    ASSERT_TRUE(thread.valid());
    splash_.reset();
    EXPECT_EQ(::WaitForSingleObject(thread.get(), 0), WAIT_OBJECT_0);
    EXPECT_FALSE(::IsWindow(window_));
}

TEST_F(SplashWindowWindows, CloseMarkIsHalfTransparentOnlyUnderThePointer) {
    show(L"Checking files", 0, 0);
    ASSERT_NE(window_, nullptr);
    EXPECT_TRUE(eventually([&](const screen_shot& shot) { return shows_close_mark(shot, 1.0); }));
    // The hot area reaches 10 pixels around the mark; its border does not count.
    struct step {
        const char* where;
        int x, y;
        bool hover;
    };
    const step steps[] = {
        {"on the mark", close_left + 4, close_top + 4, true},
        {"in the middle of the picture", 275, 150, false},
        {"just inside the hot area", close_left - 9, close_top + 4, true},
        {"on the hot area's left border", close_left - 10, close_top + 4, false},
        {"below the mark, inside", close_left + 4, close_top + close_size + 9, true},
        {"below the mark, on the border", close_left + 4, close_top + close_size + 10, false},
    };
    for (const auto& s : steps) {
        SCOPED_TRACE(s.where);
        move_pointer(on_screen(s.x, s.y));
        EXPECT_TRUE(
            eventually([&](const screen_shot& shot) { return shows_close_mark(shot, s.hover ? 0.5 : 1.0); }));
    }
    EXPECT_FALSE(splash_->closed);
}

TEST_F(SplashWindowWindows, PressOnTheCloseMarkClosesAtOnceAndEndsTheThread) {
    show(L"Downloading updates (42%)", 42, 100);
    ASSERT_NE(window_, nullptr);
    const DWORD thread_id = ::GetWindowThreadProcessId(window_, nullptr);
    const unique_handle thread(::OpenThread(SYNCHRONIZE, FALSE, thread_id));
    ASSERT_TRUE(thread.valid());
    move_pointer(on_screen(close_left + 4, close_top + 4));
    EXPECT_TRUE(eventually([&](const screen_shot& shot) { return shows_close_mark(shot, 0.5); }));
    EXPECT_FALSE(splash_->closed);

    press_button(true); // the press alone closes, before any release
    EXPECT_TRUE(eventually_true([&] { return splash_->closed.load(); }));
    EXPECT_EQ(::WaitForSingleObject(thread.get(), 5000), WAIT_OBJECT_0) << "the window thread ended";
    EXPECT_FALSE(::IsWindow(window_));
    press_button(false);

    // The engine may still report; nothing is drawn any more.
    splash_->progress_value = 43;
    splash_->set_status_text(L"Downloading updates (43%)");
    EXPECT_TRUE(splash_->closed);
}

TEST_F(SplashWindowWindows, DragFromElsewhereMovesTheWindowWithThePointer) {
    show(L"Checking files", 1, 3);
    ASSERT_NE(window_, nullptr);
    EXPECT_TRUE(eventually([&](const screen_shot& shot) { return shows_picture(shot); }));
    struct drag {
        const char* how;
        POINT grip; // in the window
        POINT shift;
        bool in_one_go; // the window meets the press after the pointer moved on
    };
    const drag drags[] = {
        {"step by step", {200, 150}, {60, -40}, false},
        {"in one go", {40, 250}, {-35, 25}, true},
    };
    for (const auto& d : drags) {
        SCOPED_TRACE(d.how);
        const POINT from = on_screen(d.grip.x, d.grip.y);
        const POINT to{from.x + d.shift.x, from.y + d.shift.y};
        if (d.in_one_go) {
            press_and_move_at_once(window_, from, to);
        } else {
            move_pointer(from);
            press_button(true);
            for (int i = 1; i <= 4; ++i) {
                std::this_thread::sleep_for(50ms);
                move_pointer({from.x + d.shift.x * i / 4, from.y + d.shift.y * i / 4});
            }
            std::this_thread::sleep_for(50ms);
            press_button(false);
        }
        const POINT moved{origin_.x + d.shift.x, origin_.y + d.shift.y};
        EXPECT_TRUE(eventually_true([&] {
            RECT placed{};
            ::GetWindowRect(window_, &placed);
            return placed.left == moved.x && placed.top == moved.y &&
                   placed.right - placed.left == picture_width &&
                   placed.bottom - placed.top == picture_height;
        })) << "the window follows the pointer, keeping the offset of the press";
        if (d.in_one_go)
            press_button(false);
        origin_ = moved;
        EXPECT_TRUE(eventually([&](const screen_shot& shot) { return shows_picture(shot); }));
        EXPECT_TRUE(eventually([&](const screen_shot& shot) { return shows_bar(shot, 183); }));
    }
    EXPECT_FALSE(splash_->closed);

    // After the release the pointer moves freely again.
    move_pointer(on_screen(100, 100));
    std::this_thread::sleep_for(200ms);
    RECT placed{};
    ::GetWindowRect(window_, &placed);
    EXPECT_EQ(placed.left, origin_.x);
    EXPECT_EQ(placed.top, origin_.y);
}

// The frame without figures, and the columns of its text line that hold ink of the status
// text or the site label.
struct bare_frame {
    std::vector<rgb> pixels;
    std::vector<bool> inked_columns;
};

// Where the figures may go: beside the status text, on the line above it, or either.
enum class figures_line { status, above, either };

// The pixels that differ from the bare frame are the figures: in the status line or the line
// above it as `line` allows, with a clear gap to every inked column of the status text and the
// site label, never on the close mark or its hot area, never on the bar. Something is drawn,
// in the status text's colour.
testing::AssertionResult figures_clear_of_the_rest(const std::vector<rgb>& shown, const bare_frame& bare,
                                                   figures_line line) {
    constexpr int clear_gap = 8;
    const auto near_text = [&](int x) {
        for (int column = std::max(0, x - clear_gap); column <= std::min(picture_width - 1, x + clear_gap);
             ++column) {
            if (bare.inked_columns[static_cast<std::size_t>(column)])
                return true;
        }
        return false;
    };
    int changed = 0;
    int best = 1000;
    for (int y = 0; y < picture_height; ++y) {
        for (int x = 0; x < picture_width; ++x) {
            const std::size_t at = static_cast<std::size_t>(y) * picture_width + static_cast<std::size_t>(x);
            if (difference(shown[at], bare.pixels[at]) == 0)
                continue;
            ++changed;
            best = std::min(best, difference(shown[at], text_colour));
            const bool on_status_line = y >= text_top && y < bar_top && line != figures_line::above;
            const bool on_line_above = y >= text_top - 20 && y < text_top && line != figures_line::status;
            if ((!on_status_line && !on_line_above) || (on_status_line && near_text(x)) ||
                inside_close_hot_area(x, y))
                return testing::AssertionFailure() << "figures drawn at " << x << "," << y << ": "
                                                   << shown[at] << " instead of " << bare.pixels[at];
        }
    }
    if (changed == 0)
        return testing::AssertionFailure() << "no figures drawn";
    if (best > 20)
        return testing::AssertionFailure() << "no pixel of the figures in the text colour";
    return testing::AssertionSuccess();
}

testing::AssertionResult same_frame(const std::vector<rgb>& shown, const bare_frame& bare) {
    for (std::size_t at = 0; at < shown.size(); ++at) {
        if (difference(shown[at], bare.pixels[at]) != 0)
            return testing::AssertionFailure()
                   << "at " << at % picture_width << "," << at / picture_width << " the window shows "
                   << shown[at] << ", without figures it showed " << bare.pixels[at];
    }
    return testing::AssertionSuccess();
}

TEST_F(SplashWindowWindows, TransferFiguresKeepClearOfTheTextsAndTheCloseMark) {
    struct splash_case {
        const char* what;
        bool russian;
        std::wstring status;
        figures_line line;
    };
    const splash_case splashes[] = {
        {"English", false, format_wide(text_for(text_id::downloading_updates, false), 33),
         figures_line::status},
        // How much of the Russian figures fits beside depends on the font.
        {"Russian", true, format_wide(text_for(text_id::downloading_updates, true), 33),
         figures_line::either},
        {"a Russian status too long for figures beside it", true,
         format_wide(text_for(text_id::connection_attempt, true), 3) + L" " +
             format_wide(text_for(text_id::downloading_updates, true), 33),
         figures_line::above},
    };
    struct row {
        const char* what;
        double bytes_per_second;
        double seconds_left;
    };
    const row rows[] = {
        {"12.3 MiB/s, 1:23 left", 12.3 * 1024 * 1024, 83},
        {"above 1 GiB/s", 1.7 * 1024 * 1024 * 1024, 4},
        {"98 hours left", 1.0, 98.0 * 3600},
        {"no time known", 512, -1},
    };
    for (const auto& splash : splashes) {
        SCOPED_TRACE(splash.what);
        show(splash.status, 1, 3, splash.russian);
        ASSERT_NE(window_, nullptr);
        ASSERT_TRUE(eventually([&](const screen_shot& shot) { return shows_bar(shot, 183); }));
        const screen_shot first;
        bare_frame bare{window_pixels(first), std::vector<bool>(picture_width)};
        const ink text = ink_between(first, 0, picture_width);
        ASSERT_LE(text.first, text.last) << "no text (are fonts installed in the Wine prefix?)";
        for (int x = 0; x < picture_width; ++x)
            bare.inked_columns[static_cast<std::size_t>(x)] = ink_between(first, x, x + 1).first == x;
        for (const auto& r : rows) {
            SCOPED_TRACE(r.what);
            splash_->set_transfer_figures(r.bytes_per_second, r.seconds_left);
            EXPECT_TRUE(eventually([&](const screen_shot& shot) {
                return figures_clear_of_the_rest(window_pixels(shot), bare, splash.line);
            }));
            // A stalled download reports 0 B/s, which clears them: the bare frame, pixel for pixel.
            splash_->set_transfer_figures(0, r.seconds_left);
            EXPECT_TRUE(
                eventually([&](const screen_shot& shot) { return same_frame(window_pixels(shot), bare); }));
        }
        EXPECT_FALSE(splash_->closed);
        splash_.reset();
    }
}

// A launcher whose picture is missing shows nothing, waits for nothing and cannot be closed.
TEST_F(SplashWindowWindows, WithoutItsPictureNoWindowShowsAndStartUpGoesOn) {
    const test::temp_dir dir;
    std::atomic<bool> finished = false;
    test::run_result result;
    std::thread demo([&] {
        result =
            test::run_program(QZ4_SPLASH_DEMO_NO_PICTURE_PATH, {"Starting...", "1", "3", "500"}, dir.path());
        finished = true;
    });
    bool window_seen = false;
    while (!finished) {
        window_seen = window_seen || find_splash_window(std::nullopt) != nullptr;
        std::this_thread::sleep_for(20ms);
    }
    demo.join();
    EXPECT_FALSE(window_seen);
    EXPECT_EQ(result.exit_code, 0) << result.output;
    EXPECT_EQ(result.output.find("closed"), std::string::npos) << "closed stays false: " << result.output;
    // The wait for the window ends with the thread that gave up, long before its 15 s.
    long long waited = -1;
    ASSERT_EQ(std::sscanf(result.output.c_str(), "started after %lld ms", &waited), 1) << result.output;
    EXPECT_LT(waited, 5000);
}

// A bare Wine prefix has neither Tahoma nor a generic sans-serif family; scripts/test-windows.sh
// runs this test in such a prefix before it installs fonts.
TEST_F(SplashWindowWindows, WithoutFontsThePictureAndBarStillShow) {
    {
        Gdiplus::GdiplusStartupInput input;
        ULONG_PTR token = 0;
        ASSERT_EQ(Gdiplus::GdiplusStartup(&token, &input, nullptr), Gdiplus::Ok);
        Gdiplus::GpFontFamily* family = nullptr;
        const bool tahoma =
            Gdiplus::DllExports::GdipCreateFontFamilyFromName(L"Tahoma", nullptr, &family) == Gdiplus::Ok;
        if (tahoma)
            Gdiplus::DllExports::GdipDeleteFontFamily(family);
        family = nullptr;
        const bool sans_serif =
            Gdiplus::DllExports::GdipGetGenericFontFamilySansSerif(&family) == Gdiplus::Ok;
        if (sans_serif)
            Gdiplus::DllExports::GdipDeleteFontFamily(family);
        Gdiplus::GdiplusShutdown(token);
        if (tahoma || sans_serif)
            GTEST_SKIP() << "this system has fonts; the case needs a Wine prefix without any";
    }
    show(L"Checking files", 1, 3);
    ASSERT_NE(window_, nullptr);
    EXPECT_TRUE(eventually([&](const screen_shot& shot) { return shows_picture(shot); }));
    EXPECT_TRUE(eventually([&](const screen_shot& shot) { return shows_bar(shot, 183); }));
    const screen_shot shot;
    const ink text = ink_between(shot, 0, picture_width);
    EXPECT_GT(text.first, text.last) << "no font, no text";
    EXPECT_FALSE(splash_->closed);
}

} // namespace
} // namespace qz4
