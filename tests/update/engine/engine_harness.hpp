// What the update engine's tests build on: a splash that records what it was shown and can
// be closed at a chosen moment, an operation table that refuses or cuts short the calls a
// test names, an update tree served by the HTTP test server, and a game directory with a
// launcher in it.
#pragma once

#include "signatures/signatures.hpp"
#include "splash/splash_view.hpp"
#include "update/engine/file_operations.hpp"
#include "update/engine/game_launcher.hpp"

#include "tests/support/temp_dir.hpp"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace qz4::test {

inline constexpr char test_product_guid[] = "7c1e0d52-93ab-4f6e-b2d4-5a8e61f03c97";

class recording_splash final : public splash_view {
public:
    void set_status_text(const std::wstring& text) override;
    void set_progress(std::uint32_t value, std::uint32_t total) override;
    void set_progress_value(std::uint32_t value) override;
    [[nodiscard]] bool is_closed() const override { return closed_; }

    void close() { closed_ = true; }
    // Called with every status text as it is set, on the engine's thread that sets it; the
    // splash closes when it returns true. Set before the run.
    std::function<bool(const std::wstring&)> close_when;

    [[nodiscard]] std::vector<std::wstring> texts() const;
    [[nodiscard]] std::size_t count(const std::wstring& text) const;
    [[nodiscard]] bool saw_prefix(const std::wstring& prefix) const;
    [[nodiscard]] std::uint32_t progress_total() const;
    [[nodiscard]] std::uint32_t highest_progress_total() const;

private:
    mutable std::mutex mutex_; // guards the fields below
    std::vector<std::wstring> texts_;
    std::uint32_t value_ = 0;
    std::uint32_t total_ = 0;
    std::uint32_t highest_total_ = 0;
    std::atomic<bool> closed_{false};
};

// The system's operations (or those of another table), for tables that watch or change only
// some of them.
class system_files : public forwarding_file_operations {
public:
    explicit system_files(file_operations& inner = system_file_operations())
        : forwarding_file_operations(inner) {}
};

// The system's operations, with faults where a test asks for them. Every call is counted.
// The fault settings are set before the run and only read while it runs.
// Passes a file being written through, and hands what it keeps for placing to `watch`: a
// table that watches placements sees those that skip open_to_place.
class watched_output final : public output_file {
public:
    using watch_function = std::function<std::unique_ptr<file_to_place>(std::unique_ptr<file_to_place>)>;
    watched_output(std::unique_ptr<output_file> inner, watch_function watch)
        : inner_(std::move(inner)), watch_(std::move(watch)) {}
    bool write(const void* data, std::size_t size) override { return inner_->write(data, size); }
    bool finish() override { return inner_->finish(); }
    std::unique_ptr<file_to_place> keep_to_place() override {
        auto kept = inner_->keep_to_place();
        return kept ? watch_(std::move(kept)) : nullptr;
    }

private:
    std::unique_ptr<output_file> inner_;
    watch_function watch_;
};

class faulty_files final : public system_files {
public:
    using system_files::system_files;

    std::unique_ptr<output_file> create_file(const std::wstring& path, std::uint32_t& error) override;
    // Continued files count as created and take the same faults.
    std::unique_ptr<output_file> continue_file(const std::wstring& path, std::uint64_t length,
                                               std::uint32_t& error) override;
    // Files opened to be placed count their move as a rename, and take the same faults.
    std::unique_ptr<file_to_place> open_to_place(const std::wstring& path, std::uint32_t& error) override;
    bool move_replace(const std::wstring& from, const std::wstring& to) override;
    bool delete_file(const std::wstring& path) override;
    bool create_directories(const std::wstring& path) override;
    // Takes the faults of refuse_directory too.
    bool create_private_directory(const std::wstring& path) override;
    bool remove_directory(const std::wstring& path, bool allow_files) override;
    bool mark_executable(const std::wstring& path) override;
    std::optional<std::uint64_t> free_space(const std::wstring& directory) override;

    // What free_space answers instead of the system, when set.
    std::function<std::optional<std::uint64_t>(const std::wstring& directory)> free_space_is;
    // Paths are compared by what they end with (backslashes, as the engine writes them).
    std::function<bool(const std::wstring& from, const std::wstring& to)> refuse_move;
    // Called when a file opened to be placed is about to be moved, after its check: a test
    // puts another file at its name here, as someone writing in the folder could.
    std::function<void(const std::wstring& from, const std::wstring& to)> before_placing;
    std::function<bool(const std::wstring& path)> refuse_directory;
    // A write to a file for which this gives a limit takes bytes up to the limit and then
    // fails as a full disk would, after a short write of what still fitted.
    std::function<std::optional<std::uint64_t>(const std::wstring& path)> disk_full_after;
    // A file this gives an error number for is not created (5: access denied).
    std::function<std::optional<std::uint32_t>(const std::wstring& path)> refuse_create;
    // Closing the file reports that written data was lost (a deferred write error).
    std::function<bool(const std::wstring& path)> fail_finish;

