// The launcher's message boxes: system-modal, no owner window.
#pragma once

#include <functional>
#include <string>

namespace qz4 {

// OK button, error icon, caption game_title.
void show_error_box(const std::wstring& text);

// Yes and No buttons, question icon; true only for Yes.
[[nodiscard]] bool ask_yes_no(const std::wstring& caption, const std::wstring& text);

// Lets tests (and terminal front ends) answer the question instead of the system dialog.
// An empty function restores the system dialog.
using yes_no_handler = std::function<bool(const std::wstring& caption, const std::wstring& text)>;
void set_yes_no_handler(yes_no_handler handler);

// The system dialogs, implemented once per operating system.
void system_error_box(const std::wstring& caption, const std::wstring& text);
[[nodiscard]] bool system_yes_no_box(const std::wstring& caption, const std::wstring& text);

} // namespace qz4
