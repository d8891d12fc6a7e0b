// The stand-in game client's behaviour, shared by its per-platform entry points.
#pragma once

#include <string>
#include <vector>

namespace qz4::test {

// Appends how the client was started to "client_record.txt" in its working directory: the
// directory, the QZ4LAUNCHER variable, the whole command line where the system keeps one
// (Windows), and every argument (UTF-8). With the argument "--wait" it then stays alive for
// up to 60 seconds. `notes` are recorded too, one line each. Returns the exit code.
int run_dummy_client(const std::vector<std::string>& arguments, const std::string& command_line,
                     const std::vector<std::string>& notes = {});

} // namespace qz4::test
