// The splash window: a borderless picture drawn with GDI+ on a thread of its own, with the
// status line, the site label, the download's figures while it runs, the progress bar and a
// close mark. The window can be dragged
// anywhere but on the close mark; pressing the mark closes the window, which cancels the
// update. Every frame is composed off screen first, so the window never flickers.
#include "splash/splash_display.hpp"

#include "common/unique_handle_win32.hpp"
#include "splash/figures_layout.hpp"
#include "splash/progress_bar.hpp"
#include "splash/splash_wnd.hpp"
#include "splash/transfer_figures.hpp"
#include "texts/player_texts.hpp"

// Each of these needs the types of those before it.
// clang-format off
#include <windows.h>
#include <objidl.h>
#include <commctrl.h>
#include <gdiplus.h>
#include <windowsx.h>
// clang-format on

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstring>
#include <optional>

namespace qz4 {

namespace {

using namespace Gdiplus;
using namespace Gdiplus::DllExports;

constexpr int background_resource = 500;
constexpr int close_resource = 102;
constexpr wchar_t image_type[] = L"PNG";
constexpr wchar_t window_class[] = L"VellmarkSplashWnd";
constexpr ARGB text_colour = 0xFFE5ECFF;
constexpr ARGB bar_colour = 0xD06DB6EE;
constexpr REAL font_size = 14.0f;
constexpr int status_left = 9;
constexpr int site_right_margin = 9;
constexpr int text_top_from_bottom = 33;
constexpr int bar_top_from_bottom = 12;
constexpr int bar_height = 15; // the lowest 3 pixels fall outside the picture
constexpr std::uint32_t bar_minimum = 5;
constexpr int close_offset = 6;
constexpr int close_hot_margin = 10;

// The module this code lives in: the launcher itself, whose resources hold the pictures.
HMODULE own_module() {
    static const HMODULE module = [] {
        MEMORY_BASIC_INFORMATION info{};
        if (VirtualQuery(reinterpret_cast<const void*>(&own_module), &info, sizeof info) == 0)
            return GetModuleHandleW(nullptr);
        return static_cast<HMODULE>(info.AllocationBase);
    }();
    return module;
}

// A PNG picture from the program's resources, decoded by GDI+ from a movable memory block
// that stays allocated for as long as the bitmap may read from it.
class png_image {
public:
    png_image() = default;
    ~png_image() { release(); }
    png_image(const png_image&) = delete;
    png_image& operator=(const png_image&) = delete;

    [[nodiscard]] bool load(HMODULE module, int id) {
        release();
        HRSRC resource = FindResourceW(module, MAKEINTRESOURCEW(id), image_type);
        const DWORD size = resource ? SizeofResource(module, resource) : 0;
        if (size == 0)
            return false;
        HGLOBAL loaded = LoadResource(module, resource);
        const void* bytes = loaded ? LockResource(loaded) : nullptr;
        if (bytes == nullptr)
            return false;
        HGLOBAL block = GlobalAlloc(GMEM_MOVEABLE, size);
        if (block == nullptr)
            return false;
        void* copy = GlobalLock(block);
        if (copy == nullptr) {
            GlobalFree(block);
            return false;
        }
        std::memcpy(copy, bytes, size);
        IStream* stream = nullptr;
        GpBitmap* bitmap = nullptr;
        GpStatus status = GenericError;
        if (SUCCEEDED(CreateStreamOnHGlobal(block, FALSE, &stream))) {
            status = GdipCreateBitmapFromStream(stream, &bitmap);
            stream->Release();
        }
        if (status != Ok) {
            if (bitmap != nullptr)
                GdipDisposeImage(bitmap);
            GlobalUnlock(block);
            GlobalFree(block);
            return false;
        }
        bitmap_ = bitmap;
        block_ = block;
        GdipGetImageWidth(bitmap_, &width_);
        GdipGetImageHeight(bitmap_, &height_);
        return true;
    }

