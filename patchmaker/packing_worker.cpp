// One packing worker: for each input file, either proves that the server copy published
// earlier is still good and reuses its record, or makes a new server copy under the new
// update number (packed when packing pays, a plain copy otherwise) with a new record.
// Several workers may run at once; each owns its digest context and buffer, and borrows an
// encoder from the run's pool for each file it packs.
#include "common/ascii_text.hpp"
#include "common/encoding.hpp"
#include "common/file_digests.hpp"
#include "common/file_handle.hpp"
#include "common/file_system.hpp"
#include "common/format.hpp"
#include "common/lzma2_codec.hpp"
#include "common/paths.hpp"
#include "patchmaker/console_text.hpp"
#include "patchmaker/copy_names.hpp"
#include "patchmaker/patch_maker_state.hpp"
#include "update/documents/file_cache.hpp"
#include "update/documents/json_document.hpp"
#include "update/documents/manifests.hpp"

#include <array>
#include <exception>

namespace qz4 {

namespace {

// Executables stay packed whatever the saving: they are the files players wait for.
constexpr std::array<const wchar_t*, 4> executable_suffixes = {L".exe", L".dll", L".sys", L".com"};

bool is_executable(const std::wstring& relative_path) {
    for (const wchar_t* suffix : executable_suffixes) {
        if (ends_with_ci(relative_path, suffix))
            return true;
    }
    return false;
}

struct file_names {
    std::wstring full;     // P
    std::wstring relative; // below the input directory, letter case as found
    std::wstring key;      // lower-cased relative path: the cache key
    std::wstring stem;     // the server copy's name below the update's directory
    std::wstring output;   // the plain server copy under the new update number
    std::wstring packed;   // the packed server copy
};

file_names name_file(const patch_maker_state& state, const queued_file& file) {
    file_names names;
    names.full = file.path;
    names.relative = file.path.substr(std::min(file.path.size(), state.input_dir.size() + 1));
    names.key = to_lower(names.relative);
    return names;
}

// Only a file published anew needs them.
void name_copy(patch_maker_state& state, std::size_t position, file_names& names) {
    names.stem = state.copy_stem(position);
    names.output = join_path(state.output_dir, join_path(std::to_wstring(state.next_version), names.stem));
    names.packed = names.output + L".lzma2";
}

class worker {
public:
    explicit worker(patch_maker_state& state) : state_(state) {}

    void run() {
        while (!state_.terminate_requested) {
            std::optional<queued_file> next = take();
            if (!next)
                return;
            try {
                handle(*next);
            } catch (const std::exception& error) {
                // One odd file must not take the whole run down with it, nor be left out of
                // an update that is published as complete.
                state_.out.print(format_narrow("Exception: %s\n", error.what()));
                ++state_.failed_files;
            }
        }
    }

private:
    std::optional<queued_file> take() {
        std::lock_guard lock(state_.queue_mutex);
        if (state_.file_queue.empty())
            return std::nullopt;
        queued_file next = std::move(state_.file_queue.front());
        state_.file_queue.pop_front();
        return next;
    }

    void handle(const queued_file& file) {
        file_names names = name_file(state_, file);
        const std::string key = wide_to_utf8(names.key);
        if (reuse_unopened(names, key, file.position))
            return;
        // One open serves everything the run reads of the file: its stamp, digest and copy all
        // come from the same file, and never from whatever a link put in its place since the
        // listing.
        file_handle input = file_handle::open_read_regular(names.full);
        const std::optional<std::uint64_t> stamp = input.is_open() ? file_stamp(input) : std::nullopt;
        if (!stamp) {
            report_unreadable(names);
            ++state_.failed_files;
            return;
        }
        std::optional<published> result = reuse_cached(names, key, *stamp, input);
        if (!result) {
            name_copy(state_, file.position, names);
            result = publish_anew(names, input);
        }
        if (!result) {
            ++state_.failed_files; // reported; the file stays out of the cache
            return;
        }
        // The stamp taken before the file was read: a file changed while it was read does not
        // match it, and is read again by the next run.
        keep(key, file.position, cached_file{*stamp, compact_text(result->record), result->copy});
    }

    struct published {
        nlohmann::json record;
        std::optional<proven_copy> copy; // none when it could not be looked at
    };

    void keep(const std::string& key, std::size_t position, cached_file entry) {
        std::string record = entry.record;
        state_.new_cache.store(key, std::move(entry));
        std::lock_guard lock(state_.files_mutex);
        state_.index_slots.at(position) = std::move(record);
    }

