// Probes for tests of Windows-only behaviour: a file held open by "another program", and
// message boxes found and answered the way a player would. Where the system has no such
// thing (POSIX), windows_only_skip_reason() says so and the tests skip.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace qz4::test {

// Empty on Windows; otherwise the reason to give GTEST_SKIP.
[[nodiscard]] std::string windows_only_skip_reason();
// The other way round, for tests of the POSIX stand-ins (their Windows counterparts say so).
[[nodiscard]] std::string posix_only_skip_reason();

// Runs `action` on this thread with SIGINT blocked, as the launcher's terminal splash keeps
// it; where there is no such signal mask (Windows) it simply runs it.
void with_interrupt_blocked(const std::function<void()>& action);

// Sets an environment variable of this process (empty value: removes it).
void set_environment(const char* name, const char* value);

// A second handle on an existing file, opened as another program would hold it.
class held_file {
public:
    enum class access {
        read_sharing_all,         // read access; others may read, write and delete
        write_sharing_read_write, // write access; others may read and write, not delete
    };
    held_file(const std::wstring& path, access how);
    ~held_file();
    held_file(const held_file&) = delete;
    held_file& operator=(const held_file&) = delete;

    [[nodiscard]] bool is_open() const;
    // The whole content, read through this handle from the start.
    [[nodiscard]] std::string read_all();
    void close();

private:
    std::intptr_t handle_ = -1;
};

// A link at `link` (which must not exist) to the directory `target`: a symbolic link on POSIX,
// a junction on Windows. False where the system cannot make one (Wine has no junctions).
[[nodiscard]] bool make_directory_link(const std::wstring& link, const std::wstring& target);
// A symbolic link at `link` to the file `target`. False where it cannot be made (Windows
// without the right to make them, Wine).
[[nodiscard]] bool make_file_link(const std::wstring& link, const std::wstring& target);
// A second name for an existing file.
[[nodiscard]] bool make_hard_link(const std::wstring& link, const std::wstring& target);

// Who may change the file or directory: POSIX, its mode in octal ("0755"), followed by
// " foreign" when it belongs to another user than this process's; Windows, its owner and
// access list in the system's text form ("O:BAD:P(A;OICI;FA;;;BA)...").
[[nodiscard]] std::string access_of(const std::wstring& path);
// Whether the system keeps an access list set on a directory (Wine takes one and forgets it).
[[nodiscard]] bool keeps_access_lists(const std::wstring& directory);
// Gives the file or directory to another user; false where this process may not (POSIX
// without root, Windows).
[[nodiscard]] bool give_to_another_user(const std::wstring& path);

// Opens the path for reading with full sharing: true when the name can be opened at all.
[[nodiscard]] bool can_open_file(const std::wstring& path);

inline constexpr int button_ok = 1;
inline constexpr int button_yes = 6;
inline constexpr int button_no = 7;

struct message_box_seen {
    std::wstring caption;
    std::wstring text;
    std::vector<int> buttons; // of button_ok, button_yes, button_no present in the box
    bool topmost = false;
};

// Waits for a visible top-level window of the class, shown by the process; its title, or
// nullopt when none appeared in time.
[[nodiscard]] std::optional<std::wstring>
wait_for_window(std::uint32_t process_id, const std::wstring& class_name, std::chrono::milliseconds timeout);

// Waits for a message box shown by the process (0: this process), records what it shows and
// presses `answer`. Nullopt when none appeared in time.
[[nodiscard]] std::optional<message_box_seen> answer_message_box(std::uint32_t process_id, int answer,
                                                                 std::chrono::milliseconds timeout);

} // namespace qz4::test