    void release() {
        if (bitmap_ != nullptr) {
            GdipDisposeImage(bitmap_);
            bitmap_ = nullptr;
        }
        if (block_ != nullptr) {
            GlobalUnlock(block_);
            GlobalFree(block_);
            block_ = nullptr;
        }
        width_ = height_ = 0;
    }

    [[nodiscard]] bool loaded() const { return bitmap_ != nullptr; }
    [[nodiscard]] GpBitmap* bitmap() const { return bitmap_; }
    [[nodiscard]] int width() const { return static_cast<int>(width_); }
    [[nodiscard]] int height() const { return static_cast<int>(height_); }

private:
    GpBitmap* bitmap_ = nullptr;
    HGLOBAL block_ = nullptr;
    UINT width_ = 0;
    UINT height_ = 0;
};

// GDI+ for the life of the splash, without its background thread. GDI+ then puts its
// notification window on whichever thread calls the hook, and that thread must pump messages
// for as long as it is hooked, or programs that broadcast setting changes wait on it. The
// main thread is busy with the update, so the window thread hooks around its message loop.
class gdiplus_session {
public:
    gdiplus_session() {
        GdiplusStartupInput input(nullptr, TRUE, FALSE);
        if (GdiplusStartup(&token_, &input, &output_) != Ok)
            token_ = 0;
    }
    ~gdiplus_session() {
        if (token_ != 0)
            GdiplusShutdown(token_);
    }
    gdiplus_session(const gdiplus_session&) = delete;
    gdiplus_session& operator=(const gdiplus_session&) = delete;

    [[nodiscard]] bool running() const { return token_ != 0; }

    // Hooked from construction to destruction, on the calling thread.
    class notification_hook {
    public:
        explicit notification_hook(const gdiplus_session& session) : output_(session.output_) {
            if (session.running() && output_.NotificationHook != nullptr &&
                output_.NotificationHook(&token_) != Ok)
                token_ = 0;
        }
        ~notification_hook() {
            if (token_ != 0 && output_.NotificationUnhook != nullptr)
                output_.NotificationUnhook(token_);
        }
        notification_hook(const notification_hook&) = delete;
        notification_hook& operator=(const notification_hook&) = delete;

    private:
        const GdiplusStartupOutput& output_;
        ULONG_PTR token_ = 0;
    };

private:
    ULONG_PTR token_ = 0;
    GdiplusStartupOutput output_{};
};

// Owns one GDI+ object and releases it through the flat interface's own function for it.
template <auto release> struct gdiplus_release {
    template <typename Object> void operator()(Object* object) const { release(object); }
};
template <typename Object, auto release>
using gdiplus_ptr = std::unique_ptr<Object, gdiplus_release<release>>;
using brush_ptr = gdiplus_ptr<GpSolidFill, GdipDeleteBrush>;
using font_ptr = gdiplus_ptr<GpFont, GdipDeleteFont>;
using family_ptr = gdiplus_ptr<GpFontFamily, GdipDeleteFontFamily>;
using graphics_ptr = gdiplus_ptr<GpGraphics, GdipDeleteGraphics>;
using image_ptr = gdiplus_ptr<GpImage, GdipDisposeImage>;
using attributes_ptr = gdiplus_ptr<GpImageAttributes, GdipDisposeImageAttributes>;

brush_ptr make_brush(ARGB colour) {
    GpSolidFill* brush = nullptr;
    if (GdipCreateSolidFill(colour, &brush) != Ok)
        return nullptr;
    return brush_ptr(brush);
}

font_ptr make_font_of(GpFontFamily* family) {
    GpFont* font = nullptr;
    if (family == nullptr || GdipCreateFont(family, font_size, FontStyleRegular, UnitPixel, &font) != Ok)
        return nullptr;
    return font_ptr(font);
}

// Tahoma, else the generic sans-serif family; null when neither exists (a bare Wine prefix
// has neither), in which case the splash shows its picture and bar without text.
font_ptr make_font() {
    GpFontFamily* family = nullptr;
    if (GdipCreateFontFamilyFromName(L"Tahoma", nullptr, &family) == Ok) {
        const family_ptr tahoma(family);
        if (font_ptr font = make_font_of(tahoma.get()))
            return font;
    }
    family = nullptr;
    if (GdipGetGenericFontFamilySansSerif(&family) != Ok)
        return nullptr;
    const family_ptr sans_serif(family);
    return make_font_of(sans_serif.get());
}

struct rectangle {
    int left = 0, top = 0, right = 0, bottom = 0;
    // Strictly inside: the border itself does not count.
    [[nodiscard]] bool contains(int x, int y) const { return left < x && x < right && top < y && y < bottom; }
};

// Mouse and drag state of the window procedure. Only the window thread touches it.
struct pointer_state {
    POINT last{-1, -1};
    bool hover = false;
    bool button_down = false;
    bool dragging = false;
    POINT drag_offset{0, 0};
};

class window_display final : public splash_display {
public:
    explicit window_display(CSplashWnd& splash) : splash_(splash) {
        InitCommonControls();
        if (!gdiplus_.running())
            return;
        (void)background_.load(own_module(), background_resource);
        (void)close_.load(own_module(), close_resource);
        if (background_.loaded() && close_.loaded()) {
            drag_area_ = {0, 0, background_.width(), background_.height()};
            close_left_ = background_.width() - close_.width() - close_offset;
            close_top_ = close_offset;
            hot_ = {std::max(0, close_left_ - close_hot_margin), std::max(0, close_top_ - close_hot_margin),
                    close_left_ + close_.width() + close_hot_margin,
                    close_top_ + close_.height() + close_hot_margin};
        }
        font_ = make_font();
        text_brush_ = make_brush(text_colour);
        bar_brush_ = make_brush(bar_colour);
        for (int i = 0; i < 5; ++i)
            for (int j = 0; j < 5; ++j)
                hover_matrix_.m[i][j] = i == j ? 1.0f : 0.0f;
        hover_matrix_.m[3][3] = 0.5f;
    }

