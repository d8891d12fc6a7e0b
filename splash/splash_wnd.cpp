#include "splash/splash_wnd.hpp"

CSplashWnd::CSplashWnd() = default;

CSplashWnd::~CSplashWnd() {
    closed = true;
}

void CSplashWnd::start() {}

void CSplashWnd::set_status_text(const std::wstring& text) {
    std::lock_guard lock(text_mutex_);
    status_text_ = text;
}

std::wstring CSplashWnd::status_text() const {
    std::lock_guard lock(text_mutex_);
    return status_text_;
}
