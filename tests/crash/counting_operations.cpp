#include "tests/crash/counting_operations.hpp"

namespace qz4::test {

namespace {

class counted_file final : public output_file {
public:
    counted_file(std::unique_ptr<output_file> inner, kill_point& counter)
        : inner_(std::move(inner)), counter_(counter) {}
    bool write(const void* data, std::size_t size) override {
        const bool ok = inner_->write(data, size);
        counter_.operation_done('w');
        return ok;
    }
    bool finish() override {
        const bool ok = inner_->finish();
        counter_.operation_done('f');
        return ok;
    }
    // Ends the writing as finish() does; its move counts as a rename.
    std::unique_ptr<file_to_place> keep_to_place() override;

private:
    std::unique_ptr<output_file> inner_;
    kill_point& counter_;
};

// A file to place whose move counts as a rename.
class counted_placement final : public forwarding_file_to_place {
public:
    counted_placement(std::unique_ptr<file_to_place> inner, kill_point& counter)
        : forwarding_file_to_place(std::move(inner)), counter_(counter) {}
    bool move_over(const std::wstring& target) override {
        const bool ok = forwarding_file_to_place::move_over(target);
        counter_.operation_done('m');
        return ok;
    }

private:
    kill_point& counter_;
};

std::unique_ptr<file_to_place> counted_file::keep_to_place() {
    auto kept = inner_->keep_to_place();
    if (!kept)
        return nullptr; // finish() comes, and counts
    counter_.operation_done('f');
    return std::make_unique<counted_placement>(std::move(kept), counter_);
}

// Runs the operation, then counts it: a kill after it finds its effect on the disk.
template <typename Operation> auto counted(kill_point& counter, char kind, Operation operation) {
    auto result = operation();
    counter.operation_done(kind);
    return result;
}

} // namespace

std::unique_ptr<output_file> counting_operations::create_file(const std::wstring& path,
                                                              std::uint32_t& error) {
    auto file = counted(counter_, 'c', [&] { return inner().create_file(path, error); });
    if (!file)
        return nullptr;
    return std::make_unique<counted_file>(std::move(file), counter_);
}

std::unique_ptr<output_file> counting_operations::continue_file(const std::wstring& path,
                                                                std::uint64_t length, std::uint32_t& error) {
    auto file = counted(counter_, 'c', [&] { return inner().continue_file(path, length, error); });
    if (!file)
        return nullptr;
    return std::make_unique<counted_file>(std::move(file), counter_);
}

std::unique_ptr<file_to_place> counting_operations::open_to_place(const std::wstring& path,
                                                                  std::uint32_t& error) {
    auto file = counted(counter_, 'o', [&] { return inner().open_to_place(path, error); });
    if (!file)
        return nullptr;
    return std::make_unique<counted_placement>(std::move(file), counter_);
}

bool counting_operations::move_replace(const std::wstring& from, const std::wstring& to) {
    return counted(counter_, 'm', [&] { return inner().move_replace(from, to); });
}

bool counting_operations::delete_file(const std::wstring& path) {
    return counted(counter_, 'd', [&] { return inner().delete_file(path); });
}

bool counting_operations::create_directories(const std::wstring& path) {
    return counted(counter_, 'k', [&] { return inner().create_directories(path); });
}

bool counting_operations::create_private_directory(const std::wstring& path) {
    return counted(counter_, 'p', [&] { return inner().create_private_directory(path); });
}

bool counting_operations::remove_directory(const std::wstring& path, bool allow_files) {
    return counted(counter_, 'r', [&] { return inner().remove_directory(path, allow_files); });
}

bool counting_operations::mark_executable(const std::wstring& path) {
    return counted(counter_, 'x', [&] { return inner().mark_executable(path); });
}

bool counting_operations::make_durable(const std::wstring& directory,
                                       const std::vector<std::wstring>& written) {
    return counted(counter_, 's', [&] { return inner().make_durable(directory, written); });
}

} // namespace qz4::test
