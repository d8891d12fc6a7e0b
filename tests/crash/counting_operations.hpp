// An operation table that does what the system's does and reports each operation, once it
// is done, to a kill point.
#pragma once

#include "tests/crash/kill_point.hpp"
#include "update/engine/file_operations.hpp"

namespace qz4::test {

class counting_operations final : public forwarding_file_operations {
public:
    counting_operations(file_operations& inner, kill_point& counter)
        : forwarding_file_operations(inner), counter_(counter) {}

    std::unique_ptr<output_file> create_file(const std::wstring& path, std::uint32_t& error) override;
    std::unique_ptr<output_file> continue_file(const std::wstring& path, std::uint64_t length,
                                               std::uint32_t& error) override;
    std::unique_ptr<file_to_place> open_to_place(const std::wstring& path, std::uint32_t& error) override;
    bool move_replace(const std::wstring& from, const std::wstring& to) override;
    bool delete_file(const std::wstring& path) override;
    bool create_directories(const std::wstring& path) override;
    bool create_private_directory(const std::wstring& path) override;
    bool remove_directory(const std::wstring& path, bool allow_files) override;
    bool mark_executable(const std::wstring& path) override;
    bool make_durable(const std::wstring& directory, const std::vector<std::wstring>& written) override;

private:
    kill_point& counter_;
};

} // namespace qz4::test
