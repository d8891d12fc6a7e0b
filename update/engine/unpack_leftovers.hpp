// Unpacked copies (".unp") that a run which stopped while unpacking left beside their
// targets. Looking for one beside every file of the index costs a metadata call per file at
// every start; a marker in the work area, put on disk before a pass writes its first copy
// and taken away once no copy of it can remain, says when the look is worth it.
#pragma once

#include <mutex>
#include <string>

namespace qz4 {

class file_operations;

class unpack_leftovers {
public:
    unpack_leftovers(file_operations& files, std::wstring marker_path);

    // Whether an earlier run may have left copies behind: its marker stands, or cannot be
    // told apart from one that stands.
    [[nodiscard]] bool may_remain() const { return may_remain_; }

    // Before this pass writes an unpacked copy; only the first call writes. Any thread.
    void note_unpacking();

    // After the pass, with its stages joined: `clean` when every entry was looked at (where
    // copies may remain) and every unpacking of the pass ended by deleting its copy.
    void settle(bool clean);

private:
    file_operations& files_;
    std::wstring marker_path_;
    bool may_remain_ = false;
    std::once_flag noted_; // the first unpacking writes the marker
    bool written_ = false; // set under noted_; read after the unpack threads are joined
};

} // namespace qz4
