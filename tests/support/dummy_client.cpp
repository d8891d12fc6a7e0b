// Stand-in for client\Client.exe. It appends how it was started to "client_record.txt" in
// its working directory: the directory, the QZ4LAUNCHER variable and every argument.
// With the argument "--wait" it then stays alive for up to 60 seconds.
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

int main(int argc, char** argv) {
    bool wait = false;
    {
        std::ofstream record("client_record.txt", std::ios::binary | std::ios::app);
        record << "cwd=" << std::filesystem::current_path().generic_string() << "\n";
        const char* marker = std::getenv("QZ4LAUNCHER");
        record << "env=" << (marker ? marker : "(unset)") << "\n";
        record << "argc=" << argc << "\n";
        for (int i = 1; i < argc; ++i) {
            record << "arg=" << argv[i] << "\n";
            if (std::string(argv[i]) == "--wait")
                wait = true;
        }
        record << "end\n";
    }
    if (wait)
        std::this_thread::sleep_for(std::chrono::seconds(60));
    return 0;
}
