// The publisher's tool: turns the client tree in "input" into the server tree in "output",
// numbering each changed tree as a new update and reusing what did not change.
#pragma once

#include "common/utc_time.hpp"
#include "signatures/signatures.hpp"

#include <atomic>
#include <cstdio>
#include <string>
#include <vector>

namespace qz4 {

struct patch_maker_setup {
    std::wstring directory;     // holds config.json, cache.json, input and output
    std::FILE* output = stdout; // where the console texts go
    unsigned workers = 0;       // files packed at the same time; 0 means one per hardware thread
    // The keys built into the program running the patch maker: a signing key outside them is
    // reported, since launchers of the same build would refuse what it signs.
    std::vector<public_key> launcher_keys;
    wall_clock clock; // the time a signed version.json's expiry counts from; empty: the system's
};

// One run. True when it went through to the end (whether or not the tree changed), false
// when it only created the configuration or stopped on an error. Files are taken no longer
// once `terminate_requested` is set; the files at hand are finished and saved.
[[nodiscard]] bool run_patch_maker(const patch_maker_setup& setup, std::atomic<bool>& terminate_requested);

// The -patchmaker mode: a run beside the program, on standard output, stopped by Ctrl+C or
// by the console going away (the process then ends once the run has saved its work).
[[nodiscard]] bool run_patch_maker(const std::vector<public_key>& launcher_keys);

} // namespace qz4
