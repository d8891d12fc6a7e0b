// The one status line that a terminal front end keeps redrawn in place on standard error,
// and the dialogs that must print there without being overdrawn. Every write to the line
// and every dialog goes through this object, under its mutex.
#pragma once

#include <mutex>
#include <string>

namespace qz4 {

class terminal_status_line {
public:
    [[nodiscard]] static terminal_status_line& instance();

    // Draws the line in place (carriage return, text, erase to the end). While a dialog is
    // open the line is only remembered and drawn when the last dialog ends.
    void show(const std::string& line);
    // Erases the line and forgets it.
    void clear();

    // A dialog on the terminal: the line is erased for its duration and redrawn afterwards.
    class dialog_scope {
    public:
        dialog_scope();
        ~dialog_scope();
        dialog_scope(const dialog_scope&) = delete;
        dialog_scope& operator=(const dialog_scope&) = delete;
    };

private:
    void begin_dialog();
    void end_dialog();
    void draw_locked(); // carriage return, the line, erase to the end
    void erase_locked();

    std::mutex mutex_;   // guards every field below and every write of the line
    std::string line_;   // the line as last asked for
    bool drawn_ = false; // the line is on the screen now
    int dialogs_ = 0;    // dialogs open at the moment
};

} // namespace qz4
