// The patch maker's driver: settings, version numbering, the order of the steps, what is
// saved, and the console texts.
#include "patchmaker/patch_maker.hpp"

#include "common/ascii_text.hpp"
#include "common/encoding.hpp"
#include "common/file_system.hpp"
#include "common/format.hpp"
#include "common/lzma2_codec.hpp"
#include "common/paths.hpp"
#include "common/utc_time.hpp"
#include "patchmaker/announcement.hpp"
#include "patchmaker/console_text.hpp"
#include "patchmaker/guid.hpp"
#include "patchmaker/interrupts.hpp"
#include "patchmaker/patch_maker_state.hpp"
#include "patchmaker/private_file.hpp"
#include "patchmaker/publisher_key.hpp"
#include "update/documents/json_document.hpp"
#include "update/documents/manifests.hpp"

#include <algorithm>
#include <exception>
#include <span>
#include <thread>

namespace qz4 {

namespace {

class driver {
public:
    driver(const patch_maker_setup& setup, patch_maker_state& state) : setup_(setup), state_(state) {}

    bool run() {
        state_.input_dir = join_path(setup_.directory, L"input");
        state_.output_dir = join_path(setup_.directory, L"output");
        state_.config_path = join_path(setup_.directory, L"config.json");
        state_.cache_path = join_path(setup_.directory, L"cache.json");
        state_.cache_companion_path = join_path(setup_.directory, L"cache.bin");
        key_path_ = join_path(setup_.directory, signing_key_name);
        state_.old_cache.load(state_.cache_path, state_.cache_companion_path);
        create_directories(state_.input_dir);
        create_directories(state_.output_dir);

        if (!is_regular_file(state_.config_path))
            return create_configuration();
        state_.configuration = parse_json_file(state_.config_path);
        read_settings();
        if (!prepare_signing())
            return false;

        passed_over_entries passed_over;
        const std::vector<std::wstring> files = list_files(state_.input_dir, true, L"*.*", &passed_over);
        state_.out.print("Brightgate\n");
        state_.out.print("Checking files...\n");
        report_passed_over(passed_over);
        queue(files);
        run_workers(files.size());

        if (state_.failed_files != 0)
            return give_up();
        compare_caches();
        bool saved = true;
        if (state_.update_detected)
            saved = raise_version();
        if (!state_.terminate_requested && saved)
            saved = publish();
        return save_cache() && saved;
    }

private:
    // The key comes with the configuration, so that the publisher can build the launcher with
    // it while editing config.json.
    bool create_configuration() {
        state_.configuration = publisher_config_template(new_guid_text());
        if (!write_json_pretty(state_.config_path, state_.configuration)) {
            state_.out.print(
                format_narrow("!!! Error writing file: %S\n", shown_path(state_.config_path).c_str()));
            return false;
        }
        (void)prepare_signing();
        state_.out.print("Configuration file created. Edit config.json and start tool again.\n");
        return false;
    }

    // The library's own type errors report a setting of the wrong type, or a missing one.
    void read_settings() {
        const publisher_settings settings = read_publisher_settings(state_.configuration);
        state_.optimize = settings.optimize;
        state_.minsize = settings.minsize;
        state_.optimize_threshold = settings.optimize_threshold;
        state_.current_version = settings.gameupdate;
        state_.next_version = state_.current_version + 1;
        validity_seconds_ = std::uint64_t{settings.validity_days} * 86400;
    }

