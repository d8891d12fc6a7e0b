// Retrieval of the server's manifests for one pass: which update is current (version.json),
// that update's index (packed, or plain when the packed copy gives nothing), with their
// signatures when the launcher has keys; then the checks of the index's remote configuration
// and the host list it brings.
#pragma once

#include "common/byte_buffer.hpp"
#include "net/transfer_request.hpp"
#include "splash/splash_view.hpp"
#include "update/engine/held_index.hpp"

#include <nlohmann/json.hpp>

#include <cstdint>
#include <optional>
#include <string>

namespace qz4 {

class downloader;
class file_operations;
class game_launcher;
struct work_area_layout;

// The index of the update the server announces, checked and ready for a pass.
struct retrieved_update {
    nlohmann::json index;
    nlohmann::json config; // the index's `config`
    std::int32_t version = 0;
    std::uint32_t update_number = 0;
};

enum class retrieval_status { ready, failed, cancelled };

// Works on the launcher's hosts, work area and error text, on the run's thread, while no stage
// of a pass runs.
class index_retrieval {
public:
    explicit index_retrieval(game_launcher& launcher) : launcher_(launcher) {}

    // The retrieval loop: attempts over the hosts, the checks of the remote configuration, and
    // the host list taken from it (a version 1 configuration naming a new host is retrieved
    // again through it). On failure the launcher's error_text says why.
    [[nodiscard]] retrieval_status retrieve(splash_view& splash, std::uint32_t& host_index,
                                            retrieved_update& update);

    // Retrieval attempts over the hosts: version.json, then the packed or the plain index of
    // the update it announces. False when every attempt failed, there is no host, or the
    // splash was closed.
    [[nodiscard]] bool fetch_index(nlohmann::json& index, std::uint32_t& update_number,
                                   std::uint32_t& host_index, splash_view& splash);

private:
    bool fetch_from_host(downloader& transfer, const std::string& base, nlohmann::json& index,
                         std::uint32_t& update_number);
    // The signed forms of the two steps of an attempt; false with `refusal_` set when a
    // document is refused. Nothing they refuse is parsed or left in the work area.
    std::optional<std::uint32_t> fetch_signed_version(downloader& transfer, const std::string& base);
    bool index_signature_holds(std::uint32_t update_number, byte_buffer& index_bytes);
    // Whether index.json is the intact copy of this update, read into `index_bytes` when it is.
    bool held_copy_current(std::uint32_t update_number, const std::optional<held_index>& held,
                           byte_buffer& index_bytes);
    enum class index_copy { fetched, unchanged, missing };
    // One copy of the index below `base` (packed when `source` ends with ".lzma2") into
    // index.json; asked for with the validators when given, and `unchanged` when the host
    // answered that they still hold (index.json is then as it was).
    index_copy fetch_index_copy(downloader& transfer, const std::string& base, const std::string& source,
                                const held_index* validators, transfer_result& result);
    // The same, and the copy then checked (with keys against its signature, an unchanged one
    // without keys against the record's digest) and read into `index_bytes`; `record` says
    // where it came from. False when there is no checked copy.
    bool take_index_copy(downloader& transfer, const std::string& base, const std::string& source,
                         const held_index* validators, std::uint32_t update_number, held_index& record,
                         byte_buffer& index_bytes, transfer_result& result);
    bool take_index(std::uint32_t number, held_index record, const byte_buffer& index_bytes,
                    nlohmann::json& index, std::uint32_t& update_number);
    bool announcement_current(const nlohmann::json& version, std::uint32_t number,
                              const std::string& version_url);
    bool above_rollback_floor(std::uint32_t number);
    bool refuse(std::wstring detail);
    // A document of at most `cap` bytes under this retrieval's terms, with its deadline.
    [[nodiscard]] transfer_request document_request(std::string url, std::uint64_t cap) const;
    // False; a transfer of `url` refused by its host (certificate, TLS, scheme) sets `refusal_`.
    bool transfer_failed(const std::string& url, const transfer_result& result);
    [[nodiscard]] file_operations& files() const;
    [[nodiscard]] const work_area_layout& area() const;

    game_launcher& launcher_;
    std::wstring refusal_; // the last refused document or connection of this retrieval
    // The time-outs, stall floor and cancel check every document of fetch_index shares.
    transfer_request terms_;
    // A configuration that names another host has its index taken from that host: the copy
    // held from the host that named it is not that host's.
    bool held_copy_allowed_ = true;
};

} // namespace qz4