    // The cached record of a file whose stamp (from one look at its name, the file unopened)
    // and server copy's size and write time are the ones stored with it. Anything else goes
    // the long way, which opens the file and proves its copy by digest.
    bool reuse_unopened(const file_names& names, const std::string& key, std::size_t position) {
        const cached_file* cached = state_.old_cache.find(key);
        if (cached == nullptr || !cached->copy)
            return false;
        const std::optional<plain_file_status> input = stat_plain_file(names.full);
        if (!input || (input->size ^ input->write_time) != cached->stamp)
            return false;
        const std::optional<std::wstring> below = server_copy_path(cached->copy->remote);
        if (!below || stat_plain_file(join_path(state_.output_dir, *below)) != cached->copy->status)
            return false;
        note_reused(cached->copy->remote, cached->copy->update);
        keep(key, position, *cached);
        return true;
    }

    void note_reused(const std::string& remote, std::uint32_t update) {
        state_.out.print(format_narrow("Using cached: %s\n", remote.c_str()));
        state_.note_referenced(update);
        // A copy made for an update that was never published (a run that stopped on a
        // failed file) is new to players: the tree has changed even if no file did since.
        if (update > state_.current_version)
            state_.update_detected = true;
    }

    void report_unreadable(const file_names& names) {
        state_.out.print(format_narrow("!!! Error reading file: %S\n", shown_path(names.full).c_str()));
    }

    // The cached record, when the file's stamp is the one stored with it and its server
    // copy is still in the output tree with the digests the record names.
    std::optional<published> reuse_cached(const file_names& names, const std::string& key,
                                          std::uint64_t stamp, file_handle& input) {
        const cached_file* entry = state_.old_cache.find(key);
        if (entry == nullptr || entry->stamp != stamp)
            return std::nullopt;
        nlohmann::json cached;
        std::optional<std::wstring> below;
        std::string remote;
        expected_copy expected;
        std::uint32_t update = 0;
        try {
            cached = parse_json_text(entry->record);
            remote = cached.at("r").get<std::string>();
            below = server_copy_path(remote);
            expected = expected_server_copy(cached);
            update = json_number_u32(cached.at("u"));
        } catch (const nlohmann::json::exception&) {
            return std::nullopt; // a damaged cache entry is a miss, never a crash
        }
        // A text that names no file inside the output tree is never opened: the file is simply
        // published anew, under a name the launcher can fetch.
        const std::wstring server_copy =
            join_path(state_.output_dir, below ? *below : replace_all(utf8_to_wide(remote), L"/", L"\\"));
        // Taken before the digest: a copy changed while it is hashed does not match it later.
        const std::optional<plain_file_status> copy = below ? stat_plain_file(server_copy) : std::nullopt;
        const digest_texts found = below ? file_digests(server_copy, buffer_, digests_) : digest_texts{};
        // A missing copy must not pass for an empty one, whose digest text is empty too; any
        // other digest proves the copy is there.
        const bool good = below && found.sha1 == expected.sha1 &&
                          (!expected.sha256 || found.sha256 == *expected.sha256) &&
                          (!expected.sha1.empty() || is_regular_file(server_copy));
        if (!good) {
            print_mismatch("output", server_copy);
            return std::nullopt;
        }
        if (!add_sha256(names, input, server_copy, found, cached))
            return std::nullopt; // reported
        note_reused(remote, update);
        std::optional<proven_copy> proven;
        if (copy)
            proven = proven_copy{*copy, update, remote};
        return published{std::move(cached), std::move(proven)};
    }

    // What the server copy of a cached record must hash to: the packed copy's digests, or the
    // file's own for a plain copy. Records made before SHA-256 have none.
    struct expected_copy {
        std::string sha1;
        std::optional<std::string> sha256;
    };
    static expected_copy expected_server_copy(const nlohmann::json& cached) {
        const bool packed = cached.contains("r_pack");
        expected_copy expected;
        expected.sha1 = cached.at(packed ? "r_sha1" : "l_sha1").get<std::string>();
        if (const char* name = packed ? "r_sha256" : "l_sha256"; cached.contains(name))
            expected.sha256 = cached.at(name).get<std::string>();
        return expected;
    }

    // A record made before SHA-256 gets its digests: the file's from the input (which its
    // stamp says has not changed since), the packed copy's from the copy just hashed. The
    // input must still give the record's SHA-1, and a plain copy the input's SHA-256, or the
    // record is not reused. The changed record makes the run publish a new update.
    bool add_sha256(const file_names& names, file_handle& file, const std::wstring& server_copy,
                    const digest_texts& copy, nlohmann::json& record) {
        const bool packed = record.contains("r_pack");
        if (!record.contains("l_sha256")) {
            const digest_texts input = file.rewind() ? file_digests(file, buffer_, digests_) : digest_texts{};
            const auto l_sha1 = record.find("l_sha1");
            if (l_sha1 == record.end() || !l_sha1->is_string() ||
                input.sha1 != l_sha1->get_ref<const std::string&>()) {
                print_mismatch("input", names.full);
                return false;
            }
            if (!packed && input.sha256 != copy.sha256) {
                print_mismatch("output", server_copy);
                return false;
            }
            record["l_sha256"] = input.sha256;
        }
        if (packed && !record.contains("r_sha256"))
            record["r_sha256"] = copy.sha256;
        return true;
    }

