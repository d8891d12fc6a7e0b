#include "common/terminal_status.hpp"

#include <cstdio>

namespace qz4 {

terminal_status_line& terminal_status_line::instance() {
    static terminal_status_line line;
    return line;
}

void terminal_status_line::draw_locked() {
    std::fputs("\r", stderr);
    std::fputs(line_.c_str(), stderr);
    std::fputs("\033[K", stderr);
    std::fflush(stderr);
    drawn_ = true;
}

void terminal_status_line::erase_locked() {
    if (drawn_) {
        std::fputs("\r\033[K", stderr);
        std::fflush(stderr);
        drawn_ = false;
    }
}

void terminal_status_line::show(const std::string& line) {
    std::lock_guard lock(mutex_);
    line_ = line;
    if (dialogs_ == 0)
        draw_locked();
}

void terminal_status_line::clear() {
    std::lock_guard lock(mutex_);
    erase_locked();
    line_.clear();
}

void terminal_status_line::begin_dialog() {
    std::lock_guard lock(mutex_);
    ++dialogs_;
    erase_locked();
}

void terminal_status_line::end_dialog() {
    std::lock_guard lock(mutex_);
    if (--dialogs_ == 0 && !line_.empty())
        draw_locked();
}

terminal_status_line::dialog_scope::dialog_scope() {
    instance().begin_dialog();
}
terminal_status_line::dialog_scope::~dialog_scope() {
    instance().end_dialog();
}

} // namespace qz4
