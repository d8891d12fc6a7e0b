#include "update/engine/file_verification.hpp"

#include "common/ascii_text.hpp"
#include "common/encoding.hpp"
#include "common/file_handle.hpp"
#include "common/file_system.hpp"

namespace qz4 {

verification_outcome verify_file(const update_task& task, const verification_rules& rules,
                                 installed_file& file) {
    const bool exists = file.exists();
    const bool hard = rules.rules.hard_patterns.matches(task.local_path);
    const bool checked = hard || rules.rules.soft_patterns.matches(task.local_path);
    if (!exists)
        return verification_outcome::needs_update;
    // Files no pattern names are the player's business once they exist.
    if (!checked)
        return verification_outcome::up_to_date;

    std::optional<digest_texts> found;
    if (file.size() == task.local_size) {
        // A soft-checked file whose stamp is unchanged since it was last found right is
        // trusted without hashing, within one update and unless a repair was asked for.
        if (!hard && !rules.version_changed && !rules.repair && file.cached_as(task.local_sha1))
            return verification_outcome::up_to_date;
        found = file.digests();
        if (check_installed(task, *found) == digest_check::match)
            return verification_outcome::up_to_date;
    }
    // The configuration names accepted edits by their SHA-1.
    if (rules.version >= 3 && !rules.rules.accepted.empty()) {
        if (!found)
            found = file.digests();
        if (digest_accepted(rules.rules.accepted, task.target_path, found->sha1))
            return verification_outcome::accepted;
    }
    return verification_outcome::needs_update;
}

bool size_shows_update(const update_task& task, const verification_rules& rules,
                       std::optional<std::uint64_t> installed_size) {
    if (!installed_size)
        return true;
    const bool checked = rules.rules.hard_patterns.matches(task.local_path) ||
                         rules.rules.soft_patterns.matches(task.local_path);
    if (!checked || *installed_size == task.local_size)
        return false;
    return rules.version < 3 || !accepts_edits_of(rules.rules.accepted, task.target_path);
}

installed_file_on_disk::installed_file_on_disk(const update_task& task, const file_cache& cache,
                                               byte_buffer& buffer, digest_context& context)
    : task_(task), cache_(cache), buffer_(buffer), context_(context) {}

void installed_file_on_disk::examine() {
    if (examined_)
        return;
    examined_ = true;
    // Most files of a large tree are only stamped: one metadata call, no open and no read.
    if (const auto status = stat_plain_file(task_.target_path)) {
        exists_ = true;
        size_ = status->size;
        stamp_ = status->size ^ status->write_time;
        return;
    }
    const file_handle file = file_handle::open_read(task_.target_path);
    if (!file.is_open()) {
        // A file that exists but cannot be read is there all the same.
        exists_ = is_regular_file(task_.target_path);
        return;
    }
    exists_ = true;
    const auto size = file.size();
    const auto written = file.last_write_time();
    size_ = size.value_or(0);
    if (size && written)
        stamp_ = *size ^ *written;
}

bool installed_file_on_disk::exists() {
    examine();
    return exists_;
}

std::uint64_t installed_file_on_disk::size() {
    examine();
    return size_;
}

std::optional<std::uint64_t> installed_file_on_disk::stamp() {
    examine();
    return stamp_;
}

bool installed_file_on_disk::cached_as(const std::string& digest) {
    examine();
    nlohmann::json recorded;
    if (!stamp_ || !cache_.lookup_stamp(wide_to_utf8(task_.local_path), *stamp_, &recorded))
        return false;
    // The stamp alone would also vouch for a file last found right in an earlier update
    // whose content this update changed, when a run for this update stopped before it got
    // to the file; the digest it was found right for tells the two apart.
    return recorded.is_string() && equals_ci(recorded.get_ref<const std::string&>(), digest);
}

digest_texts installed_file_on_disk::digests() {
    context_.reset(task_.digests);
    return file_digests(task_.target_path, buffer_, context_);
}

} // namespace qz4
