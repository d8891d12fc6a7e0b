// What one run of the patch maker shares between its driver and its packing workers.
#pragma once

#include "patchmaker/encoder_pool.hpp"
#include "patchmaker/publisher_cache.hpp"

#include <nlohmann/json.hpp>

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <deque>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace qz4 {

// Console lines from several workers: each line is written whole.
class console_printer {
public:
    explicit console_printer(std::FILE* output) : output_(output) {}
    void print(const std::string& text);

private:
    std::mutex mutex_; // guards writes to output_
    std::FILE* output_;
};

struct queued_file {
    std::wstring path;    // full path below the input directory
    std::size_t position; // place in the enumeration, and so in the index
};

struct patch_maker_state {
    patch_maker_state(console_printer& printer, std::atomic<bool>& terminate)
        : out(printer), terminate_requested(terminate) {}

    std::wstring input_dir;
    std::wstring output_dir;
    std::wstring config_path;
    std::wstring cache_path;
    std::wstring cache_companion_path;

    nlohmann::json configuration;
    bool optimize = true;
    std::uint64_t minsize = 16384;
    std::int32_t optimize_threshold = 85;
    std::uint32_t current_version = 0;
    std::uint32_t next_version = 0;

    std::atomic<std::uint32_t> min_referenced_version{0xFFFFFFFF};
    std::atomic<bool> update_detected{false};
    // Files that could not be read, packed or copied: any of them and nothing is published.
    std::atomic<unsigned> failed_files{0};

    // Every file listed, in order; set before the workers start and not changed after.
    std::vector<std::wstring> enumerated;

    std::mutex queue_mutex; // guards file_queue
    std::deque<queued_file> file_queue;
    std::mutex files_mutex; // guards index_slots
    // One per enumerated file, in order: its record as compact_text gives it.
    std::vector<std::optional<std::string>> index_slots;

    publisher_cache old_cache; // as loaded; nothing stores into it
    publisher_cache new_cache;
    encoder_pool encoders;

    console_printer& out;
    std::atomic<bool>& terminate_requested;

    // Lowers min_referenced_version to `update` if that is smaller.
    void note_referenced(std::uint32_t update);

    // The name of the new server copy of the file at `position` below the update's directory
    // (copy_names.hpp). All are given out together, the first time a worker needs one, so that
    // they are the same whatever order the workers finish in, and a run that makes no copy
    // gives out none.
    [[nodiscard]] const std::wstring& copy_stem(std::size_t position);

private:
    std::once_flag stems_given_;
    std::vector<std::wstring> stems_; // written once, under stems_given_
};

// Takes files from the queue until it is empty or a stop is requested; see packing_worker.cpp.
void packing_worker(patch_maker_state& state);

} // namespace qz4
