// The splash as the update engine sees it: a status line, a progress bar and the player's
// cancel. The window implements it; tests put a recorder in its place. Any thread may call.
#pragma once

#include <cstdint>
#include <string>

namespace qz4 {

class splash_view {
public:
    virtual ~splash_view() = default;

    virtual void set_status_text(const std::wstring& text) = 0;
    // A total of 0 hides the bar; a value above the total shows it full.
    virtual void set_progress(std::uint32_t value, std::uint32_t total) = 0;
    virtual void set_progress_value(std::uint32_t value) = 0;
    // The download's rate over all transfers and the time left at that rate, shown beside the
    // status where there is room for them; a rate of 0 or less clears them.
    virtual void set_transfer_figures(double /*bytes_per_second*/, double /*seconds_left*/) {}
    // True once the player closed the splash (or shutdown began): the engine stops.
    [[nodiscard]] virtual bool is_closed() const = 0;

protected:
    splash_view() = default;
    splash_view(const splash_view&) = default;
    splash_view& operator=(const splash_view&) = default;
};

} // namespace qz4
