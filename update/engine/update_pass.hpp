// One pass of the update run: the check rules, the disk-space check, the two stage threads,
// the verification of every index entry on the run's own thread, and the ordered shutdown
// of the stages.
#pragma once

#include "splash/splash_view.hpp"
#include "update/documents/update_task.hpp"
#include "update/engine/disk_space.hpp"
#include "update/engine/index_retrieval.hpp"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace qz4 {

class examined_entries;
class game_launcher;
struct check_rules;
struct pass_state;
struct task_locations;
struct verification_rules;

struct pass_result {
    bool cancelled = false;     // the player closed the splash or declined to close the game
    bool rules_invalid = false; // the check rules could not be read
    bool self_update_ready = false;
    update_task self_update_task; // what the new launcher was checked against
    std::uint32_t download_failures = 0;
    std::uint32_t unpack_failures = 0;
    std::vector<std::wstring> placed;       // files moved into place
    std::optional<space_shortage> no_space; // the volume lacks room; nothing was fetched
};

// Where the files of the launcher's tasks lie: its game directory, download area and own
// executable.
[[nodiscard]] task_locations task_locations_of(const game_launcher& launcher);

// Runs on the run's thread with the update retrieved for it, through the host `host_index`.
class update_pass {
public:
    update_pass(game_launcher& launcher, splash_view& splash, const retrieved_update& update,
                std::uint32_t host_index)
        : launcher_(launcher), splash_(splash), update_(update), host_index_(host_index) {}

    [[nodiscard]] pass_result run();

private:
    [[nodiscard]] verification_rules verification_for(const check_rules& rules) const;
    void verify_and_queue(const verification_rules& verification, examined_entries& examined,
                          pass_state& state, bool sweep_leftovers, bool& declined);
    std::uint32_t report_unusable(const examined_entries& examined);

    game_launcher& launcher_;
    splash_view& splash_;
    const retrieved_update& update_;
    std::uint32_t host_index_;
};

} // namespace qz4