    // Signing is on unless config.json's "maker" says "sign": false; the key is made on the
    // first run that needs it. A key file that cannot be read stops the run: publishing
    // unsigned in its place would lock out every launcher built with the key.
    bool prepare_signing() {
        const nlohmann::json& sign = json_member(json_member(state_.configuration, "maker"), "sign");
        if (!sign.is_null() && !sign.get<bool>())
            return true;
        publisher_key loaded = load_or_create_key(key_path_);
        const std::wstring shown_key = shown_path(key_path_);
        switch (loaded.status) {
        case key_status::damaged:
            state_.out.print(format_narrow("!!! Signing key is damaged: %S\n", shown_key.c_str()));
            return false;
        case key_status::not_written:
            state_.out.print(format_narrow("!!! Error writing file: %S\n", shown_key.c_str()));
            return false;
        case key_status::created:
            state_.out.print(format_narrow("Signing key created: %S\n", shown_key.c_str()));
            state_.out.print(format_narrow("Build the launcher with -DQZ4_UPDATE_PUBLIC_KEY=%s\n",
                                           public_key_text(loaded.key->public_half()).c_str()));
            break;
        case key_status::loaded:
            break;
        }
        // Whoever can read the key can sign updates that every launcher takes; the run goes on,
        // the publisher decides.
        if (readable_by_others(key_path_))
            state_.out.print(
                format_narrow("Warning: others can read the signing key %S; make it yours alone: %s\n",
                              shown_key.c_str(), owner_only_command(key_path_).c_str()));
        const public_key& signing = loaded.key->public_half();
        if (!setup_.launcher_keys.empty() &&
            std::find(setup_.launcher_keys.begin(), setup_.launcher_keys.end(), signing) ==
                setup_.launcher_keys.end())
            state_.out.print(
                format_narrow("Warning: this launcher is not built with the key of %S; only "
                              "launchers built with -DQZ4_UPDATE_PUBLIC_KEY=%s take the update\n",
                              shown_key.c_str(), public_key_text(signing).c_str()));
        key_ = std::move(loaded.key);
        return true;
    }

    // A pipe would block the run for ever, a device could be endless, a link could lead
    // anywhere (signing.key, config.json, the whole disk, or back to itself): only files are
    // published, and the publisher is told what was passed over. A name Windows cannot hold
    // would reach players as another file, or none: it fails the run as an unreadable file does.
    void report_passed_over(const passed_over_entries& passed_over) {
        for (const auto& link : passed_over.links)
            state_.out.print(format_narrow("Skipped (link): %S\n", shown_path(link).c_str()));
        for (const auto& other : passed_over.others)
            state_.out.print(format_narrow("Skipped (not a file): %S\n", shown_path(other).c_str()));
        for (const auto& refused : passed_over.refused) {
            state_.out.print(
                format_narrow("!!! Unusable name: \"%S\" in %S: %s\n", shown_name(refused.name).c_str(),
                              shown_path(refused.directory).c_str(), name_fault_text(refused.fault)));
            ++state_.failed_files;
        }
    }

    // A name as the console can show it: control characters (an escape sequence would drive
    // the publisher's terminal) as \xNN.
    static std::wstring shown_name(const std::wstring& name) {
        std::wstring shown;
        for (const wchar_t c : name) {
            if (c >= 0x20 && c != 0x7F)
                shown += c;
            else
                shown += format_wide(L"\\x%02X", static_cast<unsigned>(c));
        }
        return shown;
    }

    void queue(const std::vector<std::wstring>& files) {
        state_.enumerated = files;
        std::lock_guard lock(state_.queue_mutex);
        for (std::size_t i = 0; i < files.size(); ++i)
            state_.file_queue.push_back({files[i], i});
        std::lock_guard slots(state_.files_mutex);
        state_.index_slots.assign(files.size(), std::nullopt);
    }

    void run_workers(std::size_t file_count) {
        unsigned count =
            setup_.workers != 0 ? setup_.workers : std::max(1u, std::thread::hardware_concurrency());
        count = static_cast<unsigned>(std::min<std::size_t>(count, std::max<std::size_t>(file_count, 1)));
        std::vector<std::jthread> workers;
        for (unsigned i = 1; i < count; ++i)
            workers.emplace_back([this] { packing_worker(state_); });
        packing_worker(state_);
    }

    // A file that could not be read, packed or copied would be missing from the update: no
    // player may get such an update as complete. What was done is kept for the next run.
    bool give_up() {
        const unsigned failed = state_.failed_files;
        state_.out.print(format_narrow("Nothing was published: %u file(s) failed.\n", failed));
        (void)save_cache();
        return false;
    }

