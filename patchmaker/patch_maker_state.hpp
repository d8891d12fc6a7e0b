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
    std::wstring stem;    // its new server copy below the update's directory (see copy_names.hpp)
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
    std::uint32_t minsize = 16384;
    std::int32_t optimize_threshold = 85;
    std::uint32_t current_version = 0;
    std::uint32_t next_version = 0;

    std::atomic<std::uint32_t> min_referenced_version{0xFFFFFFFF};
    std::atomic<bool> update_detected{false};
    // Files that could not be read, packed or copied: any of them and nothing is published.
    std::atomic<unsigned> failed_files{0};

    std::mutex queue_mutex; // guards file_queue
    std::deque<queued_file> file_queue;
    std::mutex files_mutex;                                 // guards index_slots
    std::vector<std::optional<nlohmann::json>> index_slots; // one per enumerated file, in order

    publisher_cache old_cache; // as loaded; nothing stores into it
    publisher_cache new_cache;
    encoder_pool encoders;

    console_printer& out;
    std::atomic<bool>& terminate_requested;

    // Lowers min_referenced_version to `update` if that is smaller.
    void note_referenced(std::uint32_t update);
};

// Takes files from the queue until it is empty or a stop is requested; see packing_worker.cpp.
void packing_worker(patch_maker_state& state);

} // namespace qz4
