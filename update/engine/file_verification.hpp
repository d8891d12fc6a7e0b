// Whether one installed file matches its index entry. The decision reads the file only
// through a probe, so that it can be tested without files and so that a test can tell
// which files were hashed.
#pragma once

#include "common/byte_buffer.hpp"
#include "common/file_digests.hpp"
#include "update/documents/check_rules.hpp"
#include "update/documents/file_cache.hpp"
#include "update/documents/update_task.hpp"

#include <cstdint>
#include <optional>
#include <string>

namespace qz4 {

enum class verification_outcome {
    up_to_date, // recorded in the cache with its current stamp
    accepted,   // a player's edit the configuration accepts; left alone and not recorded
    needs_update,
};

// What the decision may ask about the installed file; each question is asked at most once.
class installed_file {
public:
    virtual ~installed_file() = default;
    [[nodiscard]] virtual bool exists() = 0;
    [[nodiscard]] virtual std::uint64_t size() = 0;
    // The cache holds a stamp equal to the file's current one, recorded for `digest` (SHA-1).
    [[nodiscard]] virtual bool cached_as(const std::string& digest) = 0;
    // Of the kinds the task asks for, in one pass; empty texts for an empty or unreadable file.
    [[nodiscard]] virtual digest_texts digests() = 0;

protected:
    installed_file() = default;
    installed_file(const installed_file&) = default;
    installed_file& operator=(const installed_file&) = default;
};

struct verification_rules {
    const check_rules& rules;
    std::int32_t version = 0;     // the configuration's schema version
    bool version_changed = false; // the server announces another update than last time
    // The player asked for a repair: a stamp vouches for nothing, so soft-checked files are
    // hashed as hard-checked ones are. Unnamed files and accepted edits stay the player's.
    bool repair = false;
    // What index entries must carry and files must match: SHA-256 too for a launcher with the
    // publisher's keys.
    digest_kinds digests = digest_kinds::sha1;
};

[[nodiscard]] verification_outcome verify_file(const update_task& task, const verification_rules& rules,
                                               installed_file& file);

// Whether the installed file's size alone (nullopt: no file there) shows that verify_file will
// ask for an update, without hashing: the file is missing, or it is checked, its size is not
// the index's, and no accepted digest could keep it. A file of the right size may still need
// one; only its digest tells.
[[nodiscard]] bool size_shows_update(const update_task& task, const verification_rules& rules,
                                     std::optional<std::uint64_t> installed_size);

// The installed file at the task's target, read from disk and looked up in the cache. Its
// size and write time come from one metadata call (an open handle only where the system
// cannot give both beside the name), taken at the first question; checking a tree of many
// thousand files is mostly this.
class installed_file_on_disk final : public installed_file {
public:
    installed_file_on_disk(const update_task& task, const file_cache& cache, byte_buffer& buffer,
                           digest_context& context);
    bool exists() override;
    std::uint64_t size() override;
    bool cached_as(const std::string& digest) override;
    digest_texts digests() override;

    // The file's stamp as examined; nullopt when it could not be read.
    [[nodiscard]] std::optional<std::uint64_t> stamp();

private:
    void examine();

    const update_task& task_;
    const file_cache& cache_;
    byte_buffer& buffer_;
    digest_context& context_;
    bool examined_ = false;
    bool exists_ = false;
    std::uint64_t size_ = 0;
    std::optional<std::uint64_t> stamp_;
};

} // namespace qz4
