#include "tests/crash/kill_point.hpp"

#include "tests/crash/self_kill.hpp"

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>

namespace qz4::test {

namespace {

std::string environment_text(const char* name) {
    const char* value = std::getenv(name);
    return value ? value : "";
}

using file_pointer = std::unique_ptr<std::FILE, int (*)(std::FILE*)>;

void append(const std::string& path, char letter) {
    const file_pointer file(std::fopen(path.c_str(), "ab"), &std::fclose);
    if (file)
        std::fputc(letter, file.get());
}

} // namespace

kill_point::kill_point() : record_path_(environment_text("QZ4_CRASH_COUNT_FILE")) {
    std::string after = environment_text("QZ4_CRASH_AFTER");
    if (!after.empty() && std::isalpha(static_cast<unsigned char>(after[0]))) {
        kill_kind_ = after[0];
        after.erase(0, 1);
    }
    kill_after_ = std::strtoull(after.c_str(), nullptr, 10);
    // A restarted launcher goes on from what its predecessor recorded.
    if (record_path_.empty())
        return;
    std::ifstream record(record_path_, std::ios::binary);
    for (char kind = 0; record.get(kind);)
        counted_ += counts(kind);
}

void kill_point::operation_done(char kind) {
    const std::lock_guard lock(mutex_);
    if (!record_path_.empty())
        append(record_path_, kind);
    if (!counts(kind) || ++counted_ != kill_after_)
        return;
    if (!record_path_.empty())
        append(record_path_, killed_mark);
    end_this_process_now();
}

} // namespace qz4::test
