// Stand-in for client\Client.exe: records how it was started (see dummy_client.hpp).
#include "tests/support/dummy_client.hpp"

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <thread>

namespace qz4::test {

int run_dummy_client(const std::vector<std::string>& arguments, const std::string& command_line,
                     const std::vector<std::string>& notes) {
    bool wait = false;
    {
        std::ofstream record("client_record.txt", std::ios::binary | std::ios::app);
        const std::u8string directory = std::filesystem::current_path().generic_u8string();
        record << "cwd=" << std::string(directory.begin(), directory.end()) << "\n";
        const char* marker = std::getenv("QZ4LAUNCHER");
        record << "env=" << (marker ? marker : "(unset)") << "\n";
        if (!command_line.empty())
            record << "cmdline=" << command_line << "\n";
        record << "argc=" << arguments.size() + 1 << "\n";
        for (const auto& argument : arguments) {
            record << "arg=" << argument << "\n";
            if (argument == "--wait")
                wait = true;
        }
        for (const auto& note : notes)
            record << "note=" << note << "\n";
        record << "end\n";
    }
    if (wait)
        std::this_thread::sleep_for(std::chrono::seconds(60));
    return 0;
}

} // namespace qz4::test
