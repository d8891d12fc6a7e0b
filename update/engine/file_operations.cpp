// The operation table of the real file system.
#include "update/engine/file_operations.hpp"

#include "common/durability.hpp"
#include "common/file_handle.hpp"
#include "common/file_system.hpp"
#include "common/format.hpp"
#include "common/guarded_tree.hpp"
#include "texts/player_texts.hpp"

#include <algorithm>

namespace qz4 {

namespace {

class system_file_to_place final : public file_to_place {
public:
    explicit system_file_to_place(held_file file) : file_(std::move(file)) {}
    std::optional<std::size_t> read_some(void* buffer, std::size_t size) override {
        return file_.read_some(buffer, size);
    }
    bool move_over(const std::wstring& target) override { return file_.move_over(target); }

private:
    held_file file_;
};

// `created`: the file was made by create_write, and may be held to be placed.
class system_output_file final : public output_file {
public:
    system_output_file(file_handle file, const guarded_tree* created, std::wstring path)
        : file_(std::move(file)), created_(created), path_(std::move(path)) {}
    bool write(const void* data, std::size_t size) override { return write_fully(file_, data, size); }
    bool finish() override {
        file_.close();
        return true;
    }
    std::unique_ptr<file_to_place> keep_to_place() override {
        if (created_ == nullptr)
            return nullptr;
        held_file held = created_->hold_written(std::move(file_), path_);
        if (!held.is_open())
            return nullptr; // closed as it was: finish() has nothing left to do
        return std::make_unique<system_file_to_place>(std::move(held));
    }

private:
    file_handle file_;
    const guarded_tree* created_;
    std::wstring path_;
};

std::unique_ptr<output_file> output_of(file_handle file, std::uint32_t& error,
                                       const guarded_tree* created = nullptr, const std::wstring& path = {}) {
    if (!file.is_open()) {
        error = file.open_error();
        return nullptr;
    }
    error = 0;
    return std::make_unique<system_output_file>(std::move(file), created, path);
}

class system_operations final : public file_operations {
public:
    explicit system_operations(std::wstring root) : tree_(std::move(root)) {}

    std::unique_ptr<output_file> create_file(const std::wstring& path, std::uint32_t& error) override {
        return output_of(tree_.create_write(path), error, &tree_, path);
    }
    std::unique_ptr<output_file> continue_file(const std::wstring& path, std::uint64_t length,
                                               std::uint32_t& error) override {
        return output_of(tree_.continue_write(path, length), error);
    }
    std::unique_ptr<file_to_place> open_to_place(const std::wstring& path, std::uint32_t& error) override {
        held_file file = tree_.open_to_place(path);
        error = file.open_error();
        if (!file.is_open())
            return nullptr;
        return std::make_unique<system_file_to_place>(std::move(file));
    }
    bool move_replace(const std::wstring& from, const std::wstring& to) override {
        return tree_.move_replace(from, to);
    }
    bool delete_file(const std::wstring& path) override { return tree_.delete_file(path); }
    bool create_directories(const std::wstring& path) override { return tree_.create_directories(path); }
    bool create_private_directory(const std::wstring& path) override {
        return tree_.create_private_directory(path);
    }
    bool remove_directory(const std::wstring& path, bool allow_files) override {
        return tree_.remove_directory(path, allow_files);
    }
    bool mark_executable(const std::wstring& path) override { return tree_.mark_executable(path); }
    // One flush of the volume is far cheaper than one per file; where the volume cannot be
    // had (no administrator rights, a network share) the files are flushed one by one.
    bool make_durable(const std::wstring& directory, const std::vector<std::wstring>& written) override {
        if (flush_volume_of(directory))
            return true;
        return std::all_of(written.begin(), written.end(),
                           [](const std::wstring& path) { return flush_file(path); });
    }
    std::optional<std::uint64_t> free_space(const std::wstring& directory) override {
        return free_disk_space(directory);
    }

private:
    guarded_tree tree_;
};

// Reports the first refused write of a file once; what follows a refused write is lost too.
class reporting_output_file final : public output_file {
public:
    reporting_output_file(std::unique_ptr<output_file> inner, std::wstring path,
                          const reporting_file_operations::report_function& report)
        : inner_(std::move(inner)), path_(std::move(path)), report_(report) {}
    bool write(const void* data, std::size_t size) override {
        if (inner_->write(data, size))
            return true;
        refused();
        return false;
    }
    bool finish() override {
        if (inner_->finish())
            return true;
        refused();
        return false;
    }
    std::unique_ptr<file_to_place> keep_to_place() override;

private:
    void refused() {
        if (!reported_)
            report_(format_wide(failure_text::write_failed, path_.c_str()));
        reported_ = true;
    }

