// Whether the game's volume has room for an update before any of it is fetched. Only files
// whose sizes already show that they will be fetched are counted: knowing more would take
// hashing, and a disk that fills up later still fails its file cleanly.
#pragma once

#include <nlohmann/json.hpp>

#include <cstdint>
#include <optional>
#include <vector>

namespace qz4 {

struct task_locations;
struct verification_rules;

// Room kept beyond the estimate for what it cannot see: the documents a pass writes (config.json
// and cache.json, whose size follows the index's entry count), the files that only their
// digest shows to be changed, and the file system's own bookkeeping (folders, journal,
// metadata). It grows with the update: a quarter of what the counted files take, and a share
// per index entry, between a floor and a ceiling; a fixed 16 MiB would refuse even a tiny
// update on a disk with less than that free.
inline constexpr std::uint64_t disk_space_margin = 16ull << 20;
inline constexpr std::uint64_t disk_space_margin_floor = 64ull << 10;
inline constexpr std::uint64_t document_bytes_per_entry = 256;
[[nodiscard]] std::uint64_t disk_space_margin_for(std::uint64_t counted_bytes, std::uint64_t index_entries);
// A file takes whole allocation units (4 KiB by default on NTFS and ext4): up to one more for
// its download and one for the file in place. Thousands of small files need far more room
// than their sizes add up to.
inline constexpr std::uint64_t allocation_slack_per_file = 2 * 4096;

class space_estimate {
public:
    // `unpacked_at_once`: how many files the unpack workers may hold beside the copies they
    // replace at the same time.
    explicit space_estimate(std::uint32_t unpacked_at_once = 1)
        : unpacked_at_once_(unpacked_at_once > 0 ? unpacked_at_once : 1) {}
    // One file sure to be fetched: the size of its server copy, its size once in place, and
    // the size of the file it replaces there (0 when there is none).
    void add(std::uint64_t remote_size, std::uint64_t local_size, std::uint64_t replaced_size);
    // The number of entries of the index the pass works through, for the documents it writes.
    void set_index_entries(std::uint64_t count) { index_entries_ = count; }
    [[nodiscard]] bool empty() const { return files_ == 0; }
    // The most the volume must hold at once for these files, margin included; 0 without any.
    [[nodiscard]] std::uint64_t needed() const;

private:
    // Per file the larger of its download and what it adds once in place. At any moment each
    // file not yet in place holds at most its download, and each file in place what it grew
    // by, so the sum bounds both at once, in whatever order the stages take the files.
    std::uint64_t held_ = 0;
    // The largest files in place, largest first, as many as are unpacked at once: each is
    // unpacked beside the file it replaces until its rename.
    std::vector<std::uint64_t> largest_;
    std::uint32_t unpacked_at_once_; // at least one
    std::uint64_t files_ = 0;
    std::uint64_t index_entries_ = 0;
};

struct space_shortage {
    std::uint64_t needed = 0;
    std::uint64_t free = 0;
};

// A shortage when `free` bytes are less than the estimate needs; nothing when they suffice, or
// when nothing is counted (an update that fetches nothing must not fail on a full disk).
[[nodiscard]] std::optional<space_shortage> find_space_shortage(const space_estimate& estimate,
                                                                std::uint64_t free);

// What the sizes alone show a pass will fetch among the index's `files`: one size query per
// examined entry, no hashing.
[[nodiscard]] space_estimate estimate_space(const nlohmann::json& entries, const task_locations& where,
                                            const verification_rules& rules, std::uint32_t unpacked_at_once);

// Every entry with readable sizes as if its file were missing: a bound on estimate_space that
// asks the disk nothing.
[[nodiscard]] space_estimate estimate_space_all_missing(const nlohmann::json& entries,
                                                        std::uint32_t unpacked_at_once);

// The shortage of room for what a pass will fetch, if any. When `free` holds even the bound
// with every file missing, as it does wherever the disk has room for the whole game, no
// installed file's size is asked for.
[[nodiscard]] std::optional<space_shortage>
find_space_shortage(const nlohmann::json& entries, const task_locations& where,
                    const verification_rules& rules, std::uint32_t unpacked_at_once, std::uint64_t free);

} // namespace qz4
