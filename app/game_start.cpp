#include "app/game_start.hpp"

#include "app/processes.hpp"
#include "common/paths.hpp"

namespace qz4 {

std::wstring game_command_line(const std::wstring& game_path, const std::vector<std::wstring>& arguments) {
    std::wstring line = L"\"" + game_path + L"\"";
    for (const auto& argument : arguments) {
        line.push_back(L' ');
        line.append(argument);
    }
    return line;
}

bool start_game(const std::wstring& game_path, const std::vector<std::wstring>& launcher_tokens) {
    std::vector<std::wstring> arguments;
    if (launcher_tokens.size() > 1)
        arguments.assign(launcher_tokens.begin() + 1, launcher_tokens.end());
    return spawn_process(game_path, arguments, parent_directory(game_path));
}

} // namespace qz4
