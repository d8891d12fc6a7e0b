#include "app/game_instances.hpp"

#include "app/message_box.hpp"
#include "app/processes.hpp"
#include "texts/player_texts.hpp"

#include <cstdint>
#include <thread>
#include <vector>

namespace qz4 {

namespace {

constexpr unsigned termination_wait_ms = 250;

// Exact comparison, letter case included: a client started through another spelling of
// the path is not ours to close.
std::vector<std::uint32_t> find_instances(const std::wstring& game_exe_path) {
    std::vector<std::uint32_t> matches;
    for (const std::uint32_t id : enumerate_process_ids()) {
        if (id > 4 && process_image_path(id) == game_exe_path)
            matches.push_back(id);
    }
    return matches;
}

} // namespace

bool close_game_instances(const std::wstring& game_exe_path, std::chrono::milliseconds settle_time) {
    for (;;) {
        const auto instances = find_instances(game_exe_path);
        if (instances.empty())
            return true;
        if (!ask_yes_no(localized_text(text_id::update_required_caption),
                        localized_text(text_id::close_instances_question)))
            return false;
        for (const std::uint32_t id : instances)
            terminate_process(id, termination_wait_ms);
        std::this_thread::sleep_for(settle_time);
    }
}

} // namespace qz4
