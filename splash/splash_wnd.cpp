#include "splash/splash_wnd.hpp"

#include "splash/splash_display.hpp"

CSplashWnd::CSplashWnd() : display_(qz4::create_splash_display(*this)) {}

CSplashWnd::~CSplashWnd() {
    closed = true;
    display_.reset();
}

void CSplashWnd::start() {
    if (display_)
        (void)display_->start(qz4::splash_ready_timeout);
}

void CSplashWnd::set_status_text(const std::wstring& text) {
    {
        std::lock_guard lock(state_mutex_);
        if (&text != &status_text_)
            status_text_ = text;
    }
    repaint();
}

void CSplashWnd::set_progress(std::uint32_t value, std::uint32_t total) {
    {
        // Under the painter's lock, so that no frame shows the new value on the old total.
        std::lock_guard lock(state_mutex_);
        // The figures belong to the download's bar; a bar of another total is another stage's.
        if (total != progress_total)
            bytes_per_second_ = seconds_left_ = 0;
        progress_total = total;
        progress_value = value;
    }
    repaint();
}

void CSplashWnd::set_progress_value(std::uint32_t value) {
    progress_value = value;
    repaint();
}

void CSplashWnd::set_transfer_figures(double bytes_per_second, double seconds_left) {
    {
        const std::lock_guard lock(state_mutex_);
        // NaN fails the test too, so that nothing but a real rate is ever shown.
        const bool shown = bytes_per_second > 0;
        const double rate = shown ? bytes_per_second : 0;
        const double left = shown ? seconds_left : 0;
        // The engine clears figures that may be cleared already; an unchanged frame is not
        // drawn again. (A NaN time left is never equal, which costs one frame.)
        if (rate == bytes_per_second_ && left == seconds_left_)
            return;
        bytes_per_second_ = rate;
        seconds_left_ = left;
    }
    repaint();
}

void CSplashWnd::repaint() {
    if (display_)
        display_->request_repaint();
}

CSplashWnd::snapshot CSplashWnd::take_snapshot() const {
    std::lock_guard lock(state_mutex_);
    return {status_text_, progress_value.load(), progress_total.load(), bytes_per_second_, seconds_left_};
}
