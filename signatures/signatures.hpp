// Publisher signatures on the update documents: Ed25519 over a message that binds what a
// document is for (its kind and this format's version), the product, the update number and
// the SHA-256 of the document's exact bytes. A signature is valid for nothing else, so a
// signed index cannot be served as another update's, another product's or as version.json.
//
// The signature file beside a document holds the 64-byte signature followed by the update
// number it was made for (4 bytes, little-endian): version.json's number is known only from
// the document, which is not parsed before its signature holds.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace qz4 {

using public_key = std::array<std::uint8_t, 32>;
using signature_file = std::array<std::uint8_t, 68>;

enum class signed_document { index, version };

// Beside the document: its URL or path with this appended.
inline constexpr char signature_suffix[] = ".sig";
inline constexpr wchar_t signature_path_suffix[] = L".sig";
inline constexpr std::size_t signature_file_size = std::tuple_size_v<signature_file>;

// The exact bytes a signature covers. The GUID is compared without regard to ASCII case, as
// the launcher compares the index's GUID.
[[nodiscard]] std::vector<std::uint8_t> signing_message(signed_document kind, std::string_view product_guid,
                                                        std::uint32_t update_number,
                                                        std::span<const std::uint8_t> document);

// A publisher's key pair. The secret half is wiped when the object goes.
class signing_key {
public:
    // A fresh pair from the system's random source.
    [[nodiscard]] static signing_key generate();
    // The key file's text (see key_file_text); nullopt when it is not one or does not agree
    // with itself (a damaged file).
    [[nodiscard]] static std::optional<signing_key> from_key_file(std::string_view text);

    signing_key(const signing_key& other);
    signing_key& operator=(const signing_key& other);
    ~signing_key();

    [[nodiscard]] const public_key& public_half() const { return public_; }
    // One line: the 64-byte secret key (seed and public key) in hex, then a line feed.
    [[nodiscard]] std::string key_file_text() const;

    [[nodiscard]] signature_file sign(signed_document kind, std::string_view product_guid,
                                      std::uint32_t update_number,
                                      std::span<const std::uint8_t> document) const;

private:
    signing_key() = default;
    std::array<std::uint8_t, 64> secret_{};
    public_key public_{};
};

// The update number a signature file claims (not yet checked); nullopt for a file of the
// wrong size.
[[nodiscard]] std::optional<std::uint32_t> signed_update_number(std::span<const std::uint8_t> signature);

// True when `signature` is a signature file for exactly this kind, product, update number
// and document, made by one of `keys`.
[[nodiscard]] bool verify_signature(const std::vector<public_key>& keys,
                                    std::span<const std::uint8_t> signature, signed_document kind,
                                    std::string_view product_guid, std::uint32_t update_number,
                                    std::span<const std::uint8_t> document);

// The public key's text, as the launcher's build option takes it: 64 lower-case hex digits.
[[nodiscard]] std::string public_key_text(const public_key& key);
// 64 hex digits (either case) or the 44-character base64 form; nullopt otherwise.
[[nodiscard]] std::optional<public_key> parse_public_key(std::string_view text);
// Keys separated by commas or semicolons, blanks around them ignored. Empty text gives no
// keys; nullopt when any entry is not a key.
[[nodiscard]] std::optional<std::vector<public_key>> parse_public_keys(std::string_view text);

} // namespace qz4
