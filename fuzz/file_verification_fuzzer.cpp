// Whether an installed file is current, with the rules and the file's answers chosen by the
// input. Whatever they are, the decision never calls a checked file current unless its size
// matches and either its digests do (SHA-256 too where the task asks for it) or (soft-checked,
// same update) its stamp was recorded for its SHA-1; never trusts a stamp for a hard-checked
// file; accepts a player's edit only as the configuration says; and asks each question of the
// file at most once.
#include "common/ascii_text.hpp"
#include "common/encoding.hpp"
#include "fuzz/fuzz_support.hpp"
#include "update/engine/file_verification.hpp"

#include <fuzzer/FuzzedDataProvider.h>

#include <array>
#include <cstdint>

using namespace qz4;

namespace {

// A few digests, so that the input meets equal ones often; the second differs from the first
// in letter case only.
const std::array<std::string, 4> sha1_digests = {"a9993e364706816aba3e25717850c26c9cd0d89d",
                                                 "A9993E364706816ABA3E25717850C26C9CD0D89D",
                                                 "84983e441c3bd26ebaae4aa1f95129e5e54670f1", ""};

// SHA-256 texts as the launcher holds them (lower case), and none.
const std::array<std::string, 3> sha256_digests = {std::string(64, 'a'), std::string(64, 'b'), ""};

// Sizes near zero, and the same ones past 4 GiB: a size compared by its low 32 bits alone
// would take either for the other.
std::uint64_t small_or_beyond_32_bits(FuzzedDataProvider& input) {
    const std::uint64_t low = input.ConsumeIntegralInRange<std::uint64_t>(0, 3);
    return input.ConsumeBool() ? low + (std::uint64_t{1} << 32) : low;
}

class scripted_file final : public installed_file {
public:
    explicit scripted_file(FuzzedDataProvider& input)
        : exists_(input.ConsumeBool()), size_(small_or_beyond_32_bits(input)), cached_(input.ConsumeBool()),
          digest_(sha1_digests[input.ConsumeIntegralInRange<std::size_t>(0, 3)]),
          sha256_(sha256_digests[input.ConsumeIntegralInRange<std::size_t>(0, 2)]) {}

    bool exists() override { return ++exists_asked, exists_; }
    std::uint64_t size() override { return ++size_asked, size_; }
    bool cached_as(const std::string& digest) override {
        ++cached_asked;
        return cached_ && equals_ci(digest, digest_);
    }
    digest_texts digests() override { return ++digest_asked, digest_texts{digest_, sha256_}; }

    const bool exists_;
    const std::uint64_t size_;
    const bool cached_; // a stamp recorded for the file's true digest
    const std::string digest_;
    const std::string sha256_;
    int exists_asked = 0, size_asked = 0, cached_asked = 0, digest_asked = 0;
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider input(data, size);
    check_rules rules;
    for (int i = input.ConsumeIntegralInRange(0, 3); i > 0; --i)
        (input.ConsumeBool() ? rules.hard_patterns : rules.soft_patterns)
            .add_pattern(input.ConsumeRandomLengthString(12));
    if (input.ConsumeBool())
        rules.accepted[normalize_path(utf8_to_wide(input.ConsumeRandomLengthString(24)))].insert(
            sha1_digests[input.ConsumeIntegralInRange<std::size_t>(0, 3)]);

    update_task task;
    task.local_path = normalize_path(utf8_to_wide(input.ConsumeRandomLengthString(12)));
    task.target_path = L"c:\\game\\" + task.local_path;
    task.local_size = small_or_beyond_32_bits(input);
    task.local_sha1 = sha1_digests[input.ConsumeIntegralInRange<std::size_t>(0, 2)];
    if (input.ConsumeBool()) {
        task.digests = digest_kinds::sha1_and_sha256;
        task.local_sha256 = sha256_digests[input.ConsumeIntegralInRange<std::size_t>(0, 2)];
    }
    verification_rules given{rules, input.ConsumeIntegralInRange<std::int32_t>(0, 4), input.ConsumeBool()};
    scripted_file file(input);
    given.repair = input.ConsumeBool();

    const verification_outcome outcome = verify_file(task, given, file);

    FUZZ_CHECK(file.exists_asked <= 1 && file.size_asked <= 1 && file.cached_asked <= 1 &&
               file.digest_asked <= 1);
    const bool hard = rules.hard_patterns.matches(task.local_path);
    const bool checked = hard || rules.soft_patterns.matches(task.local_path);
    if (!file.exists_)
        FUZZ_CHECK(outcome == verification_outcome::needs_update);
    if (hard || given.repair)
        FUZZ_CHECK(file.cached_asked == 0);
    const bool size_right = file.size_ == task.local_size;
    const bool sha1_right = equals_ci(file.digest_, task.local_sha1);
    const bool digest_right =
        sha1_right && (task.digests == digest_kinds::sha1 || file.sha256_ == task.local_sha256);
    // The stamp cache records the SHA-1 a file was found right for, after every digest the
    // launcher checks had matched.
    const bool stamp_right = !hard && !given.version_changed && !given.repair && file.cached_ && sha1_right;
    if (outcome == verification_outcome::up_to_date && file.exists_ && checked)
        FUZZ_CHECK(size_right && (digest_right || stamp_right));
    if (file.exists_ && checked && size_right && digest_right)
        FUZZ_CHECK(outcome == verification_outcome::up_to_date);
    if (outcome == verification_outcome::accepted)
        FUZZ_CHECK(given.version >= 3 && digest_accepted(rules.accepted, task.target_path, file.digest_));
    return 0;
}