    ~window_display() override {
        if (thread_.valid()) {
            if (HWND window = window_.load())
                PostMessageW(window, WM_CLOSE, 0, 0);
            if (WaitForSingleObject(thread_.get(), static_cast<DWORD>(splash_shutdown_timeout.count())) !=
                WAIT_OBJECT_0)
                TerminateThread(thread_.get(), 0);
            thread_.reset();
        }
        ready_.reset();
        // The GDI+ objects go before the session that owns them (member order does the rest).
        bar_brush_.reset();
        text_brush_.reset();
        font_.reset();
        close_.release();
        background_.release();
    }

    window_display(const window_display&) = delete;
    window_display& operator=(const window_display&) = delete;

    bool start(std::chrono::milliseconds ready_timeout) override {
        if (thread_.valid())
            return window_.load() != nullptr;
        ready_.reset(CreateEventW(nullptr, FALSE, FALSE, nullptr));
        if (!ready_.valid())
            return false;
        thread_.reset(CreateThread(nullptr, 0, &window_display::thread_main, this, 0, nullptr));
        if (!thread_.valid())
            return false;
        // Waiting on the thread too: when it gives up (no picture, no window) there is
        // nothing left to wait for, and start-up goes on at once.
        const HANDLE waits[2] = {ready_.get(), thread_.get()};
        return WaitForMultipleObjects(2, waits, FALSE, static_cast<DWORD>(ready_timeout.count())) ==
               WAIT_OBJECT_0;
    }

    void request_repaint() override {
        if (HWND window = window_.load()) {
            const RECT all{0, 0, width_, height_};
            InvalidateRect(window, &all, FALSE);
        }
    }

private:
    static DWORD WINAPI thread_main(void* parameter) {
        static_cast<window_display*>(parameter)->run();
        return 0;
    }