    std::unique_ptr<output_file> inner_;
    std::wstring path_;
    const reporting_file_operations::report_function& report_;
    bool reported_ = false;
};

} // namespace

std::unique_ptr<output_file> reporting_file_operations::create_file(const std::wstring& path,
                                                                    std::uint32_t& error) {
    auto file = inner().create_file(path, error);
    if (!file) {
        report_(format_wide(failure_text::cannot_create_file, path.c_str(), static_cast<unsigned>(error)));
        return nullptr;
    }
    return std::make_unique<reporting_output_file>(std::move(file), path, report_);
}

// A copy that cannot be continued is fetched again from the start: nothing to report.
std::unique_ptr<output_file> reporting_file_operations::continue_file(const std::wstring& path,
                                                                      std::uint64_t length,
                                                                      std::uint32_t& error) {
    auto file = inner().continue_file(path, length, error);
    if (!file)
        return nullptr;
    return std::make_unique<reporting_output_file>(std::move(file), path, report_);
}

namespace {

// Reports a refused move of a file opened to be placed.
class reporting_file_to_place final : public forwarding_file_to_place {
public:
    reporting_file_to_place(std::unique_ptr<file_to_place> inner, std::wstring path,
                            const reporting_file_operations::report_function& report)
        : forwarding_file_to_place(std::move(inner)), path_(std::move(path)), report_(report) {}
    bool move_over(const std::wstring& target) override {
        if (forwarding_file_to_place::move_over(target))
            return true;
        report_(format_wide(failure_text::rename_failed, path_.c_str(), target.c_str()));
        return false;
    }

private:
    std::wstring path_;
    const reporting_file_operations::report_function& report_;
};

std::unique_ptr<file_to_place> reporting_output_file::keep_to_place() {
    auto kept = inner_->keep_to_place();
    if (!kept)
        return nullptr;
    return std::make_unique<reporting_file_to_place>(std::move(kept), path_, report_);
}

} // namespace

std::unique_ptr<file_to_place> reporting_file_operations::open_to_place(const std::wstring& path,
                                                                        std::uint32_t& error) {
    auto file = inner().open_to_place(path, error);
    if (!file) {
        report_(format_wide(failure_text::cannot_open_file, path.c_str(), static_cast<unsigned>(error)));
        return nullptr;
    }
    return std::make_unique<reporting_file_to_place>(std::move(file), path, report_);
}

bool reporting_file_operations::move_replace(const std::wstring& from, const std::wstring& to) {
    if (inner().move_replace(from, to))
        return true;
    report_(format_wide(failure_text::rename_failed, from.c_str(), to.c_str()));
    return false;
}

bool reporting_file_operations::create_directories(const std::wstring& path) {
    if (inner().create_directories(path))
        return true;
    report_(format_wide(failure_text::cannot_create_folder, path.c_str()));
    return false;
}

bool reporting_file_operations::create_private_directory(const std::wstring& path) {
    if (inner().create_private_directory(path))
        return true;
    report_(format_wide(failure_text::cannot_create_folder, path.c_str()));
    return false;
}

bool reporting_file_operations::mark_executable(const std::wstring& path) {
    if (inner().mark_executable(path))
        return true;
    report_(format_wide(failure_text::cannot_mark_program, path.c_str()));
    return false;
}

std::unique_ptr<file_operations> system_file_operations_below(std::wstring game_dir) {
    return std::make_unique<system_operations>(std::move(game_dir));
}

file_operations& system_file_operations() {
    static system_operations operations{std::wstring()};
    return operations;
}

} // namespace qz4