    [[nodiscard]] std::vector<std::wstring> created() const;
    [[nodiscard]] std::size_t created_ending(const std::wstring& suffix) const;
    [[nodiscard]] std::size_t moves() const;
    [[nodiscard]] std::size_t operations() const;

private:
    template <typename Open>
    std::unique_ptr<output_file> opened(const std::wstring& path, std::uint32_t& error, Open open);
    void count_operation();
    // Counts a rename; false when the test refuses it.
    bool move_allowed(const std::wstring& from, const std::wstring& to);
    class placed_file;

    mutable std::mutex mutex_; // guards the logs
    std::vector<std::wstring> created_;
    std::size_t moves_ = 0;
    std::size_t operations_ = 0;
};

// Downloads the engine started, as the operation table saw them.
[[nodiscard]] std::size_t downloads_started(const faulty_files& files);

[[nodiscard]] bool ends_with_path(const std::wstring& path, const std::wstring& suffix);

// The lines of one of the test server's logs ("_/chaos-log/<run>", "_/resume-log/<run>").
[[nodiscard]] std::vector<std::string> server_log(const std::string& log_path);

// One host's update tree, in a directory of the test server's root that belongs to the
// running test alone.
class served_tree {
public:
    explicit served_tree(const std::string& host_name = "a");

    [[nodiscard]] std::string base_url() const; // ends with "/"
    // The same tree through another of the server's listeners (its https ones).
    [[nodiscard]] std::string base_url_at(const std::string& server_url) const;
    [[nodiscard]] std::filesystem::path path(const std::string& relative = {}) const;

    // The server copy of one client file under update u, packed or as it is; returns its
    // index entry.
    nlohmann::json add_file(std::uint32_t u, const std::string& local_path, const std::string& content,
                            bool packed = false);
    // The paths below this tree that the server was asked for, oldest first (from its log).
    [[nodiscard]] std::vector<std::string> requests() const;

    // version.json naming n and carrying expires(), and n/index.json (and its packed copy when
    // `packed_index`).
    void publish(std::uint32_t n, const nlohmann::json& config, const nlohmann::json& files,
                 bool packed_index = true);
    // The expiry every version.json of this tree carries: a day after the tree was made.
    [[nodiscard]] std::uint64_t expires() const { return expires_; }
    // Signature files for n/index.json and version.json as they are now, as the patch maker
    // writes them; `guid` stands for the product's.
    void sign(std::uint32_t n, const signing_key& key, const std::string& guid = test_product_guid);

private:
    std::filesystem::path dir_;
    std::uint64_t expires_ = 0;
    std::string url_;
    std::string url_path_;         // the request path of the base URL, "/engine/.../"
    std::streamoff log_start_ = 0; // where the server's log stood when this tree was made
};

// The base URL of `tree` through one of the test server's routes ("_/chaos/<options>/").
[[nodiscard]] std::string routed_url(const served_tree& tree, const std::string& route);

// A version 3 configuration for our product with the given hosts and check rules.
[[nodiscard]] nlohmann::json test_config(const std::vector<std::string>& hosts,
                                         const std::vector<std::string>& hard = {"*", "*\\*", "*\\*\\*"},
                                         const std::vector<std::string>& soft = {});

// Success when both trees hold the same files with the same content; otherwise the names of
// the files that differ (never the content, which may be large).
[[nodiscard]] testing::AssertionResult same_files(const std::map<std::string, std::string>& actual,
                                                  const std::map<std::string, std::string>& expected);

// A game directory with a launcher executable in it, and launchers built for it.
class game_install {
public:
    game_install();
    // The game in a directory of that name below a scratch directory of its own, so that a
    // test can watch what lies beside it.
    explicit game_install(const std::string& nested);

    [[nodiscard]] const temp_dir& dir() const { return dir_; }
    // The game directory: dir() itself unless nested.
    [[nodiscard]] const std::filesystem::path& root() const { return root_; }
    [[nodiscard]] std::wstring exe_path() const { return wide_path(root_ / "launcher.exe"); }
    [[nodiscard]] std::string read(const std::string& relative) const;
    [[nodiscard]] bool exists(const std::string& relative) const;
    void write(const std::string& relative, const std::string& content) const;
    // Every file below the game directory, outside the launcher's work area, with its content.
    // Compare with same_files, which names the files that differ instead of printing them.
    [[nodiscard]] std::map<std::string, std::string> client_files() const;

    // A launcher for this directory asking `hosts`, through `files` when given, with pauses
    // recorded instead of waited, trusting the test server's authority, already initialised.
    [[nodiscard]] std::unique_ptr<game_launcher> launcher(const std::vector<std::string>& hosts,
                                                          file_operations* files = nullptr,
                                                          const std::vector<public_key>& keys = {});
    [[nodiscard]] std::vector<std::chrono::milliseconds> pauses() const;
    // Set before launcher(): the pauses are also waited, for a test that needs their time to pass.
    bool pauses_take_time = false;
    // Set before launcher(): the launcher's clock and its built-in minimum update.
    wall_clock clock;
    std::uint32_t minimum_update = 0;

private:
    [[nodiscard]] std::filesystem::path native(const std::string& relative) const;

    temp_dir dir_;
    std::filesystem::path root_;
    mutable std::mutex mutex_; // guards pauses_
    std::vector<std::chrono::milliseconds> pauses_;
};

} // namespace qz4::test