    void run() {
        if (!background_.loaded())
            return;
        WNDCLASSEXW window_class_info{};
        window_class_info.cbSize = sizeof window_class_info;
        window_class_info.style = CS_HREDRAW | CS_VREDRAW | CS_NOCLOSE;
        window_class_info.lpfnWndProc = &window_display::window_procedure;
        window_class_info.hInstance = own_module();
        window_class_info.hCursor = LoadCursorW(nullptr, IDC_ARROW);
        window_class_info.lpszClassName = window_class;
        // A second splash in one process finds the class registered already.
        if (RegisterClassExW(&window_class_info) == 0 && GetLastError() != ERROR_CLASS_ALREADY_EXISTS)
            return;

        width_ = background_.width();
        height_ = background_.height();
        const POINT origin = centred_origin();
        HWND window = CreateWindowExW(0, window_class, game_title, WS_POPUP | WS_CLIPCHILDREN, origin.x,
                                      origin.y, width_, height_, nullptr, nullptr, own_module(), nullptr);
        if (window == nullptr)
            return;
        SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
        window_ = window;
        SetWindowPos(window, HWND_TOP, origin.x, origin.y, width_, height_, SWP_SHOWWINDOW | SWP_NOACTIVATE);
        UpdateWindow(window);
        SetEvent(ready_.get());

        MSG message;
        PeekMessageW(&message, nullptr, WM_USER, WM_USER, PM_NOREMOVE);
        {
            const gdiplus_session::notification_hook hook(gdiplus_);
            while (GetMessageW(&message, nullptr, 0, 0) > 0) {
                TranslateMessage(&message);
                DispatchMessageW(&message);
            }
        }
        splash_.closed = true;
    }

    // Centred on the whole monitor under the cursor (not its work area); negative
    // coordinates of monitors left of or above the primary one are kept.
    POINT centred_origin() const {
        POINT cursor{0, 0};
        GetCursorPos(&cursor);
        MONITORINFO monitor{};
        monitor.cbSize = sizeof monitor;
        RECT area{};
        if (GetMonitorInfoW(MonitorFromPoint(cursor, MONITOR_DEFAULTTONEAREST), &monitor))
            area = monitor.rcMonitor;
        else
            SystemParametersInfoW(SPI_GETWORKAREA, 0, &area, 0);
        return {(area.left + area.right - width_) / 2, (area.top + area.bottom - height_) / 2};
    }

    static LRESULT CALLBACK window_procedure(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
        auto* self = reinterpret_cast<window_display*>(GetWindowLongPtrW(window, GWLP_USERDATA));
        if (self == nullptr)
            return DefWindowProcW(window, message, wparam, lparam);
        return self->handle(window, message, wparam, lparam);
    }

    LRESULT handle(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
        const int x = GET_X_LPARAM(lparam);
        const int y = GET_Y_LPARAM(lparam);
        switch (message) {
        case WM_PAINT:
            paint(window);
            return 0;
        case WM_LBUTTONDOWN:
            pointer_.last = {x, y};
            pointer_.button_down = true;
            if (close_.loaded()) {
                if (hot_.contains(x, y)) {
                    DestroyWindow(window);
                } else if (drag_area_.contains(x, y)) {
                    const POINT cursor = message_cursor();
                    RECT placement{};
                    GetWindowRect(window, &placement);
                    pointer_.dragging = true;
                    pointer_.drag_offset = {cursor.x - placement.left, cursor.y - placement.top};
                    SetCapture(window);
                }
            }
            return 0;
        case WM_MOUSEMOVE: {
            pointer_.last = {x, y};
            const bool hover = hot_.contains(x, y);
            if (hover != pointer_.hover) {
                pointer_.hover = hover;
                request_repaint();
            }
            if (pointer_.button_down && pointer_.dragging) {
                const POINT cursor = message_cursor();
                MoveWindow(window, cursor.x - pointer_.drag_offset.x, cursor.y - pointer_.drag_offset.y,
                           width_, height_, FALSE);
                request_repaint();
            }
            return 0;
        }
        case WM_LBUTTONUP:
            if (close_.loaded() && hot_.contains(x, y)) {
                DestroyWindow(window);
                return 0;
            }
            end_drag();
            pointer_.button_down = false;
            return 0;
        case WM_KILLFOCUS:
            end_drag();
            pointer_.button_down = false;
            return 0;
        case WM_CLOSE:
            DestroyWindow(window);
            return 0;
        case WM_DESTROY:
            end_drag();
            pointer_.button_down = false;
            // From here on status changes are kept but nothing is repainted.
            window_ = nullptr;
            PostQuitMessage(0);
            return 0;
        default:
            return DefWindowProcW(window, message, wparam, lparam);
        }
    }

