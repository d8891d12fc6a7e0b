#include "tests/update/engine/engine_harness.hpp"

#include "common/ascii_text.hpp"
#include "common/encoding.hpp"
#include "common/file_system.hpp"
#include "common/lzma2_codec.hpp"
#include "common/paths.hpp"
#include "common/sha1.hpp"
#include "common/sha256.hpp"
#include "update/documents/json_document.hpp"
#include "update/documents/manifests.hpp"
#include "update/engine/engine_files.hpp"

#include "tests/support/http_test_server.hpp"
#include "tests/support/memory_sink.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace qz4::test {

namespace fs = std::filesystem;

void recording_splash::set_status_text(const std::wstring& text) {
    {
        const std::lock_guard lock(mutex_);
        texts_.push_back(text);
    }
    if (close_when && close_when(text))
        closed_ = true;
}

void recording_splash::set_progress(std::uint32_t value, std::uint32_t total) {
    const std::lock_guard lock(mutex_);
    value_ = value;
    total_ = total;
    highest_total_ = std::max(highest_total_, total);
}

void recording_splash::set_progress_value(std::uint32_t value) {
    const std::lock_guard lock(mutex_);
    value_ = value;
}

std::vector<std::wstring> recording_splash::texts() const {
    const std::lock_guard lock(mutex_);
    return texts_;
}

std::size_t recording_splash::count(const std::wstring& text) const {
    const std::lock_guard lock(mutex_);
    return static_cast<std::size_t>(std::count(texts_.begin(), texts_.end(), text));
}

bool recording_splash::saw_prefix(const std::wstring& prefix) const {
    const std::lock_guard lock(mutex_);
    return std::any_of(texts_.begin(), texts_.end(),
                       [&](const std::wstring& text) { return text.rfind(prefix, 0) == 0; });
}

std::uint32_t recording_splash::progress_total() const {
    const std::lock_guard lock(mutex_);
    return total_;
}

std::uint32_t recording_splash::highest_progress_total() const {
    const std::lock_guard lock(mutex_);
    return highest_total_;
}

bool ends_with_path(const std::wstring& path, const std::wstring& suffix) {
    return path.size() >= suffix.size() &&
           path.compare(path.size() - suffix.size(), suffix.size(), suffix) == 0;
}

std::size_t downloads_started(const faulty_files& files) {
    std::size_t count = 0;
    for (const auto& path : files.created())
        count += path.find(L"\\downloading\\") != std::wstring::npos;
    return count;
}

