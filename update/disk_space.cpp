#include "update/disk_space.hpp"

#include "common/file_system.hpp"
#include "update/file_verification.hpp"
#include "update/index_entries.hpp"

#include <algorithm>

namespace qz4 {

void space_estimate::add(std::uint64_t remote_size, std::uint64_t local_size, std::uint64_t replaced_size) {
    const std::uint64_t growth = local_size > replaced_size ? local_size - replaced_size : 0;
    held_ += std::max(remote_size, growth);
    largest_ = std::max(largest_, local_size);
    ++files_;
}

std::uint64_t space_estimate::needed() const {
    if (files_ == 0)
        return 0;
    return held_ + largest_ + files_ * allocation_slack_per_file + disk_space_margin;
}

std::optional<space_shortage> find_space_shortage(const space_estimate& estimate, std::uint64_t free) {
    const std::uint64_t needed = estimate.needed();
    if (estimate.empty() || free >= needed)
        return std::nullopt;
    return space_shortage{needed, free};
}

// The launcher's own file is not freed by the pass (it moves aside), so it replaces nothing.
space_estimate estimate_space(const nlohmann::json& entries, const task_locations& where,
                              const verification_rules& rules) {
    space_estimate estimate;
    examined_entries examined(where);
    for (const auto& entry : entries) {
        const auto task = examined.take(entry);
        if (!task)
            continue;
        const auto size = stat_file_size(task->target_path);
        if (size_shows_update(*task, rules, size))
            estimate.add(task->remote_size, task->local_size, task->is_self ? 0 : size.value_or(0));
    }
    return estimate;
}

} // namespace qz4