    // Where the cursor was when the message being handled was made, not where it is now: a
    // press handled late must not shift the drag offset by what the pointer moved since.
    static POINT message_cursor() {
        const DWORD position = GetMessagePos();
        return {GET_X_LPARAM(position), GET_Y_LPARAM(position)};
    }

    void end_drag() {
        if (pointer_.dragging) {
            ReleaseCapture();
            pointer_.dragging = false;
        }
    }

    void paint(HWND window) {
        PAINTSTRUCT paint_info;
        HDC device = BeginPaint(window, &paint_info);
        if (device != nullptr && background_.loaded())
            compose_and_show(device);
        EndPaint(window, &paint_info);
    }

    void compose_and_show(HDC device) {
        GpBitmap* frame_raw = nullptr;
        if (GdipCreateBitmapFromScan0(width_, height_, 0, PixelFormat32bppARGB, nullptr, &frame_raw) != Ok)
            return;
        const image_ptr frame(frame_raw);
        GpGraphics* canvas_raw = nullptr;
        if (GdipGetImageGraphicsContext(frame_raw, &canvas_raw) != Ok)
            return;
        {
            const graphics_ptr canvas(canvas_raw);
            draw_frame(canvas_raw);
        }
        GpGraphics* screen_raw = nullptr;
        if (GdipCreateFromHDC(device, &screen_raw) != Ok)
            return;
        const graphics_ptr screen(screen_raw);
        GdipDrawImageRectI(screen_raw, frame_raw, 0, 0, width_, height_);
    }

    void draw_frame(GpGraphics* canvas) {
        const CSplashWnd::snapshot state = splash_.take_snapshot();
        GdipSetInterpolationMode(canvas, InterpolationModeHighQuality);
        GdipSetTextRenderingHint(canvas, TextRenderingHintClearTypeGridFit);
        GdipDrawImageRectI(canvas, background_.bitmap(), 0, 0, width_, height_);
        draw_close_mark(canvas);
        const REAL text_top = static_cast<REAL>(height_ - text_top_from_bottom);
        if (!state.status_text.empty() && font_ && text_brush_) {
            const RectF box(static_cast<REAL>(status_left), text_top, 0, 0);
            GdipDrawString(canvas, state.status_text.c_str(), -1, font_.get(), &box, nullptr,
                           text_brush_.get());
        }
        if (state.progress_total != 0 && bar_brush_) {
            const auto bar = progress_bar_width(state.progress_value, state.progress_total,
                                                static_cast<std::uint32_t>(width_), bar_minimum);
            GdipFillRectangleI(canvas, bar_brush_.get(), 0, height_ - bar_top_from_bottom,
                               static_cast<INT>(bar), bar_height);
        }
        draw_site_label(canvas, text_top);
        draw_figures(canvas, state);
    }

    void draw_close_mark(GpGraphics* canvas) {
        if (!close_.loaded())
            return;
        if (!hot_.contains(pointer_.last.x, pointer_.last.y)) {
            GdipDrawImageRectI(canvas, close_.bitmap(), close_left_, close_top_, close_.width(),
                               close_.height());
            return;
        }
        GpImageAttributes* attributes_raw = nullptr;
        if (GdipCreateImageAttributes(&attributes_raw) != Ok)
            return;
        const attributes_ptr attributes(attributes_raw);
        GdipSetImageAttributesColorMatrix(attributes_raw, ColorAdjustTypeDefault, TRUE, &hover_matrix_,
                                          nullptr, ColorMatrixFlagsDefault);
        GdipDrawImageRectRectI(canvas, close_.bitmap(), close_left_, close_top_, close_.width(),
                               close_.height(), 0, 0, close_.width(), close_.height(), UnitPixel,
                               attributes_raw, nullptr, nullptr);
    }