std::vector<std::string> server_log(const std::string& log_path) {
    downloader transfer;
    transfer_request request;
    request.url = http_server().url(log_path);
    request.connect_timeout = std::chrono::seconds(10);
    memory_sink sink;
    if (const transfer_result result = transfer.download(request, sink); !result.ok())
        throw std::runtime_error("no server log " + log_path + ": " + result.error);
    std::vector<std::string> lines;
    std::istringstream in(sink.text);
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

std::string routed_url(const served_tree& tree, const std::string& route) {
    const std::string& server = http_server().base_url;
    return server + route + tree.base_url().substr(server.size());
}

namespace {

// Takes bytes up to its limit, then fails like a full disk after writing what fitted; or
// reports at its close that data was lost.
class limited_file final : public output_file {
public:
    limited_file(std::unique_ptr<output_file> inner, std::optional<std::uint64_t> limit, bool fail_finish)
        : inner_(std::move(inner)), room_(limit.value_or(UINT64_MAX)), fail_finish_(fail_finish) {}
    bool write(const void* data, std::size_t size) override {
        if (size <= room_) {
            room_ -= size;
            return inner_->write(data, size);
        }
        const auto fitted = static_cast<std::size_t>(room_);
        room_ = 0;
        (void)inner_->write(data, fitted);
        return false;
    }
    bool finish() override { return inner_->finish() && !fail_finish_; }

private:
    std::unique_ptr<output_file> inner_;
    std::uint64_t room_;
    bool fail_finish_;
};

} // namespace

class faulty_files::placed_file final : public forwarding_file_to_place {
public:
    placed_file(std::unique_ptr<file_to_place> inner, std::wstring path, faulty_files& owner)
        : forwarding_file_to_place(std::move(inner)), path_(std::move(path)), owner_(owner) {}
    bool move_over(const std::wstring& target) override {
        if (!owner_.move_allowed(path_, target))
            return false;
        if (owner_.before_placing)
            owner_.before_placing(path_, target);
        return forwarding_file_to_place::move_over(target);
    }

private:
    std::wstring path_;
    faulty_files& owner_;
};

template <typename Open>
std::unique_ptr<output_file> faulty_files::opened(const std::wstring& path, std::uint32_t& error, Open open) {
    {
        const std::lock_guard lock(mutex_);
        created_.push_back(path);
        ++operations_;
    }
    if (refuse_create)
        if (const auto refusal = refuse_create(path)) {
            error = *refusal;
            return nullptr;
        }
    auto file = open();
    const auto limit = file && disk_full_after ? disk_full_after(path) : std::nullopt;
    const bool finish_fails = file && fail_finish && fail_finish(path);
    if (limit || finish_fails)
        return std::make_unique<limited_file>(std::move(file), limit, finish_fails);
    if (!file)
        return file;
    // A file kept to be placed takes the faults of a file opened to be placed.
    return std::make_unique<watched_output>(std::move(file), [this,
                                                              path](std::unique_ptr<file_to_place> kept) {
        count_operation();
        return std::unique_ptr<file_to_place>(std::make_unique<placed_file>(std::move(kept), path, *this));
    });
}

std::unique_ptr<output_file> faulty_files::create_file(const std::wstring& path, std::uint32_t& error) {
    return opened(path, error, [&] { return inner().create_file(path, error); });
}

std::unique_ptr<output_file> faulty_files::continue_file(const std::wstring& path, std::uint64_t length,
                                                         std::uint32_t& error) {
    return opened(path, error, [&] { return inner().continue_file(path, length, error); });
}

bool faulty_files::move_allowed(const std::wstring& from, const std::wstring& to) {
    {
        const std::lock_guard lock(mutex_);
        ++moves_;
        ++operations_;
    }
    return !(refuse_move && refuse_move(from, to));
}

std::unique_ptr<file_to_place> faulty_files::open_to_place(const std::wstring& path, std::uint32_t& error) {
    count_operation();
    auto file = inner().open_to_place(path, error);
    if (!file)
        return nullptr;
    return std::make_unique<placed_file>(std::move(file), path, *this);
}

bool faulty_files::move_replace(const std::wstring& from, const std::wstring& to) {
    if (!move_allowed(from, to))
        return false;
    return inner().move_replace(from, to);
}

bool faulty_files::delete_file(const std::wstring& path) {
    count_operation();
    return inner().delete_file(path);
}

bool faulty_files::create_directories(const std::wstring& path) {
    count_operation();
    // A refused folder that does not exist yet cannot hold the folders below it either.
    if (refuse_directory)
        for (std::wstring folder = path; !folder.empty(); folder = parent_directory(folder)) {
            if (refuse_directory(folder) && !is_directory(folder))
                return false;
            if (folder == parent_directory(folder))
                break;
        }
    return inner().create_directories(path);
}

bool faulty_files::create_private_directory(const std::wstring& path) {
    count_operation();
    if (refuse_directory && refuse_directory(path))
        return false;
    return inner().create_private_directory(path);
}

bool faulty_files::remove_directory(const std::wstring& path, bool allow_files) {
    count_operation();
    return inner().remove_directory(path, allow_files);
}

bool faulty_files::mark_executable(const std::wstring& path) {
    count_operation();
    return inner().mark_executable(path);
}

void faulty_files::count_operation() {
    const std::lock_guard lock(mutex_);
    ++operations_;
}

std::optional<std::uint64_t> faulty_files::free_space(const std::wstring& directory) {
    if (free_space_is)
        return free_space_is(directory);
    return system_files::free_space(directory);
}

std::vector<std::wstring> faulty_files::created() const {
    const std::lock_guard lock(mutex_);
    return created_;
}

std::size_t faulty_files::created_ending(const std::wstring& suffix) const {
    const std::lock_guard lock(mutex_);
    return static_cast<std::size_t>(
        std::count_if(created_.begin(), created_.end(),
                      [&](const std::wstring& path) { return ends_with_path(path, suffix); }));
}

std::size_t faulty_files::moves() const {
    const std::lock_guard lock(mutex_);
    return moves_;
}

std::size_t faulty_files::operations() const {
    const std::lock_guard lock(mutex_);
    return operations_;
}

served_tree::served_tree(const std::string& host_name) {
    const auto* test = testing::UnitTest::GetInstance()->current_test_info();
    std::string name = std::string(test->test_suite_name()) + "." + test->name();
    std::replace(name.begin(), name.end(), '/', '_');
    const auto& server = http_server();
    dir_ = server.root / "engine" / name / host_name;
    expires_ = unix_time_now({}) + 86400;
    fs::remove_all(dir_);
    fs::create_directories(dir_);
    url_ = server.base_url + "engine/" + name + "/" + host_name + "/";
    url_path_ = "/engine/" + name + "/" + host_name + "/";
    // Requests of an earlier run of the same test (a server started by hand lives on) are
    // not this tree's.
    std::ifstream log(server.root.parent_path() / "server.log", std::ios::ate);
    if (log)
        log_start_ = log.tellg();
}

std::vector<std::string> served_tree::requests() const {
    // The server logs each request line before it answers, so every request a finished
    // transfer made is in the log by now.
    std::ifstream log(http_server().root.parent_path() / "server.log");
    log.seekg(log_start_);
    std::vector<std::string> paths;
    for (std::string line; std::getline(log, line);) {
        const std::size_t get = line.find("\"GET ");
        if (get == std::string::npos)
            continue;
        const std::size_t start = get + 5;
        const std::size_t end = line.find(' ', start);
        const std::string requested = line.substr(start, end - start);
        if (requested.rfind(url_path_, 0) == 0)
            paths.push_back(requested.substr(url_path_.size()));
    }
    return paths;
}

std::string served_tree::base_url() const {
    return url_;
}

std::string served_tree::base_url_at(const std::string& server_url) const {
    return server_url + url_path_.substr(1);
}

fs::path served_tree::path(const std::string& relative) const {
    return relative.empty() ? dir_ : dir_ / fs::u8path(relative);
}

nlohmann::json served_tree::add_file(std::uint32_t u, const std::string& local_path,
                                     const std::string& content, bool packed) {
    const std::wstring wide_local = utf8_to_wide(local_path);
    file_record record;
    record.u = u;
    record.l = local_path;
    record.l_sha1 = sha1_text(content);
    record.l_sha256 = sha256_text(content);
    record.l_size = content.size();
    record.r = remote_path_text(u, wide_local, packed);
    // The server decodes the escapes of `r`; our files lie under their real names.
    const fs::path target = path(wide_to_utf8(replace_all(server_copy_path(record.r).value(), L"\\", L"/")));
    if (packed) {
        write_file(target.string() + ".plain", content);
        const int result = lzma2_file_codec(false, wide_path(target.string() + ".plain"), wide_path(target));
        fs::remove(target.string() + ".plain");
        if (result != lzma2_result::ok)
            throw std::runtime_error("cannot pack " + local_path);
        record.r_pack = pack_format_lzma2;
        record.r_sha1 = sha1_text(read_file(target));
        record.r_sha256 = sha256_text(read_file(target));
        record.r_size = fs::file_size(target);
    } else {
        write_file(target, content);
        record.r_size = record.l_size;
    }
    return file_record_json(record);
}

void served_tree::publish(std::uint32_t n, const nlohmann::json& config, const nlohmann::json& files,
                          bool packed_index) {
    const std::string index = json_text_compact(index_document(config, files));
    write_file(path(std::to_string(n) + "/index.json"), index);
    if (packed_index) {
        const auto plain = path(std::to_string(n) + "/index.json");
        const auto packed = path(std::to_string(n) + "/index.json.lzma2");
        if (lzma2_file_codec(false, wide_path(plain), wide_path(packed)) != lzma2_result::ok)
            throw std::runtime_error("cannot pack the index");
    }
    write_file(path("version.json"), json_text_compact(version_document(n, expires_)));
}

void served_tree::sign(std::uint32_t n, const signing_key& key, const std::string& guid) {
    const auto sign_file = [&](const std::string& relative, signed_document kind) {
        const std::string document = read_file(path(relative));
        const signature_file signature = key.sign(
            kind, guid, n, {reinterpret_cast<const std::uint8_t*>(document.data()), document.size()});
        write_file(path(relative + signature_suffix),
                   std::string_view(reinterpret_cast<const char*>(signature.data()), signature.size()));
    };
    sign_file(std::to_string(n) + "/index.json", signed_document::index);
    sign_file("version.json", signed_document::version);
}

nlohmann::json test_config(const std::vector<std::string>& hosts, const std::vector<std::string>& hard,
                           const std::vector<std::string>& soft) {
    return {
        {"version", 3},
        {"guid", test_product_guid},
        {"hosts", hosts},
        {"check",
         {{"hard_check", hard}, {"soft_check", soft}, {"acceptable_checksums", nlohmann::json::array()}}},
    };
}

testing::AssertionResult same_files(const std::map<std::string, std::string>& actual,
                                    const std::map<std::string, std::string>& expected) {
    std::string differences;
    for (const auto& [name, content] : expected) {
        const auto found = actual.find(name);
        if (found == actual.end())
            differences += " missing:" + name;
        else if (found->second != content)
            differences += " differs:" + name + "(" + std::to_string(found->second.size()) + " bytes, not " +
                           std::to_string(content.size()) + ")";
    }
    for (const auto& [name, content] : actual)
        if (!expected.contains(name))
            differences += " unexpected:" + name;
    if (differences.empty())
        return testing::AssertionSuccess();
    return testing::AssertionFailure() << "the trees differ:" << differences;
}

game_install::game_install() : root_(dir_.path()) {
    write_file(root_ / "launcher.exe", "the running launcher");
}

game_install::game_install(const std::string& nested) : root_(dir_.path() / nested) {
    write_file(root_ / "launcher.exe", "the running launcher");
}

fs::path game_install::native(const std::string& relative) const {
    std::string portable = relative;
    std::replace(portable.begin(), portable.end(), '\\', '/');
    return root_ / fs::u8path(portable);
}

std::string game_install::read(const std::string& relative) const {
    return read_file(native(relative));
}

bool game_install::exists(const std::string& relative) const {
    return fs::exists(native(relative));
}

void game_install::write(const std::string& relative, const std::string& content) const {
    write_file(native(relative), content);
}

std::map<std::string, std::string> game_install::client_files() const {
    std::map<std::string, std::string> files;
    for (const auto& entry : fs::recursive_directory_iterator(root_)) {
        const std::u8string utf8 = fs::relative(entry.path(), root_).generic_u8string();
        const std::string relative(utf8.begin(), utf8.end());
        if (relative.rfind(".temp", 0) == 0 || !entry.is_regular_file())
            continue;
        files[relative] = read_file(entry.path());
    }
    return files;
}

std::unique_ptr<game_launcher> game_install::launcher(const std::vector<std::string>& hosts,
                                                      file_operations* files,
                                                      const std::vector<public_key>& keys) {
    launcher_settings settings;
    settings.exe_path = exe_path();
    settings.product_guid = utf8_to_wide(test_product_guid);
    settings.built_in_hosts = hosts;
    settings.files = files;
    settings.update_keys = keys;
    // As a test build of the program does: the test server's https hosts can be taken.
    settings.trust.ca_file = http_server().ca_file;
    settings.minimum_update = minimum_update;
    settings.clock = clock;
    settings.pause = [this, wait = pauses_take_time](std::chrono::milliseconds duration) {
        if (wait)
            std::this_thread::sleep_for(duration);
        const std::lock_guard lock(mutex_);
        pauses_.push_back(duration);
    };
    auto result = std::make_unique<game_launcher>(std::move(settings));
    if (!result->init())
        throw std::runtime_error("the launcher has no hosts");
    return result;
}

std::vector<std::chrono::milliseconds> game_install::pauses() const {
    const std::lock_guard lock(mutex_);
    return pauses_;
}

} // namespace qz4::test
