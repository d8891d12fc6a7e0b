#include "update/engine/index_retrieval.hpp"

#include "common/byte_sink.hpp"
#include "common/encoding.hpp"
#include "common/file_system.hpp"
#include "common/format.hpp"
#include "common/lzma2_codec.hpp"
#include "common/sha1.hpp"
#include "common/utc_time.hpp"
#include "net/downloader.hpp"
#include "texts/player_texts.hpp"
#include "update/documents/json_document.hpp"
#include "update/documents/manifests.hpp"
#include "update/engine/engine_files.hpp"
#include "update/engine/game_launcher.hpp"
#include "update/engine/host_list.hpp"
#include "update/engine/remote_config.hpp"

#include <new>
#include <optional>
#include <span>
#include <string>

namespace qz4 {

namespace {

// A version 1 configuration may name a host whose index names another one; a chain of them
// (or two that name each other) would otherwise keep the launcher retrieving for ever.
constexpr int host_change_limit = 4;

// Bytes kept in memory, as many as the request's body cap lets through.
class memory_sink final : public byte_sink {
public:
    bool write(const void* data, std::size_t size) override {
        try {
            bytes.append(static_cast<const char*>(data), size);
            return true;
        } catch (const std::bad_alloc&) {
            return false;
        }
    }
    std::string bytes;
};

// A small document arrives in memory and replaces the copy of the last run only once it has
// arrived whole, so that a failed download or a full disk leaves that copy as it was; and
// only when it differs, so that an unchanged announcement writes nothing.
bool fetch_document(downloader& transfer, file_operations& files, const transfer_request& request,
                    const std::wstring& path, transfer_result& result) {
    memory_sink body;
    result = transfer.download(request, body);
    return result.ok() && update_document(files, path, body.bytes);
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
// found nobody. Null for any other failure.
const wchar_t* refusal_format(transfer_failure failure) {
    switch (failure) {
    case transfer_failure::scheme_refused:
        return failure_text::scheme_refused;
    case transfer_failure::tls_refused:
        return failure_text::tls_refused;
    default:
        return nullptr;
    }
}

} // namespace

bool index_retrieval::transfer_failed(const std::string& url, const transfer_result& result) {
    // Kept like a refused signature, so that the run's failure text says why this host was
    // not taken; the documents of the last run are untouched, nothing having arrived.
    if (const wchar_t* format = refusal_format(result.failure))
        refusal_ = format_wide(format, url.c_str(), result.error.c_str());
    return false;
}

file_operations& index_retrieval::files() const {
    return launcher_.files();
}

const work_area_layout& index_retrieval::area() const {
    return launcher_.work_area;
}

transfer_request index_retrieval::document_request(std::string url, std::uint64_t cap) const {
    transfer_request request = terms_;
    request.url = std::move(url);
    request.body_cap = cap;
    request.deadline = document_deadline(cap, launcher_.documents.floor_rate, request.connect_timeout);
    return request;
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
    const document_limits& limits = launcher_.documents;
    byte_buffer version;
    memory_sink signature_body;
    const bool fetched =
        transfer.download(document_request(url, limits.signature_cap), signature_body).ok() &&
        read_file_bytes(area().version_json_path, version);
    const std::span<const std::uint8_t> signature(
        reinterpret_cast<const std::uint8_t*>(signature_body.bytes.data()), signature_body.bytes.size());
    const std::string guid = wide_to_utf8(launcher_.product_guid);
    const std::string version_url = base + "version.json";
    const std::optional<std::uint32_t> number = signed_update_number(signature);
    if (!fetched || !number ||
        !verify_signature(launcher_.update_keys(), signature, signed_document::version, guid, *number,
                          content_of(version))) {
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

// With keys the signature kept beside the copy vouches for it and for its update number;
// without, the record names the update and the digest of the copy it was written for.
bool index_retrieval::held_copy_current(std::uint32_t update_number, const std::optional<held_index>& held,
                                        byte_buffer& index_bytes) {
    if (!is_regular_file(area().index_json_path))
        return false;
    if (!launcher_.update_keys().empty())
        return index_signature_holds(update_number, index_bytes);
    return held && held->update == update_number && !held->sha1.empty() &&
           read_file_bytes(area().index_json_path, index_bytes) &&
           sha1_text(text_of(index_bytes)) == held->sha1;
}

index_retrieval::index_copy index_retrieval::fetch_index_copy(downloader& transfer, const std::string& base,
                                                              const std::string& source,
                                                              const held_index* validators,
                                                              transfer_result& result) {
    const std::uint64_t cap = launcher_.documents.index_cap;
    transfer_request request = document_request(base + source, cap);
    if (validators != nullptr) {
        request.if_none_match = validators->etag;
        request.if_modified_since = validators->last_modified;
    }
    const bool packed = source.ends_with(".lzma2");
    const std::wstring target = packed ? area().index_lzma2_path : arriving_path(area().index_json_path);
    result = download_to_file(transfer, files(), request, target);
    // A 304 carries no body; one that nobody asked for is no copy either.
    if (result.not_modified()) {
        files().delete_file(target);
        return validators != nullptr ? index_copy::unchanged : index_copy::missing;
    }
    if (!result.ok())
        return index_copy::missing;
    if (!packed)
        return replace_document(files(), target, area().index_json_path) ? index_copy::fetched
                                                                         : index_copy::missing;
    const bool unpacked = unpack_document(files(), target, area().index_json_path, cap);
    files().delete_file(target);
    return unpacked ? index_copy::fetched : index_copy::missing;
}

bool index_retrieval::take_index_copy(downloader& transfer, const std::string& base,
                                      const std::string& source, const held_index* validators,
                                      std::uint32_t update_number, held_index& record,
                                      byte_buffer& index_bytes, transfer_result& result) {
    const index_copy copy = fetch_index_copy(transfer, base, source, validators, result);
    if (copy == index_copy::missing)
        return false;
    const bool signed_only = !launcher_.update_keys().empty();
    if (signed_only ? !index_signature_holds(update_number, index_bytes)
                    : !read_file_bytes(area().index_json_path, index_bytes))
        return false;
    if (copy == index_copy::unchanged) {
        // The host vouches only that its copy has not changed; ours must still be that copy.
        if (!signed_only && sha1_text(text_of(index_bytes)) != validators->sha1)
            return false;
        record = *validators;
        return true;
    }
    record = {update_number, source, result.etag, result.last_modified, {}};
    return true;
}

bool index_retrieval::fetch_from_host(downloader& transfer, const std::string& base, nlohmann::json& index,
                                      std::uint32_t& update_number) {
    const document_limits& limits = launcher_.documents;
    const std::string version_url = base + "version.json";
    transfer_result result;
    if (!fetch_document(transfer, files(), document_request(version_url, limits.version_cap),
                        area().version_json_path, result))
        return transfer_failed(version_url, result);
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
    // The index is held in memory from its check to its parsing: what is parsed is what was
    // checked.
    byte_buffer index_bytes;
    const std::optional<held_index> held = read_held_index(area().held_index_path);
    // The update has not changed and the copy is intact: nothing more to fetch.
    if (held_copy_allowed_ && held_copy_current(number, held, index_bytes))
        return take_index(number, held.value_or(held_index{}), index_bytes, index, update_number);

    const std::string relative = std::to_string(number) + "/index.json";
    const std::string index_url = base + relative;
    const std::wstring signature_path = area().index_json_path + signature_path_suffix;
    if (signed_only && !download_to_file(transfer, files(),
                                         document_request(index_url + signature_suffix, limits.signature_cap),
                                         signature_path)
                            .ok())
        return refuse(format_wide(failure_text::signature_refused, index_url.c_str()));

    // The copy named by the record, asked for with its validators, comes first: a host whose
    // copy has not changed sends no body.
    const bool ask_held = held_copy_allowed_ && held && held->update == number && held->has_validators() &&
                          (held->source == relative || held->source == relative + ".lzma2");
    held_index record;
    const bool taken =
        (ask_held &&
         take_index_copy(transfer, base, held->source, &*held, number, record, index_bytes, result)) ||
        take_index_copy(transfer, base, relative + ".lzma2", nullptr, number, record, index_bytes, result) ||
        take_index_copy(transfer, base, relative, nullptr, number, record, index_bytes, result);
    if (!taken) {
        files().delete_file(signature_path);
        if (signed_only)
            files().delete_file(area().index_json_path); // a copy whose signature failed
        if (!result.ok())
            return transfer_failed(index_url, result);
        return signed_only ? refuse(format_wide(failure_text::signature_refused, index_url.c_str())) : false;
    }
    return take_index(number, record, index_bytes, index, update_number);
}

// The checked copy becomes the run's index. The record (and, with keys, the signature kept
// beside the copy) lets the next start of the same update take it without fetching.
bool index_retrieval::take_index(std::uint32_t number, held_index record, const byte_buffer& index_bytes,
                                 nlohmann::json& index, std::uint32_t& update_number) {
    if (!launcher_.update_keys().empty()) {
        const std::optional<std::uint32_t> recorded = recorded_update(area().accepted_update_path);
        if ((!recorded || number > *recorded) &&
            !write_document(files(), area().accepted_update_path, json_text_compact({{"accepted", number}})))
            return false; // without the record a later rollback would go unnoticed
    }
    index = parse_json_text(text_of(index_bytes));
    record.update = number;
    record.sha1 = sha1_text(text_of(index_bytes));
    // Without the record the next start fetches the index again; nothing else is lost.
    (void)update_document(files(), area().held_index_path, held_index_text(record));
    update_number = number;
    return true;
}

bool index_retrieval::fetch_index(nlohmann::json& index, std::uint32_t& update_number,
                                  std::uint32_t& host_index, splash_view& splash) {
    refusal_.clear();
    std::optional<downloader> transfer;
    try {
        transfer.emplace(launcher_.trust());
    } catch (const std::exception&) {
        return false; // no transfer can be made: like an attempt that failed
    }
    terms_ = {};
    terms_.connect_timeout = std::chrono::seconds(launcher_.retrieval_timeout);
    terms_.stall = {open_link_stall_rate, std::chrono::seconds(launcher_.retrieval_timeout)};
    // Called also while no byte arrives: a closed splash ends even a stalled document within
    // a second, and the loop below then makes no further attempt.
    terms_.on_progress = [&splash](const transfer_progress&) {
        return splash.is_closed() ? progress_verdict::abort : progress_verdict::go_on;
    };
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
        held_copy_allowed_ = host_changes == 0;
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
