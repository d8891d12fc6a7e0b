// The limits every transfer of the engine runs under, with the reasons for their values: how
// many transfers at once, how slow a transfer may get before it counts as stalled, and how
// long a server document may take at most. The command line reads the transfer counts without
// the engine, so this header stands alone.
//
// Why every transfer ends. A document (version.json, an index, a signature) has a size cap and
// a deadline: its connection time-out plus the cap at document_floor_rate. A file has its size
// from the index as its cap and a stall floor: below the floor for the stall time it fails, so
// each attempt of a file of s bytes ends within about its connection time-out, s at the floor
// rate and one stall time. Closing the splash aborts any of them at libcurl's next progress
// call, which comes at least about once a second.
//
// How long a host that drips may hold the game's start, with the default limits (10 s
// time-outs, three attempts a second apart, no -maxrate). A retrieval attempt fetches at most
// version.json (10.063 s), two signatures (10.001 s each) and the packed and the plain index
// (74 s each): 178.1 s, so a retrieval that fails ends after 3 x 178.1 + 2 = 536.2 s and the
// game starts on the installed files. A host that lets every retrieval succeed at its last
// moment can make each pass's retrieval follow up to four host lists, and a run has at most
// eight passes: 8 x 4 x 536.2 s, about 4 h 46 min, plus the files, which no deadline limits
// (their size is the publisher's): each attempt of a file of s bytes within 20 s + s at the
// stall floor, each file fetched whole once per run, and up to failure_limit + transfers - 1
// failed attempts per pass.
#pragma once

#include <algorithm>
#include <chrono>
#include <cstdint>

namespace qz4 {

// Transfers of the download stage at once, unless the command line says otherwise.
inline constexpr std::uint32_t default_connections = 4;
// The most "-connections=N" may ask for.
inline constexpr std::uint32_t max_connections = 16;

// Below this rate for the stall time (the launcher's time-out, 10 s by default) a transfer on
// an uncapped link counts as stalled, so that a stalled host soon hands over to the next.
inline constexpr std::uint64_t open_link_stall_rate = 64 * 1024;
// Under a bandwidth cap a transfer's floor follows its share of the cap (half of it, as the
// pacing makes the rate uneven), but never drops below this: at 16 KiB/s a host that drips
// just above the floor still moves a 100 MiB file within two hours, where a floor of a byte a
// second would let it hold one transfer for years.
inline constexpr std::uint64_t lowest_stall_rate = 16 * 1024;
// The smallest cap that keeps one transfer above the lowest floor; a lower "-maxrate" is
// taken as this.
inline constexpr std::uint64_t lowest_rate_cap = 2 * lowest_stall_rate;

// The rate a document's deadline allows for its cap. At 1 MiB/s the 64 MiB cap of an index
// gives 64 s on top of the connection time-out: an index of 4.5 MiB still arrives at the
// stall floor of 64 KiB/s (a slow home link), one of 8 MiB at 1 Mbit/s, while a host that
// drips just above the stall floor holds an index for 74 s instead of 17 minutes, and a whole
// retrieval attempt (version.json, two signatures, the packed and the plain index) for
// under three minutes.
inline constexpr std::uint64_t document_floor_rate = 1024 * 1024;

// What a server may make the launcher store, and how fast the deadlines assume it comes.
// Tests shrink them to run a dripping host against small deadlines.
struct document_limits {
    // version.json holds one number.
    std::uint64_t version_cap = 64 * 1024;
    // Even the index of a game of a hundred thousand files stays well below this.
    std::uint64_t index_cap = 64 * 1024 * 1024;
    // A signature file is 68 bytes.
    std::uint64_t signature_cap = 1024;
    std::uint64_t floor_rate = document_floor_rate; // bytes per second; never 0
};

// The whole time a document of at most `cap` bytes may take: the connection time-out, then
// the cap at the floor rate, rounded up to the millisecond.
[[nodiscard]] constexpr std::chrono::milliseconds
document_deadline(std::uint64_t cap, std::uint64_t floor_rate, std::chrono::seconds connect_timeout) {
    // Bounded so that no product below can wrap: 2^40 s is beyond any clock, 2^50 B/s
    // beyond any link.
    const std::uint64_t rate = std::clamp<std::uint64_t>(floor_rate, 1, std::uint64_t{1} << 50);
    const std::uint64_t whole_seconds = std::min<std::uint64_t>(cap / rate, std::uint64_t{1} << 40);
    const std::uint64_t rest_ms = (cap % rate * 1000 + rate - 1) / rate;
    return connect_timeout +
           std::chrono::milliseconds(static_cast<std::int64_t>(whole_seconds * 1000 + rest_ms));
}

// How the download stage shares a link: the transfers it runs at once, the cap over all of
// them (0: none), and the stall floor of each.
struct file_transfer_plan {
    std::uint32_t transfers = default_connections;
    std::uint64_t rate_cap = 0;
    std::uint64_t stall_rate = open_link_stall_rate;

    bool operator==(const file_transfer_plan&) const = default;
};

// Fewer transfers rather than a lower floor: when the cap shared by `connections` transfers
// would give each less than twice the lowest floor, as many run as the cap can keep above it
// (one at the least, with the cap raised to lowest_rate_cap when it is below even that).
[[nodiscard]] constexpr file_transfer_plan plan_file_transfers(std::uint32_t connections,
                                                               std::uint64_t max_rate) {
    file_transfer_plan plan;
    plan.transfers = std::clamp<std::uint32_t>(connections, 1, max_connections);
    if (max_rate == 0)
        return plan;
    plan.rate_cap = std::max(max_rate, lowest_rate_cap);
    const std::uint64_t room = plan.rate_cap / lowest_rate_cap;
    plan.transfers = static_cast<std::uint32_t>(std::min<std::uint64_t>(plan.transfers, room));
    const std::uint64_t share = plan.rate_cap / plan.transfers;
    plan.stall_rate = std::clamp<std::uint64_t>(share / 2, lowest_stall_rate, open_link_stall_rate);
    return plan;
}

} // namespace qz4
