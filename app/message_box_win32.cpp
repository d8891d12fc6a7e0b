// Windows message boxes: no owner window, system-modal, so they show even while the splash
// is the only window and stay in front of everything until answered.
#include "app/message_box.hpp"

#include <windows.h>

namespace qz4 {

void system_error_box(const std::wstring& caption, const std::wstring& text) {
    ::MessageBoxW(nullptr, text.c_str(), caption.c_str(), MB_OK | MB_ICONERROR | MB_SYSTEMMODAL);
}

bool system_yes_no_box(const std::wstring& caption, const std::wstring& text) {
    return ::MessageBoxW(nullptr, text.c_str(), caption.c_str(),
                         MB_YESNO | MB_ICONQUESTION | MB_SYSTEMMODAL) == IDYES;
}

} // namespace qz4
