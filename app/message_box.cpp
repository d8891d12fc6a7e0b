#include "app/message_box.hpp"

#include "texts/player_texts.hpp"

#include <mutex>

namespace qz4 {

namespace {

std::mutex handler_mutex; // guards installed_handler
yes_no_handler installed_handler;

} // namespace

void show_error_box(const std::wstring& text) {
    system_error_box(game_title, text);
}

bool ask_yes_no(const std::wstring& caption, const std::wstring& text) {
    yes_no_handler handler;
    {
        std::lock_guard lock(handler_mutex);
        handler = installed_handler;
    }
    return handler ? handler(caption, text) : system_yes_no_box(caption, text);
}

void set_yes_no_handler(yes_no_handler handler) {
    std::lock_guard lock(handler_mutex);
    installed_handler = std::move(handler);
}

} // namespace qz4
