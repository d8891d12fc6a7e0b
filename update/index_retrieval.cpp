// Retrieval of the server's manifests: which update is current (version.json), that update's
// index (packed, or plain when the packed copy gives nothing), the checks of its remote
// configuration and the host list it brings.
#include "common/file_system.hpp"
#include "common/format.hpp"
#include "common/lzma2_codec.hpp"
#include "common/texts.hpp"
#include "net/downloader.hpp"
#include "update/engine_files.hpp"
#include "update/game_launcher.hpp"
#include "update/host_list.hpp"
#include "update/json_document.hpp"
#include "update/manifests.hpp"
#include "update/remote_config.hpp"

#include <optional>

namespace qz4 {

namespace {

// What a server may make us store: version.json holds one number, and even the index of a
// game of a hundred thousand files stays well below the second cap.
constexpr std::uint64_t version_json_limit = 64 * 1024;
constexpr std::uint64_t index_limit = 64 * 1024 * 1024;

// A version 1 configuration may name a host whose index names another one; a chain of them
// (or two that name each other) would otherwise keep the launcher retrieving for ever.
constexpr int host_change_limit = 4;

// A document replaces the copy of the last run only once it has arrived whole, so that a
// failed download or a full disk leaves that copy as it was.
bool fetch_document(downloader& transfer, file_operations& files, const std::string& url,
                    const std::wstring& path, std::uint64_t limit) {
    std::string error;
    const std::wstring arriving = path + L".tmp";
    if (!download_to_file(transfer, files, url, arriving, limit, error))
        return false;
    if (files.move_replace(arriving, path))
        return true;
    files.delete_file(arriving);
    return false;
}

bool unpack_document(file_operations& files, const std::wstring& source, const std::wstring& path,
                     std::uint64_t limit) {
    const std::wstring arriving = path + L".tmp";
    if (unpack_to_file(files, source, arriving, limit) != lzma2_result::ok)
        return false;
    if (files.move_replace(arriving, path))
        return true;
    files.delete_file(arriving);
    return false;
}

} // namespace

bool game_launcher::fetch_from_host(downloader& transfer, const std::string& base, nlohmann::json& index,
                                    std::uint32_t& update_number) {
    if (!fetch_document(transfer, *files_, base + "version.json", version_json_path, version_json_limit))
        return false;
    const std::uint32_t number = read_update_number(parse_json_file(version_json_path));
    const std::string index_url = base + std::to_string(number) + "/index.json";

    bool unpacked = false;
    std::string error;
    if (download_to_file(transfer, *files_, index_url + ".lzma2", index_lzma2_path, index_limit, error)) {
        unpacked = unpack_document(*files_, index_lzma2_path, index_json_path, index_limit);
        files_->delete_file(index_lzma2_path);
    }
    if (!unpacked && !fetch_document(transfer, *files_, index_url, index_json_path, index_limit))
        return false;
    if (!is_regular_file(index_json_path))
        return false;
    index = parse_json_file(index_json_path);
    update_number = number;
    return true;
}

bool game_launcher::fetch_index(nlohmann::json& index, std::uint32_t& update_number,
                                std::uint32_t& host_index, splash_view& splash) {
    std::optional<downloader> transfer;
    try {
        transfer.emplace();
        prepare_transfer(*transfer, static_cast<long>(retrieval_timeout));
    } catch (const std::exception&) {
        return false; // no transfer can be made: like an attempt that failed
    }
    for (std::uint32_t attempt = 0;;) {
        if (splash.is_closed() || hosts.empty() || attempt == max_attempts)
            return false;
        if (attempt == 0) {
            splash.set_status_text(localized_text(text_id::connecting));
        } else {
            pause(std::chrono::milliseconds(retry_delay_ms));
            splash.set_status_text(
                format_wide(localized_text(text_id::connection_attempt).c_str(), attempt + 1));
        }
        host_index = attempt_host_index(attempt, host_index, hosts.size());
        const std::string base = hosts[host_index];
        ++attempt;
        try {
            if (fetch_from_host(*transfer, base, index, update_number))
                return true;
        } catch (const std::exception&) {
            // A document that does not parse or lacks its number: this attempt failed.
        }
    }
}

game_launcher::retrieval_status game_launcher::retrieve_update(splash_view& splash, std::uint32_t& host_index,
                                                               retrieved_update& update) {
    for (int host_changes = 0;; ++host_changes) {
        if (splash.is_closed())
            return retrieval_status::cancelled;
        nlohmann::json index;
        std::uint32_t number = 0;
        if (!fetch_index(index, number, host_index, splash)) {
            error_text = failure_text::index_download_failed;
            return retrieval_status::failed;
        }
        checked_config checked = check_remote_config(index, product_guid);
        if (checked.status != config_status::ok) {
            error_text = config_failure_text(checked.status);
            return retrieval_status::failed;
        }
        const bool retrieve_again = take_configured_hosts(checked.version, checked.config, hosts);
        // The list may have become shorter; the host in use stays one of its entries.
        host_index = download_host_index(host_index, hosts.size());
        if (retrieve_again) {
            if (host_changes + 1 == host_change_limit) {
                error_text = failure_text::config_invalid;
                return retrieval_status::failed;
            }
            continue;
        }
        if (splash.is_closed())
            return retrieval_status::cancelled;
        update.index = std::move(index);
        update.config = std::move(checked.config);
        update.version = checked.version;
        update.update_number = number;
        return retrieval_status::ready;
    }
}

} // namespace qz4