    // The box GDI+ lays `text` out in, on one line in the splash's font.
    [[nodiscard]] std::optional<RectF> measure(GpGraphics* canvas, const std::wstring& text) const {
        const RectF layout(0, 0, 32767, 32767);
        RectF bounds;
        if (GdipMeasureString(canvas, text.c_str(), -1, font_.get(), &layout, nullptr, &bounds, nullptr,
                              nullptr) != Ok)
            return std::nullopt;
        return bounds;
    }

    // Whole pixels, rounded up so that a box never comes out smaller than its text.
    [[nodiscard]] int width_in_pixels(GpGraphics* canvas, const std::wstring& text) const {
        if (text.empty())
            return 0;
        const std::optional<RectF> bounds = measure(canvas, text);
        return bounds ? static_cast<int>(std::ceil(bounds->Width)) : 0;
    }

    void draw_site_label(GpGraphics* canvas, REAL text_top) {
        const std::wstring& label = splash_.site_label;
        if (label.empty() || !font_ || !text_brush_)
            return;
        const std::optional<RectF> bounds = measure(canvas, label);
        if (!bounds)
            return;
        const RectF box(static_cast<REAL>(width_) - bounds->Width - static_cast<REAL>(site_right_margin),
                        text_top, 0, 0);
        GdipDrawString(canvas, label.c_str(), -1, font_.get(), &box, nullptr, text_brush_.get());
    }

    // Only while a download reports a rate: otherwise the frame is exactly the one without.
    void draw_figures(GpGraphics* canvas, const CSplashWnd::snapshot& state) {
        if (state.bytes_per_second <= 0 || !font_ || !text_brush_)
            return;
        const transfer_figures_text figures =
            describe_transfer(state.bytes_per_second, state.seconds_left, splash_.russian);
        const std::optional<RectF> rate_bounds =
            figures.rate.empty() ? std::nullopt : measure(canvas, figures.rate);
        if (!rate_bounds)
            return;
        const std::wstring both = joined_figures(figures);
        figures_layout_input input;
        input.picture_width = width_;
        input.line_top = height_ - text_top_from_bottom;
        input.line_height = static_cast<int>(std::ceil(rate_bounds->Height));
        input.status_left = status_left;
        input.status_width = width_in_pixels(canvas, state.status_text);
        input.site_width = width_in_pixels(canvas, splash_.site_label);
        input.site_right_margin = site_right_margin;
        input.rate_width = static_cast<int>(std::ceil(rate_bounds->Width));
        input.figures_width = width_in_pixels(canvas, both);
        input.close_mark = {hot_.left, hot_.top, hot_.right, hot_.bottom};
        const figures_place place = place_figures(input);
        if (place.part == figures_part::none)
            return;
        const std::wstring& text = place.part == figures_part::rate_and_time ? both : figures.rate;
        const RectF box(static_cast<REAL>(place.left), static_cast<REAL>(place.top), 0, 0);
        GdipDrawString(canvas, text.c_str(), -1, font_.get(), &box, nullptr, text_brush_.get());
    }

    CSplashWnd& splash_;
    gdiplus_session gdiplus_; // first in, last out: every GDI+ object below lives inside it
    png_image background_;
    png_image close_;
    rectangle drag_area_;
    int close_left_ = 0;
    int close_top_ = 0;
    rectangle hot_;
    font_ptr font_;
    brush_ptr text_brush_;
    brush_ptr bar_brush_;
    ColorMatrix hover_matrix_{};
    unique_handle ready_;
    unique_handle thread_;
    std::atomic<HWND> window_{nullptr}; // read by the engine's threads to ask for repaints
    int width_ = 0;                     // set by the window thread before the window exists
    int height_ = 0;
    pointer_state pointer_; // window thread only
};

} // namespace

std::unique_ptr<splash_display> create_splash_display(CSplashWnd& splash) {
    return std::make_unique<window_display>(splash);
}

} // namespace qz4
