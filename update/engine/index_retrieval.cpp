#include "update/engine/index_retrieval.hpp"

#include "common/encoding.hpp"
#include "common/file_system.hpp"
#include "common/format.hpp"
#include "common/lzma2_codec.hpp"
#include "common/utc_time.hpp"
#include "net/downloader.hpp"
#include "texts/player_texts.hpp"
#include "update/documents/json_document.hpp"
#include "update/documents/manifests.hpp"
#include "update/engine/engine_files.hpp"
#include "update/engine/game_launcher.hpp"
#include "update/engine/host_list.hpp"
#include "update/engine/remote_config.hpp"

#include <optional>

namespace qz4 {

namespace {

// What a server may make us store: version.json holds one number, and even the index of a
// game of a hundred thousand files stays well below the second cap.
constexpr std::uint64_t version_json_limit = 64 * 1024;
constexpr std::uint64_t index_limit = 64 * 1024 * 1024;
// A signature file is 68 bytes; anything larger is refused before it is read.
constexpr std::uint64_t signature_limit = 1024;

// A version 1 configuration may name a host whose index names another one; a chain of them
// (or two that name each other) would otherwise keep the launcher retrieving for ever.
constexpr int host_change_limit = 4;

// A document replaces the copy of the last run only once it has arrived whole, so that a
// failed download or a full disk leaves that copy as it was.
bool fetch_document(downloader& transfer, file_operations& files, const std::string& url,
                    const std::wstring& path, std::uint64_t limit, std::string& error) {
    const std::wstring arriving = arriving_path(path);
    return download_to_file(transfer, files, url, arriving, limit, error) &&
           replace_document(files, arriving, path);
}

bool unpack_document(file_operations& files, const std::wstring& source, const std::wstring& path,
                     std::uint64_t limit) {
    const std::wstring arriving = arriving_path(path);
    return unpack_to_file(files, source, arriving, limit) == lzma2_result::ok &&
           replace_document(files, arriving, path);
}

std::span<const std::uint8_t> content_of(const byte_buffer& buffer) {
    return {buffer.data(), buffer.length};
}

std::string_view text_of(const byte_buffer& buffer) {
    return {reinterpret_cast<const char*>(buffer.data()), buffer.length};
}

// The highest update a signed retrieval has taken; nullopt when none was or the record is
// unreadable or damaged (a number it could not have been written with included).
std::optional<std::uint32_t> recorded_update(const std::wstring& path) {
    try {
        if (is_regular_file(path))
            return json_number_exact_u32(json_member(parse_json_file(path), "accepted"));
    } catch (const std::exception&) {
    }
    return std::nullopt;
}

// The text for a transfer that reached its host and was refused there, rather than one that
// found nobody: a certificate that does not hold for the host's name or comes from no
// authority we trust, a TLS handshake that failed, a redirect to a scheme other than http and
// https. Null for any other failure.
const wchar_t* refusal_format(const std::string& transfer_error) {
    const auto is = [&transfer_error](CURLcode code) {
        return transfer_error == format_narrow("CURL error: %u", static_cast<unsigned>(code));
    };
    if (is(CURLE_UNSUPPORTED_PROTOCOL))
        return failure_text::scheme_refused;
    for (const CURLcode code : {CURLE_SSL_CONNECT_ERROR, CURLE_PEER_FAILED_VERIFICATION,
                                CURLE_SSL_CACERT_BADFILE, CURLE_SSL_ISSUER_ERROR})
        if (is(code))
            return failure_text::tls_refused;
    return nullptr;
}

} // namespace

bool index_retrieval::transfer_failed(const std::string& url, const std::string& error) {
    // Kept like a refused signature, so that the run's failure text says why this host was
    // not taken; the documents of the last run are untouched, nothing having arrived.
    if (const wchar_t* format = refusal_format(error))
        refusal_ = format_wide(format, url.c_str(), error.c_str());
    return false;
}

file_operations& index_retrieval::files() const {
    return launcher_.files();
}

const work_area_layout& index_retrieval::area() const {
    return launcher_.work_area;
}

bool index_retrieval::refuse(std::wstring detail) {
    refusal_ = std::move(detail);
    // The next start reads version.json as the update this run retrieved: it must never be
    // one the keys refused.
    for (const std::wstring* path : {&area().version_json_path, &area().index_json_path})
        files().delete_file(*path);
    return false;
}

std::optional<std::uint32_t> index_retrieval::fetch_signed_version(downloader& transfer,
                                                                   const std::string& base) {
    const std::string url = base + "version.json" + signature_suffix;
    const std::wstring signature_path = area().version_json_path + signature_path_suffix;
    std::string error;
    byte_buffer version;
    byte_buffer signature;
    const bool fetched = download_to_file(transfer, files(), url, signature_path, signature_limit, error) &&
                         read_file_bytes(area().version_json_path, version) &&
                         read_file_bytes(signature_path, signature);
    files().delete_file(signature_path);
    const std::string guid = wide_to_utf8(launcher_.product_guid);
    const std::string version_url = base + "version.json";
    const std::optional<std::uint32_t> number = signed_update_number(content_of(signature));
    if (!fetched || !number ||
        !verify_signature(launcher_.update_keys(), content_of(signature), signed_document::version, guid,
                          *number, content_of(version))) {
        refuse(format_wide(failure_text::signature_refused, version_url.c_str()));
        return std::nullopt;
    }
    const nlohmann::json document = parse_json_text(text_of(version));
    if (read_update_number(document) != *number) {
        refuse(format_wide(failure_text::signature_refused, version_url.c_str()));
        return std::nullopt;
    }
    if (!announcement_current(document, *number, version_url) || !above_rollback_floor(*number))
        return std::nullopt;
    return number;
}

// A signed announcement holds only until its expiry, so that a host cannot keep players on an
// old update for ever by serving its version.json on (a stale mirror, or someone holding them
// back). One without an expiry, as a tree of an older patch maker has, is refused too: taking
// it would let any such document, once signed, be served for ever.
bool index_retrieval::announcement_current(const nlohmann::json& version, std::uint32_t number,
                                           const std::string& version_url) {
    const std::optional<std::uint64_t> expires = read_expiry(version);
    if (!expires)
        return refuse(format_wide(failure_text::expiry_missing, number, version_url.c_str()));
    if (launcher_.unix_time() >= *expires)
        return refuse(format_wide(failure_text::expired_refused, number, version_url.c_str(),
                                  utc_time_text(*expires).c_str()));
    return true;
}

// A signed number is still refused below one already taken, and below the launcher's built-in
// minimum: an old update, however well signed, must not bring back the files it replaced. A
// record that is missing or damaged says nothing, and the minimum alone holds.
bool index_retrieval::above_rollback_floor(std::uint32_t number) {
    const std::optional<std::uint32_t> recorded = recorded_update(area().accepted_update_path);
    const std::uint32_t minimum = launcher_.minimum_update();
    if (recorded && *recorded > minimum && number < *recorded)
        return refuse(format_wide(failure_text::rollback_refused, *recorded, number));
    if (number < minimum)
        return refuse(format_wide(failure_text::below_minimum_refused, number, minimum));
    return true;
}

bool index_retrieval::index_signature_holds(std::uint32_t update_number, byte_buffer& index_bytes) {
    const std::wstring signature_path = area().index_json_path + signature_path_suffix;
    byte_buffer signature;
    const bool read =
        read_file_bytes(area().index_json_path, index_bytes) && read_file_bytes(signature_path, signature);
    return read &&
           verify_signature(launcher_.update_keys(), content_of(signature), signed_document::index,
                            wide_to_utf8(launcher_.product_guid), update_number, content_of(index_bytes));
}

bool index_retrieval::fetch_from_host(downloader& transfer, const std::string& base, nlohmann::json& index,
                                      std::uint32_t& update_number) {
    const std::string version_url = base + "version.json";
    std::string error;
    if (!fetch_document(transfer, files(), version_url, area().version_json_path, version_json_limit, error))
        return transfer_failed(version_url, error);
    const bool signed_only = !launcher_.update_keys().empty();
    std::uint32_t number = 0;
    if (signed_only) {
        const auto signed_number = fetch_signed_version(transfer, base);
        if (!signed_number)
            return false;
        number = *signed_number;
    } else {
        number = read_update_number(parse_json_file(area().version_json_path));
    }
    const std::string index_url = base + std::to_string(number) + "/index.json";
    const std::wstring signature_path = area().index_json_path + signature_path_suffix;
    if (signed_only && !download_to_file(transfer, files(), index_url + signature_suffix, signature_path,
                                         signature_limit, error))
        return refuse(format_wide(failure_text::signature_refused, index_url.c_str()));

    // The signed index is held in memory from its check to its parsing: what is parsed is
    // what was checked.
    byte_buffer index_bytes;
    bool unpacked = false;
    if (download_to_file(transfer, files(), index_url + ".lzma2", area().index_lzma2_path, index_limit,
                         error)) {
        unpacked = unpack_document(files(), area().index_lzma2_path, area().index_json_path, index_limit) &&
                   (!signed_only || index_signature_holds(number, index_bytes));
        files().delete_file(area().index_lzma2_path);
    }
    if (!unpacked &&
        !fetch_document(transfer, files(), index_url, area().index_json_path, index_limit, error)) {
        files().delete_file(signature_path);
        if (signed_only)
            files().delete_file(area().index_json_path); // an unpacked index whose signature failed
        return transfer_failed(index_url, error);
    }
    if (!is_regular_file(area().index_json_path)) {
        files().delete_file(signature_path);
        return false;
    }
    if (signed_only) {
        const bool holds = unpacked || index_signature_holds(number, index_bytes);
        files().delete_file(signature_path);
        if (!holds)
            return refuse(format_wide(failure_text::signature_refused, index_url.c_str()));
        const std::optional<std::uint32_t> recorded = recorded_update(area().accepted_update_path);
        if ((!recorded || number > *recorded) &&
            !write_document(files(), area().accepted_update_path, json_text_compact({{"accepted", number}})))
            return false; // without the record a later rollback would go unnoticed
        index = parse_json_text(text_of(index_bytes));
    } else {
        index = parse_json_file(area().index_json_path);
    }
    update_number = number;
    return true;
}

bool index_retrieval::fetch_index(nlohmann::json& index, std::uint32_t& update_number,
                                  std::uint32_t& host_index, splash_view& splash) {
    refusal_.clear();
    std::optional<downloader> transfer;
    try {
        transfer.emplace(launcher_.trust());
        prepare_transfer(*transfer, static_cast<long>(launcher_.retrieval_timeout));
    } catch (const std::exception&) {
        return false; // no transfer can be made: like an attempt that failed
    }
    for (std::uint32_t attempt = 0;;) {
        if (splash.is_closed() || launcher_.hosts.empty() || attempt == launcher_.max_attempts)
            return false;
        if (attempt == 0) {
            splash.set_status_text(localized_text(text_id::connecting));
        } else {
            launcher_.pause(std::chrono::milliseconds(launcher_.retry_delay_ms));
            splash.set_status_text(
                format_wide(localized_text(text_id::connection_attempt).c_str(), attempt + 1));
        }
        host_index = attempt_host_index(attempt, host_index, launcher_.hosts.size());
        const std::string base = launcher_.hosts[host_index];
        ++attempt;
        try {
            if (fetch_from_host(*transfer, base, index, update_number))
                return true;
        } catch (const std::exception&) {
            // A document that does not parse or lacks its number: this attempt failed.
        }
    }
}

bool game_launcher::fetch_index(nlohmann::json& index, std::uint32_t& update_number,
                                std::uint32_t& host_index, splash_view& splash) {
    return index_retrieval(*this).fetch_index(index, update_number, host_index, splash);
}

retrieval_status index_retrieval::retrieve(splash_view& splash, std::uint32_t& host_index,
                                           retrieved_update& update) {
    for (int host_changes = 0;; ++host_changes) {
        if (splash.is_closed())
            return retrieval_status::cancelled;
        nlohmann::json index;
        std::uint32_t number = 0;
        if (!fetch_index(index, number, host_index, splash)) {
            launcher_.error_text = std::wstring(failure_text::index_download_failed) + refusal_;
            return retrieval_status::failed;
        }
        checked_config checked = check_remote_config(index, launcher_.product_guid);
        if (checked.status != config_status::ok) {
            launcher_.error_text = config_failure_text(checked.status);
            return retrieval_status::failed;
        }
        const bool retrieve_again = take_configured_hosts(checked.version, checked.config, launcher_.hosts);
        // The list may have become shorter; the host in use stays one of its entries.
        host_index = download_host_index(host_index, launcher_.hosts.size());
        if (retrieve_again) {
            if (host_changes + 1 == host_change_limit) {
                launcher_.error_text = failure_text::config_invalid;
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
