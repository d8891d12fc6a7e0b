#include "update/engine/disk_space.hpp"

#include "common/file_system.hpp"
#include "update/documents/json_document.hpp"
#include "update/engine/file_verification.hpp"
#include "update/engine/index_entries.hpp"

#include <algorithm>
#include <functional>
#include <limits>

namespace qz4 {

namespace {

// Each size may come near 2^63, and a few of them would wrap a plain sum into a small need
// that any disk meets; a need that cannot be counted is more than any disk has.
std::uint64_t saturated_sum(std::uint64_t a, std::uint64_t b) {
    return a > std::numeric_limits<std::uint64_t>::max() - b ? std::numeric_limits<std::uint64_t>::max()
                                                             : a + b;
}

} // namespace

void space_estimate::add(std::uint64_t remote_size, std::uint64_t local_size, std::uint64_t replaced_size) {
    const std::uint64_t growth = local_size > replaced_size ? local_size - replaced_size : 0;
    held_ = saturated_sum(held_, std::max(remote_size, growth));
    const auto place = std::upper_bound(largest_.begin(), largest_.end(), local_size, std::greater<>());
    if (place - largest_.begin() < static_cast<std::ptrdiff_t>(unpacked_at_once_)) {
        largest_.insert(place, local_size);
        largest_.resize(std::min<std::size_t>(largest_.size(), unpacked_at_once_));
    }
    ++files_;
}

std::uint64_t disk_space_margin_for(std::uint64_t counted_bytes, std::uint64_t index_entries) {
    const std::uint64_t documents =
        std::min(index_entries, disk_space_margin / document_bytes_per_entry) * document_bytes_per_entry;
    return std::clamp(saturated_sum(counted_bytes / 4, documents), disk_space_margin_floor,
                      disk_space_margin);
}

std::uint64_t space_estimate::needed() const {
    if (files_ == 0)
        return 0;
    std::uint64_t sizes = held_;
    for (const std::uint64_t unpacked : largest_)
        sizes = saturated_sum(sizes, unpacked);
    const std::uint64_t counted = saturated_sum(sizes, files_ * allocation_slack_per_file);
    return saturated_sum(counted, disk_space_margin_for(sizes, index_entries_));
}

std::optional<space_shortage> find_space_shortage(const space_estimate& estimate, std::uint64_t free) {
    const std::uint64_t needed = estimate.needed();
    if (estimate.empty() || free >= needed)
        return std::nullopt;
    return space_shortage{needed, free};
}

// The launcher's own file is not freed by the pass (it moves aside), so it replaces nothing.
space_estimate estimate_space(const nlohmann::json& entries, const task_locations& where,
                              const verification_rules& rules, std::uint32_t unpacked_at_once) {
    space_estimate estimate(unpacked_at_once);
    estimate.set_index_entries(entries.size());
    examined_entries examined(where, rules.digests);
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

space_estimate estimate_space_all_missing(const nlohmann::json& entries, std::uint32_t unpacked_at_once) {
    space_estimate estimate(unpacked_at_once);
    estimate.set_index_entries(entries.size());
    for (const auto& entry : entries) {
        try {
            // An entry without readable sizes is one make_update_task skips too.
            const std::uint64_t local = json_number_exact_size(json_member(entry, "l_size"));
            const std::uint64_t remote = json_number_exact_size(json_member(entry, "r_size"));
            estimate.add(remote, local, 0);
        } catch (const nlohmann::json::exception&) {
        }
    }
    return estimate;
}

std::optional<space_shortage> find_space_shortage(const nlohmann::json& entries, const task_locations& where,
                                                  const verification_rules& rules,
                                                  std::uint32_t unpacked_at_once, std::uint64_t free) {
    if (!find_space_shortage(estimate_space_all_missing(entries, unpacked_at_once), free))
        return std::nullopt;
    return find_space_shortage(estimate_space(entries, where, rules, unpacked_at_once), free);
}

} // namespace qz4
