#include "patchmaker/announcement.hpp"

#include "common/byte_buffer.hpp"
#include "common/file_system.hpp"
#include "update/documents/json_document.hpp"
#include "update/documents/manifests.hpp"

#include <exception>
#include <span>

namespace qz4 {

std::optional<std::uint64_t> reusable_announcement(const std::wstring& path, const signing_key& key,
                                                   const announcement_terms& terms) {
    byte_buffer version;
    byte_buffer signature;
    if (!read_file_bytes(path, version) || !read_file_bytes(path + signature_path_suffix, signature))
        return std::nullopt;
    std::optional<std::uint64_t> expires;
    try {
        const nlohmann::json document =
            parse_json_text(std::string_view(reinterpret_cast<const char*>(version.data()), version.length));
        if (read_update_number(document) != terms.update)
            return std::nullopt;
        expires = read_expiry(document);
    } catch (const std::exception&) {
        return std::nullopt; // not one we wrote
    }
    if (!expires || *expires <= terms.now)
        return std::nullopt;
    const std::uint64_t left = *expires - terms.now;
    if (left < terms.validity_seconds / 2 || left > terms.validity_seconds)
        return std::nullopt;
    if (!verify_signature({key.public_half()}, std::span(signature.data(), signature.length),
                          signed_document::version, terms.product_guid, terms.update,
                          std::span(version.data(), version.length)))
        return std::nullopt;
    return expires;
}

} // namespace qz4