    void print_mismatch(const char* which, const std::wstring& path) {
        state_.out.print(
            format_narrow("Checksum mismatch for %s file: %S\n", which, shown_path(path).c_str()));
    }

    std::optional<published> publish_anew(const file_names& names, file_handle& input) {
        state_.update_detected = true;
        state_.note_referenced(state_.next_version);
        state_.out.print(format_narrow("Processing: %S\n", shown_path(names.relative).c_str()));
        delete_file_now(names.output);
        delete_file_now(names.packed);

        file_record record;
        record.u = state_.next_version;
        record.l = local_path_text(names.relative);
        if (!read_digest(names, input, record))
            return std::nullopt;
        create_directories(parent_directory(names.output));

        const pack_outcome outcome =
            record.l_size >= state_.minsize ? pack(names, input, record) : pack_outcome::not_packed;
        if (outcome == pack_outcome::failed)
            return std::nullopt; // reported
        const bool packed = outcome == pack_outcome::kept;
        if (!packed) {
            if (!input.rewind() || !copy_to_file(input, names.output)) {
                state_.out.print(format_narrow("!!! Error copy: %S\n", shown_path(names.full).c_str()));
                delete_file_now(names.output);
                return std::nullopt;
            }
            record.r_size = record.l_size;
        }
        record.r = remote_path_text(state_.next_version, names.stem, packed);
        std::optional<proven_copy> proven;
        if (const auto made = stat_plain_file(packed ? names.packed : names.output))
            proven = proven_copy{*made, record.u, record.r};
        return published{file_record_json(record), std::move(proven)};
    }

    // The file's size and digest. A file that cannot be read through is a failure: published
    // with an empty digest, it would reach players as an empty or broken file.
    bool read_digest(const file_names& names, file_handle& input, file_record& record) {
        const std::optional<std::uint64_t> size = input.size();
        if (size) {
            record.l_size = *size;
            digest_texts digests = input.rewind() ? file_digests(input, buffer_, digests_) : digest_texts{};
            record.l_sha1 = std::move(digests.sha1);
            record.l_sha256 = std::move(digests.sha256);
        }
        if (!size || (*size != 0 && record.l_sha1.empty())) {
            report_unreadable(names);
            return false;
        }
        return true;
    }

    enum class pack_outcome { kept, not_packed, failed };

    // Packs the file and keeps the packed copy unless packing did not pay.
    pack_outcome pack(const file_names& names, file_handle& input, file_record& record) {
        const int result =
            input.rewind() ? state_.encoders.acquire()->pack(input, names.packed) : lzma2_result::read_error;
        if (result != lzma2_result::ok) {
            state_.out.print(format_narrow("!!! Error packing file: %S (Code: %d)\n",
                                           shown_path(names.full).c_str(), result));
            delete_file_now(names.packed); // no half-written copy in the output tree
            return pack_outcome::failed;
        }
        const std::uint64_t packed_size = file_size(names.packed);
        if (state_.optimize && !is_executable(names.relative) && !pays_off(packed_size, record.l_size)) {
            delete_file_now(names.packed);
            return pack_outcome::not_packed;
        }
        record.r_pack = pack_format_lzma2;
        record.r_size = packed_size;
        digest_texts digests = file_digests(names.packed, buffer_, digests_);
        record.r_sha1 = std::move(digests.sha1);
        record.r_sha256 = std::move(digests.sha256);
        return pack_outcome::kept;
    }

    bool pays_off(std::uint64_t packed_size, std::uint64_t plain_size) const {
        if (packed_size >= plain_size)
            return false;
        const double percent = static_cast<double>(packed_size) / static_cast<double>(plain_size) * 100.0;
        return static_cast<std::int64_t>(percent) < state_.optimize_threshold;
    }

    patch_maker_state& state_;
    digest_context digests_{digest_kinds::sha1_and_sha256};
    byte_buffer buffer_;
};

} // namespace

void console_printer::print(const std::string& text) {
    std::lock_guard lock(mutex_);
    std::fputs(text.c_str(), output_);
    std::fflush(output_);
}

void patch_maker_state::note_referenced(std::uint32_t update) {
    std::uint32_t current = min_referenced_version.load();
    while (update < current && !min_referenced_version.compare_exchange_weak(current, update)) {
    }
}

void packing_worker(patch_maker_state& state) {
    worker(state).run();
}

} // namespace qz4
