// The operation table of the real file system.
#include "update/file_operations.hpp"

#include "common/file_handle.hpp"
#include "common/file_system.hpp"

#include <mutex>
#include <unordered_set>
#include <vector>

namespace qz4 {

namespace {

class system_output_file final : public output_file {
public:
    explicit system_output_file(file_handle file) : file_(std::move(file)) {}
    bool write(const void* data, std::size_t size) override { return write_fully(file_, data, size); }
    bool finish() override {
        file_.close();
        return true;
    }

private:
    file_handle file_;
};

class system_operations final : public file_operations {
public:
    std::unique_ptr<output_file> create_file(const std::wstring& path, std::uint32_t& error) override {
        file_handle file = file_handle::create_write(path);
        if (!file.is_open()) {
            error = file.open_error();
            return nullptr;
        }
        error = 0;
        {
            const std::lock_guard lock(mutex_);
            unflushed_.insert(path);
        }
        return std::make_unique<system_output_file>(std::move(file));
    }
    bool move_replace(const std::wstring& from, const std::wstring& to) override {
        if (!move_file_replace(from, to))
            return false;
        const std::lock_guard lock(mutex_);
        if (unflushed_.erase(from) != 0)
            unflushed_.insert(to);
        return true;
    }
    bool delete_file(const std::wstring& path) override {
        {
            const std::lock_guard lock(mutex_);
            unflushed_.erase(path);
        }
        return delete_file_now(path);
    }
    bool create_directories(const std::wstring& path) override { return qz4::create_directories(path); }
    bool remove_directory(const std::wstring& path, bool allow_files) override {
        return qz4::remove_directory(path, allow_files);
    }
    bool mark_executable(const std::wstring& path) override { return qz4::mark_executable(path); }
    bool flush_written_files() override {
        std::vector<std::wstring> paths;
        {
            const std::lock_guard lock(mutex_);
            paths.assign(unflushed_.begin(), unflushed_.end());
            unflushed_.clear();
        }
        // A file removed by other means since is no longer anyone's concern.
        std::erase_if(paths, [](const std::wstring& path) { return !is_regular_file(path); });
        return flush_files_to_disk(paths);
    }

private:
    std::mutex mutex_;                           // guards unflushed_
    std::unordered_set<std::wstring> unflushed_; // written since the last flush, where they are now
};

} // namespace

file_operations& system_file_operations() {
    static system_operations operations;
    return operations;
}

} // namespace qz4
