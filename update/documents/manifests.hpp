// The documents the patch maker publishes and the launcher reads: the publisher
// configuration, version.json, index.json and its file records.
#pragma once

#include "common/file_digests.hpp"

#include <nlohmann/json.hpp>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace qz4 {

inline constexpr char pack_format_none[] = "none";
inline constexpr char pack_format_lzma2[] = "lzma2";

// One entry of an index's `files`.
struct file_record {
    std::uint32_t u = 0;                   // update whose directory holds the server copy
    std::string l;                         // relative client path, UTF-8, backslashes, case kept
    std::string l_sha1;                    // digest text of the client file
    std::uint64_t l_size = 0;              // size of the client file, in full
    std::string r;                         // server copy relative to the base URL
    std::uint64_t r_size = 0;              // size of the server copy
    std::string r_pack = pack_format_none; // "lzma2" for a packed server copy
    std::string r_sha1;                    // digest text of the packed copy; unused for "none"
    // SHA-256 digest texts of the client file and of the packed copy. SHA-1 alone no longer
    // ties a file to a signed index (chosen-prefix collisions are practical), so launchers
    // with the publisher's keys need these; records made before them lack them.
    std::optional<std::string> l_sha256;
    std::optional<std::string> r_sha256; // unused for "none"
};

// The record as it is published: `r_pack`, `r_sha1` and `r_sha256` only for a packed copy;
// the SHA-256 members only when the record has them.
[[nodiscard]] nlohmann::json file_record_json(const file_record& record);

// Reads what the launcher needs to bring one file up to date: `l`, `l_sha1`, `l_size`, `r`,
// `r_size`, `r_pack` and, for a packed copy, `r_sha1`. Digests and the pack format come out
// in lower case, a pack format that is absent, null or an empty container as "none". `u` is
// not looked at: the launcher has no use for it, so it never makes an entry unreadable. A
// missing member or one of the wrong type, and a size that is negative, fractional or beyond
// largest_json_size, raises the library's error, which the caller turns into skipping the
// entry. With `digests` asking for SHA-256, `l_sha256` and, for a packed copy, `r_sha256`
// are read too, in lower case, where they are strings; whether they are usable is the
// caller's question (is_sha256_text). Otherwise they are not looked at, as launchers that
// came before them ignore them. Sizes are whole 64-bit numbers; launchers that read only
// their low 32 bits take a file of 4 GiB or more for another size and never find it right.
[[nodiscard]] file_record read_download_record(const nlohmann::json& entry,
                                               digest_kinds digests = digest_kinds::sha1);
// Everything a record holds, and `u` when present, as the patch maker reads back the records
// it published.
[[nodiscard]] file_record read_file_record(const nlohmann::json& entry);

// Whether `text` can be the SHA-256 digest text of a file of `size` bytes: 64 lower-case hex
// digits, and the empty text for an empty file (which has no digest, as with SHA-1).
[[nodiscard]] bool is_sha256_text(std::string_view text, std::uint64_t size);

// `l`: the relative path as found, in UTF-8.
[[nodiscard]] std::string local_path_text(std::wstring_view relative_path);
// `r`: "<u>/" and the lower-cased relative path in UTF-8 with '/' separators (for '\' or
// '/'), every other byte outside A-Z a-z 0-9 - . _ ~ written as "%XX", with ".lzma2" after it
// for a packed copy. Launchers append it to a base URL as it stands, so every name fetches
// its own file ('#' and '?' would end the path, '%' start an escape).
[[nodiscard]] std::string remote_path_text(std::uint32_t update, std::wstring_view relative_path,
                                           bool packed);

// The file an `r` names below the server tree's root, with backslashes: every "%XX" escape
// decoded, also in records written before all of them were escaped ("%20" alone). Nullopt
// when the text names no file inside the tree: a malformed escape, a raw '#' or '?' (no
// launcher's request ever reached the file), decoded bytes that are not UTF-8, or a
// component that is empty, "." or "..", or that Windows cannot hold (portable_names.hpp).
[[nodiscard]] std::optional<std::wstring> server_copy_path(std::string_view remote);

// The publisher configuration a first run of the patch maker writes, with the given
// product GUID text in client.guid.
[[nodiscard]] nlohmann::json publisher_config_template(std::string_view guid);

// maker.validity_days when the configuration has none (one written before it existed).
inline constexpr std::uint32_t default_validity_days = 30;
inline constexpr std::uint32_t max_validity_days = 3650;

// The patch maker's settings from its configuration.
struct publisher_settings {
    bool optimize = true;
    std::uint64_t minsize = 16384;        // files this large or larger are packed
    std::int32_t optimize_threshold = 85; // read only when optimize is set
    std::uint32_t gameupdate = 0;         // the last published update
    // Days a signed version.json stays valid; a run with less than half of them left signs
    // it again.
    std::uint32_t validity_days = default_validity_days;
};

// maker.packer.optimize must be a JSON boolean; minsize, optimize_threshold and
// maker.gameupdate are numbers as every reader takes them. A missing member, or one of the
// wrong type, raises the library's type error ("type must be boolean, but is ..."). Only
// maker.validity_days may be missing (the default); out of 1 to max_validity_days it raises
// std::out_of_range.
[[nodiscard]] publisher_settings read_publisher_settings(const nlohmann::json& config);

// version.json: {"gameupdate": n}, and in a signed tree {"expires": t} beside it: the UTC
// second from which launchers with keys no longer take it. Launchers without keys, and older
// ones, read only the number.
[[nodiscard]] nlohmann::json version_document(std::uint32_t update,
                                              std::optional<std::uint64_t> expires = std::nullopt);
// Its update number; the library's error when it is missing or not a number.
[[nodiscard]] std::uint32_t read_update_number(const nlohmann::json& version);
// Its expiry: nullopt unless `expires` is a whole number from 0 up (a boolean, a fraction or a
// text is no expiry at all).
[[nodiscard]] std::optional<std::uint64_t> read_expiry(const nlohmann::json& version);

// index.json: the publisher's `client` object as `config`, and the records (null when the
// publisher's tree held no files).
[[nodiscard]] nlohmann::json index_document(const nlohmann::json& client_config, const nlohmann::json& files);

} // namespace qz4
