#include "update/file_verification.hpp"

#include "common/encoding.hpp"
#include "common/file_system.hpp"
#include "common/text.hpp"

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

    std::string digest;
    bool digest_taken = false;
    if (file.size() == task.local_size) {
        // A soft-checked file whose stamp is unchanged since it was last found right is
        // trusted without hashing, within one update.
        if (!hard && !rules.version_changed && file.cached_as(task.local_sha1))
            return verification_outcome::up_to_date;
        digest = file.digest();
        digest_taken = true;
        if (equals_ci(digest, task.local_sha1))
            return verification_outcome::up_to_date;
    }
    if (rules.version >= 3 && !rules.rules.accepted.empty()) {
        if (!digest_taken)
            digest = file.digest();
        if (digest_accepted(rules.rules.accepted, task.target_path, digest))
            return verification_outcome::accepted;
    }
    return verification_outcome::needs_update;
}

installed_file_on_disk::installed_file_on_disk(const update_task& task, const file_cache& cache,
                                               byte_buffer& buffer, sha1_context& context)
    : task_(task), cache_(cache), buffer_(buffer), context_(context) {}

bool installed_file_on_disk::exists() {
    return is_regular_file(task_.target_path);
}

std::uint32_t installed_file_on_disk::size() {
    return file_size(task_.target_path);
}

bool installed_file_on_disk::cached_as(const std::string& digest) {
    nlohmann::json recorded;
    if (!cache_.lookup(task_.local_path, task_.target_path, &recorded))
        return false;
    // The stamp alone would also vouch for a file last found right in an earlier update
    // whose content this update changed, when a run for this update stopped before it got
    // to the file; the digest it was found right for tells the two apart.
    return recorded.is_string() && equals_ci(recorded.get_ref<const std::string&>(), digest);
}

std::string installed_file_on_disk::digest() {
    return file_sha1(task_.target_path, buffer_, context_);
}

} // namespace qz4