    bool save_cache() {
        if (state_.new_cache.save(state_.cache_path, state_.cache_companion_path, state_.old_cache))
            return true;
        state_.out.print(
            format_narrow("!!! Error writing file: %S\n", shown_path(state_.cache_path).c_str()));
        return false;
    }

    void compare_caches() {
        if (state_.update_detected)
            return;
        state_.out.print("No change in files detected. Comparing cache...\n");
        const bool same = state_.new_cache.same_document(state_.old_cache);
        state_.update_detected = !same;
        state_.out.print(same ? "No update detected.\n" : "Update detected!\n");
    }

    bool raise_version() {
        state_.out.print("Saving config file.\n");
        state_.configuration["maker"]["gameupdate"] = state_.next_version;
        state_.current_version = state_.next_version;
        if (!write_json_pretty(state_.config_path, state_.configuration)) {
            // Without the raised number saved, publishing it would let the next run hand the
            // same number to a different tree.
            state_.out.print(
                format_narrow("!!! Error writing file: %S\n", shown_path(state_.config_path).c_str()));
            return false;
        }
        return true;
    }

    // The index as json_text_compact writes it, put together from the records' own texts: a
    // large tree's index is neither parsed nor built as a document.
    std::string index_text() {
        std::string text =
            "{\"config\":" + compact_text(json_member(state_.configuration, "client")) + ",\"files\":";
        std::lock_guard lock(state_.files_mutex);
        const char* separator = "[";
        for (const auto& slot : state_.index_slots) {
            if (!slot)
                continue;
            text += separator;
            text += *slot;
            separator = ",";
        }
        // null when no file made it, as the launcher expects
        text += *separator == '[' ? "null" : "]";
        return text + "}\r\n";
    }

    bool publish() {
        state_.out.print("Saving update index.\n");
        const std::wstring version_path = join_path(state_.output_dir, L"version.json");
        const std::wstring index_path =
            join_path(state_.output_dir, join_path(std::to_wstring(state_.current_version), L"index.json"));
        const std::wstring packed_index_path = index_path + L".lzma2";
        create_directories(parent_directory(index_path));

        const std::string index = index_text();
        if (!already_published(index_path, packed_index_path, index)) {
            // The packed copy goes first: a run that stops between the two writes leaves an
            // index without a packed copy (launchers then take the plain one), never a packed
            // copy of an older index beside a newer one.
            delete_file_now(packed_index_path);
            if (!write_document_text(index_path, index)) {
                state_.out.print(
                    format_narrow("!!! Error writing file: %S\n", shown_path(index_path).c_str()));
                return false;
            }
            pack_index(index_path, packed_index_path);
        }
        if (!write_signature(index_path, signed_document::index, index))
            return false;
        const std::optional<std::string> announced = announce(version_path);
        if (!announced)
            return false;
        state_.out.print("Finished!\n\n");
        state_.out.print(
            format_narrow("Minimum referenced version: %u\n", state_.min_referenced_version.load()));
        state_.out.print(format_narrow("Current game update version: %u\n", state_.current_version));
        state_.out.print(*announced);
        return true;
    }

    // Writes version.json, its signature first. A signed one carries the time launchers stop
    // taking it, so that no host can keep serving it for ever; it is signed again only when
    // less than half of its validity is left (or more than all of it: a shortened validity, a
    // clock put back), so that a run without changes leaves mirrors nothing new to fetch.
    // The console line about it (none unsigned); nullopt when a write failed.
    std::optional<std::string> announce(const std::wstring& version_path) {
        std::optional<std::uint64_t> expires;
        if (key_) {
            const std::uint64_t now = unix_time_now(setup_.clock);
            const announcement_terms terms{state_.current_version, product_guid(), now, validity_seconds_};
            if (const auto kept = reusable_announcement(version_path, *key_, terms))
                return format_narrow("version.json kept, valid until %s\n", utc_time_text(*kept).c_str());
            expires = now + validity_seconds_;
        }
        const std::string version = json_text_compact(version_document(state_.current_version, expires));
        if (!write_signature(version_path, signed_document::version, version))
            return std::nullopt;
        // version.json goes last: a launcher that sees the new number finds its index ready,
        // and the signatures of both.
        if (!write_unless_same(version_path, version)) {
            state_.out.print(format_narrow("!!! Error writing file: %S\n", shown_path(version_path).c_str()));
            return std::nullopt;
        }
        if (!expires)
            return std::string();
        return format_narrow("version.json signed, valid until %s\n", utc_time_text(*expires).c_str());
    }

