// The crash build's count of the engine's disk operations, over every process of one
// update: a launcher restarted by its self-update goes on from the count its predecessor
// left. After the operation the test chose, the process ends at once, as on a power cut.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>

namespace qz4::test {

// The record file holds one letter per operation (its kind) and, when the process was
// ended, a final '!'.
inline constexpr char killed_mark = '!';

class kill_point {
public:
    // QZ4_CRASH_AFTER: the operation to stop after (unset, empty or 0: never), counted over
    // all operations ("17") or over those of one kind ("m3": the third move);
    // QZ4_CRASH_COUNT_FILE: the record file (unset or empty: nothing is recorded).
    kill_point();

    void operation_done(char kind);

private:
    [[nodiscard]] bool counts(char kind) const { return kill_kind_ == 0 || kind == kill_kind_; }

    std::mutex mutex_;          // guards counted_ and the record file
    std::uint64_t counted_ = 0; // operations of kill_kind_, or of every kind; guarded by mutex_
    char kill_kind_ = 0;        // 0: every kind
    std::uint64_t kill_after_ = 0;
    std::string record_path_;
};

} // namespace qz4::test
