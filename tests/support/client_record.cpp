#include "tests/support/client_record.hpp"

#include <fstream>
#include <thread>

namespace qz4::test {

namespace {

bool parse(const std::filesystem::path& file, client_record& record) {
    std::ifstream in(file, std::ios::binary);
    std::string line;
    client_record parsed;
    while (std::getline(in, line)) {
        if (line.rfind("cwd=", 0) == 0)
            parsed.working_directory = line.substr(4);
        else if (line.rfind("env=", 0) == 0)
            parsed.marker = line.substr(4);
        else if (line.rfind("cmdline=", 0) == 0)
            parsed.command_line = line.substr(8);
        else if (line.rfind("arg=", 0) == 0)
            parsed.arguments.push_back(line.substr(4));
        else if (line.rfind("note=", 0) == 0)
            parsed.notes.push_back(line.substr(5));
        else if (line == "end") {
            record = parsed;
            return true;
        }
    }
    return false;
}

} // namespace

bool wait_for_client_record(const std::filesystem::path& directory, client_record& record,
                            std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    const auto file = directory / "client_record.txt";
    while (std::chrono::steady_clock::now() < deadline) {
        if (parse(file, record))
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
}

} // namespace qz4::test