    [[nodiscard]] const std::string& product_guid() const {
        return json_member(json_member(state_.configuration, "client"), "guid").get_ref<const std::string&>();
    }

    // The signature of `document`, the exact bytes written at `path`. Without a key none is
    // written and none left from a signing run stays: it would be for another document.
    bool write_signature(const std::wstring& path, signed_document kind, std::string_view document) {
        const std::wstring signature_path = path + signature_path_suffix;
        if (!key_) {
            delete_file_now(signature_path);
            return true;
        }
        const signature_file signature =
            key_->sign(kind, product_guid(), state_.current_version,
                       std::span(reinterpret_cast<const std::uint8_t*>(document.data()), document.size()));
        if (write_unless_same(
                signature_path,
                std::string_view(reinterpret_cast<const char*>(signature.data()), signature.size())))
            return true;
        state_.out.print(format_narrow("!!! Error writing file: %S\n", shown_path(signature_path).c_str()));
        return false;
    }

    // A run that changes nothing leaves the output tree as it was, times and all, so that
    // mirrors have nothing new to fetch.
    static bool write_unless_same(const std::wstring& path, std::string_view text) {
        byte_buffer present;
        if (read_file_bytes(path, present) &&
            std::string_view(reinterpret_cast<const char*>(present.data()), present.length) == text)
            return true;
        return write_document_text(path, text);
    }

    // The index of an unchanged tree is the one already there, packed copy and all: packing
    // a large index again would cost a no-change run most of its time.
    static bool already_published(const std::wstring& index_path, const std::wstring& packed_index_path,
                                  const std::string& index) {
        byte_buffer published;
        if (!read_file_bytes(index_path, published) || published.length != index.size() ||
            !std::equal(index.begin(), index.end(), published.data()))
            return false;
        return read_packed_size(packed_index_path) == std::uint64_t{index.size()};
    }

    // The packed index is a convenience: when it cannot be made, launchers fall back to the
    // plain index, so a stale packed copy from an earlier run must not stay behind.
    void pack_index(const std::wstring& index_path, const std::wstring& packed_index_path) {
        const std::wstring partial = packed_index_path + L".partial";
        if (state_.encoders.acquire()->pack(index_path, partial) == lzma2_result::ok &&
            move_file_replace(partial, packed_index_path))
            return;
        delete_file_now(partial);
        delete_file_now(packed_index_path);
    }

    const patch_maker_setup& setup_;
    patch_maker_state& state_;
    std::wstring key_path_;
    std::optional<signing_key> key_;     // none when the publisher signs nothing
    std::uint64_t validity_seconds_ = 0; // of a signed version.json
};

} // namespace

bool run_patch_maker(const patch_maker_setup& setup, std::atomic<bool>& terminate_requested) {
    console_printer printer(setup.output);
    patch_maker_state state(printer, terminate_requested);
    try {
        return driver(setup, state).run();
    } catch (const std::exception& error) {
        printer.print(format_narrow("Exception: %s\n", error.what()));
        return false;
    }
}

bool run_patch_maker(const std::vector<public_key>& launcher_keys) {
    const utf8_console_output utf8;
    interrupt_state interrupts(stdout);
    bool completed = false;
    {
        const console_interrupts handlers(interrupts);
        patch_maker_setup setup;
        setup.directory = module_directory();
        setup.launcher_keys = launcher_keys;
        completed = run_patch_maker(setup, interrupts.terminate_requested);
        if (completed)
            interrupts.set_finished();
        else
            interrupts.set_abandoned();
    }
    return completed;
}

} // namespace qz4
